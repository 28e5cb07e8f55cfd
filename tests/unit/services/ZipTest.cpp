// The entry-level zip commands, run on the global thread pool as the
// dispatcher runs them, on real zip files.
#include "PathsManager.h"
#include "Zip.h"
#include "ZipFixtures.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtConcurrent>
#include <QtTest>
#include <zlib.h>

using namespace ZipFixtures;

class ZipTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void addCreateThenAdd();
    void addModes_data();
    void addModes();
    void addItemCodes();
    void addAnswersWithCompleteArchive();
    void readFiles();
    void readFailures();
    void compressDirectory();
    void listContents();
    void listFailures_data();
    void listFailures();
    void extractFiles();
    void extractItemCodes();

private:
    // Runs one command on the pool and returns its single answer.
    template <typename Fn, typename... Args>
    QPair<QString, QVariantMap> run(Fn fn, Args... args);
    QVariantList list(const QString& archive);

    Zip m_zip;
    QScopedPointer<QTemporaryDir> m_dir;
    QList<QPair<QString, QVariantMap>> m_events;
    QString path(const QString& name) const { return m_dir->filePath(name); }
};

void ZipTest::initTestCase()
{
    // Answers come from pool threads; queue them to this thread as the
    // dispatcher's connection does.
    connect(&m_zip, &Zip::invokeJSCall, this,
            [this](const QString& name, const QVariantMap& params) { m_events.append({name, params}); });
}

void ZipTest::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    PathsManager::instance()->set(QStringLiteral("contentsPath"), path(QStringLiteral("contents")));
    m_events.clear();
}

template <typename Fn, typename... Args>
QPair<QString, QVariantMap> ZipTest::run(Fn fn, Args... args)
{
    m_events.clear();
    QtConcurrent::run(&m_zip, fn, args...);
    if (!QTest::qWaitFor([this] { return !m_events.isEmpty(); }, 30000))
        return {};
    QTest::qWait(20); // one answer per command, no more
    return m_events.size() == 1 ? m_events.first() : QPair<QString, QVariantMap>();
}

QVariantList ZipTest::list(const QString& archive)
{
    const auto answer = run(&Zip::zipListContents, QStringLiteral("l"), archive);
    return answer.second.value(QStringLiteral("data")).toList();
}

static QVariantMap item(std::initializer_list<std::pair<const char*, QVariant>> fields)
{
    QVariantMap map;
    for (const auto& f : fields)
        map.insert(QString::fromLatin1(f.first), f.second);
    return map;
}

static QVariantMap code(int value)
{
    return item({{"code", value}});
}

// An archive without entries, as the zip library writes it.
static QByteArray emptyArchive()
{
    QBuffer buffer;
    QuaZip zip(&buffer);
    if (!zip.open(QuaZip::mdCreate))
        return {};
    zip.close();
    return buffer.data();
}

// An end of central directory record alone, counting entries that are not
// there when entries is not 0.
static QByteArray endRecord(quint8 entries, const QByteArray& comment)
{
    QByteArray record = "PK\x05\x06" + QByteArray(18, '\0');
    record[8] = char(entries);  // entries on this disk
    record[10] = char(entries); // entries in all
    record[20] = char(comment.size());
    return record + comment;
}

// Makes every header of the archive claim size bytes for the entry's
// unpacked content, leaving its data as it is.
static bool claimSize(const QString& archive, quint32 size)
{
    QByteArray bytes = readFile(archive);
    const int local = bytes.indexOf("PK\x03\x04");
    const int central = bytes.indexOf("PK\x01\x02");
    if (local < 0 || central < 0)
        return false;
    for (int at : {local + 22, central + 24}) {
        for (int i = 0; i < 4; ++i)
            bytes[at + i] = char((size >> (8 * i)) & 0xff);
    }
    return writeFile(archive, bytes);
}

void ZipTest::addCreateThenAdd()
{
    const QString archive = path(QStringLiteral("a.zip"));
    QVERIFY(writeFile(path(QStringLiteral("source.bin")), QByteArray("\x00\x01\x02 from file", 14)));
    QVERIFY(writeFile(archive, "an old file in the way"));

    QVariantMap files{{QStringLiteral("1"), item({{"path", QStringLiteral("text.txt")}, {"data", QStringLiteral("h\u00e9llo")}})},
                      {QStringLiteral("2"), item({{"type", QStringLiteral("path")},
                                                  {"path", QStringLiteral("dir/copy.bin")},
                                                  {"data", path(QStringLiteral("source.bin"))}})}};
    auto answer = run(&Zip::zipAddFiles, QStringLiteral("u1"), archive, QStringLiteral("create"), files);
    QCOMPARE(answer.first, QStringLiteral("zipAddFilesDone"));
    QCOMPARE(answer.second, (QVariantMap{{QStringLiteral("uuid"), QStringLiteral("u1")},
                                         {QStringLiteral("1"), code(0)},
                                         {QStringLiteral("2"), code(0)}}));

    answer = run(&Zip::zipAddFiles, QStringLiteral("u2"), archive, QStringLiteral("ADD"),
                 QVariantMap{{QStringLiteral("x"), item({{"type", QStringLiteral("raw")},
                                                         {"path", QStringLiteral("added.txt")},
                                                         {"data", QByteArray("added")}})}});
    QCOMPARE(answer.first, QStringLiteral("zipAddFilesDone"));
    QCOMPARE(answer.second.value(QStringLiteral("x")), QVariant(code(0)));

    const QVariantList entries = list(archive);
    QStringList names;
    for (const QVariant& e : entries)
        names << e.toMap().value(QStringLiteral("zipPath")).toString();
    QCOMPARE(names, (QStringList{QStringLiteral("text.txt"), QStringLiteral("dir/copy.bin"), QStringLiteral("added.txt")}));

    answer = run(&Zip::zipReadFiles, QStringLiteral("r"), archive,
                 QVariantMap{{QStringLiteral("a"), QStringLiteral("text.txt")},
                             {QStringLiteral("b"), QStringLiteral("dir/copy.bin")}});
    QCOMPARE(answer.second.value(QStringLiteral("a")).toMap().value(QStringLiteral("data")).toByteArray(),
             QStringLiteral("h\u00e9llo").toUtf8());
    QCOMPARE(answer.second.value(QStringLiteral("b")).toMap().value(QStringLiteral("data")).toByteArray(),
             QByteArray("\x00\x01\x02 from file", 14));
}

void ZipTest::addModes_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("archiveExists");
    QTest::addColumn<QString>("event");
    QTest::addColumn<int>("code"); // in the Fail event; 1 means "some library code"

    QTest::newRow("Create on nothing") << QStringLiteral("Create") << false << QStringLiteral("zipAddFilesDone") << 0;
    QTest::newRow("add to existing") << QStringLiteral("add") << true << QStringLiteral("zipAddFilesDone") << 0;
    // The zip library's add mode starts a new archive where there is none.
    QTest::newRow("add to missing") << QStringLiteral("add") << false << QStringLiteral("zipAddFilesDone") << 0;
    QTest::newRow("add to non-zip") << QStringLiteral("add") << true << QStringLiteral("zipAddFilesFail") << 1;
    QTest::newRow("unknown mode") << QStringLiteral("append") << true << QStringLiteral("zipAddFilesFail") << -102;
    QTest::newRow("empty mode") << QString() << true << QStringLiteral("zipAddFilesFail") << -102;
}

void ZipTest::addModes()
{
    QFETCH(QString, mode);
    QFETCH(bool, archiveExists);
    QFETCH(QString, event);
    QFETCH(int, code);

    const QString archive = path(QStringLiteral("a.zip"));
    const bool textFile = code == 1;
    if (textFile)
        QVERIFY(writeFile(archive, "not a zip archive"));
    else if (archiveExists)
        QVERIFY(makeZip(archive, QList<QPair<QString, QByteArray>>{{QStringLiteral("old.txt"), "old"}}));
    const auto answer = run(&Zip::zipAddFiles, QStringLiteral("u"), archive, mode,
                            QVariantMap{{QStringLiteral("k"), item({{"path", QStringLiteral("n.txt")}, {"data", QStringLiteral("n")}})}});
    QCOMPARE(answer.first, event);
    QCOMPARE(answer.second.value(QStringLiteral("uuid")).toString(), QStringLiteral("u"));
    if (event.endsWith(QLatin1String("Fail"))) {
        if (code == 1)
            QVERIFY(answer.second.value(QStringLiteral("code")).toInt() != 0);
        else
            QCOMPARE(answer.second.value(QStringLiteral("code")).toInt(), code);
        // A refused command leaves the archive as it was.
        QCOMPARE(QFileInfo::exists(archive), archiveExists);
        if (textFile)
            QCOMPARE(readFile(archive), QByteArray("not a zip archive"));
        else if (archiveExists)
            QCOMPARE(list(archive).size(), 1);
    } else {
        QCOMPARE(list(archive).size(), archiveExists ? 2 : 1);
    }
}

void ZipTest::addItemCodes()
{
    const QString archive = path(QStringLiteral("a.zip"));
    const QVariantMap files{
        {QStringLiteral("a-good"), item({{"path", QStringLiteral("good.txt")}, {"data", QStringLiteral("g")}})},
        {QStringLiteral("b-RAW"), item({{"type", QStringLiteral("RAW")}, {"path", QStringLiteral("r.txt")}, {"data", QStringLiteral("r")}})},
        {QStringLiteral("c-no-path"), item({{"data", QStringLiteral("x")}})},
        {QStringLiteral("d-no-data"), item({{"path", QStringLiteral("d.txt")}})},
        {QStringLiteral("e-bad-type"), item({{"type", QStringLiteral("url")}, {"path", QStringLiteral("e.txt")}, {"data", QStringLiteral("e")}})},
        {QStringLiteral("f-missing-file"), item({{"type", QStringLiteral("path")}, {"path", QStringLiteral("f.txt")},
                                                 {"data", path(QStringLiteral("no/such/file"))}})},
        {QStringLiteral("g-not-a-map"), QStringLiteral("just text")},
        {QStringLiteral("h-good"), item({{"path", QStringLiteral("good2.txt")}, {"data", 42}})},
        {QStringLiteral("i-too-large"), item({{"type", QStringLiteral("path")}, {"path", QStringLiteral("i.bin")},
                                              {"data", path(QStringLiteral("sparse.bin"))}})}};
    // More than a buffer takes, without using the disk space.
    QFile sparse(path(QStringLiteral("sparse.bin")));
    QVERIFY(sparse.open(QIODevice::WriteOnly) && sparse.resize(Zip::MaxContentBytes + 1));
    sparse.close();
    const auto answer = run(&Zip::zipAddFiles, QStringLiteral("u"), archive, QStringLiteral("create"), files);
    QCOMPARE(answer.first, QStringLiteral("zipAddFilesDone"));
    QCOMPARE(answer.second, (QVariantMap{{QStringLiteral("uuid"), QStringLiteral("u")},
                                         {QStringLiteral("a-good"), code(0)},
                                         {QStringLiteral("b-RAW"), code(-102)},
                                         {QStringLiteral("c-no-path"), code(-102)},
                                         {QStringLiteral("d-no-data"), code(-102)},
                                         {QStringLiteral("e-bad-type"), code(-102)},
                                         {QStringLiteral("f-missing-file"), code(-104)},
                                         {QStringLiteral("g-not-a-map"), code(-102)},
                                         {QStringLiteral("h-good"), code(0)},
                                         {QStringLiteral("i-too-large"), code(-104)}}));
    // Failed items leave no entry behind; the good ones are all there.
    QCOMPARE(list(archive).size(), 2);
}

void ZipTest::addAnswersWithCompleteArchive()
{
    // The page reads the archive as soon as the answer arrives: it must be
    // complete (central directory written) by then.
    const QString archive = path(QStringLiteral("a.zip"));
    QVariantMap files;
    for (int i = 0; i < 50; ++i)
        files.insert(QStringLiteral("%1").arg(i, 3, 10, QLatin1Char('0')),
                     item({{"path", QStringLiteral("f%1.txt").arg(i)}, {"data", QByteArray(5000, 'z')}}));
    int entriesSeen = -1;
    QMetaObject::Connection c = connect(&m_zip, &Zip::invokeJSCall, this, [&](const QString& name, const QVariantMap&) {
        if (name == QLatin1String("zipAddFilesDone")) {
            QuaZip zip(archive);
            entriesSeen = zip.open(QuaZip::mdUnzip) ? zip.getEntriesCount() : -2;
        }
    });
    const auto answer = run(&Zip::zipAddFiles, QStringLiteral("u"), archive, QStringLiteral("create"), files);
    disconnect(c);
    QCOMPARE(answer.first, QStringLiteral("zipAddFilesDone"));
    QCOMPARE(entriesSeen, 50);
}

void ZipTest::readFiles()
{
    const QString archive = path(QStringLiteral("a.zip"));
    QVERIFY(makeZip(archive, QList<QPair<QString, QByteArray>>{{QStringLiteral("one.txt"), "one"},
                                                              {QStringLiteral("Two.txt"), "two"},
                                                              {QStringLiteral("empty.txt"), ""}}));
    const auto answer = run(&Zip::zipReadFiles, QStringLiteral("u"), archive,
                            QVariantMap{{QStringLiteral("a"), QStringLiteral("one.txt")},
                                        {QStringLiteral("b"), QStringLiteral("missing.txt")},
                                        {QStringLiteral("c"), QStringLiteral("Two.txt")},
                                        {QStringLiteral("d"), QStringLiteral("empty.txt")}});
    QCOMPARE(answer.first, QStringLiteral("zipReadFilesDone"));
    auto entry = [&](const char* key) { return answer.second.value(QString::fromLatin1(key)).toMap(); };
    QCOMPARE(answer.second.value(QStringLiteral("uuid")).toString(), QStringLiteral("u"));
    QCOMPARE(entry("a").value(QStringLiteral("code")).toInt(), 0);
    QCOMPARE(entry("a").value(QStringLiteral("data")).toByteArray(), QByteArray("one"));
    QCOMPARE(entry("b").value(QStringLiteral("code")).toInt(), -1000);
    QCOMPARE(entry("b").value(QStringLiteral("data")).toByteArray(), QByteArray());
    QCOMPARE(entry("c").value(QStringLiteral("data")).toByteArray(), QByteArray("two"));
    QCOMPARE(entry("d").value(QStringLiteral("code")).toInt(), 0);
    QCOMPARE(entry("d").value(QStringLiteral("data")).toByteArray(), QByteArray());
}

void ZipTest::readFailures()
{
    // An archive that cannot be opened fails the command with the
    // library's code.
    QVERIFY(writeFile(path(QStringLiteral("text.zip")), "not a zip"));
    auto answer = run(&Zip::zipReadFiles, QStringLiteral("u"), path(QStringLiteral("text.zip")),
                      QVariantMap{{QStringLiteral("a"), QStringLiteral("x")}});
    QCOMPARE(answer.first, QStringLiteral("zipReadFilesFail"));
    QCOMPARE(answer.second.value(QStringLiteral("uuid")).toString(), QStringLiteral("u"));
    QVERIFY(answer.second.value(QStringLiteral("code")).toInt() != 0);

    // A damaged entry gives its checksum error and no data.
    const QByteArray payload = QByteArray("PAYLOAD-0123456789-").repeated(20);
    QVERIFY(makeZip(path(QStringLiteral("bad.zip")),
                    QList<Entry>{{QStringLiteral("bad.txt"), payload, {}, 0}, {QStringLiteral("ok.txt"), "ok", {}, -1}}));
    QVERIFY(damage(path(QStringLiteral("bad.zip")), QByteArray("PAYLOAD-0123456789-PAYLOAD")));
    answer = run(&Zip::zipReadFiles, QStringLiteral("u"), path(QStringLiteral("bad.zip")),
                 QVariantMap{{QStringLiteral("a"), QStringLiteral("bad.txt")}, {QStringLiteral("b"), QStringLiteral("ok.txt")}});
    QCOMPARE(answer.first, QStringLiteral("zipReadFilesDone"));
    QCOMPARE(answer.second.value(QStringLiteral("a")).toMap().value(QStringLiteral("code")).toInt(), UNZ_CRCERROR);
    QCOMPARE(answer.second.value(QStringLiteral("a")).toMap().value(QStringLiteral("data")).toByteArray(), QByteArray());
    QCOMPARE(answer.second.value(QStringLiteral("b")).toMap().value(QStringLiteral("data")).toByteArray(), QByteArray("ok"));

    // An entry claiming more than a buffer takes is refused before it is
    // read, by zipReadFiles and zipExtractFiles alike.
    const QString huge = path(QStringLiteral("huge.zip"));
    QVERIFY(makeZip(huge, QList<Entry>{{QStringLiteral("huge.txt"), "small", {}, 0}}));
    QVERIFY(claimSize(huge, quint32(Zip::MaxContentBytes + 1)));
    answer = run(&Zip::zipReadFiles, QStringLiteral("u"), huge, QVariantMap{{QStringLiteral("a"), QStringLiteral("huge.txt")}});
    QCOMPARE(answer.first, QStringLiteral("zipReadFilesDone"));
    QCOMPARE(answer.second.value(QStringLiteral("a")), QVariant(item({{"code", -1000}, {"data", QByteArray()}})));
    answer = run(&Zip::zipExtractFiles, QStringLiteral("u"), huge,
                 QVariantMap{{QStringLiteral("a"), item({{"source", QStringLiteral("huge.txt")},
                                                         {"target", QStringLiteral("huge.txt")}})}});
    QCOMPARE(answer.first, QStringLiteral("zipListContentsDone"));
    QCOMPARE(answer.second.value(QStringLiteral("a")), QVariant(code(-1000)));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("contents/huge.txt"))));
}

void ZipTest::compressDirectory()
{
    QVERIFY(QDir().mkpath(path(QStringLiteral("src/sub"))));
    QVERIFY(QDir().mkpath(path(QStringLiteral("contents"))));
    QVERIFY(writeFile(path(QStringLiteral("src/a.txt")), "a"));
    QVERIFY(writeFile(path(QStringLiteral("src/sub/b.txt")), "b"));

    // A relative archive path lands in the contents directory.
    auto answer = run(&Zip::zipCompressDirectory, QStringLiteral("u"), QStringLiteral("packed.zip"),
                      path(QStringLiteral("src")));
    QCOMPARE(answer.first, QStringLiteral("zipCompressDirectoryDone"));
    QCOMPARE(answer.second, (QVariantMap{{QStringLiteral("uuid"), QStringLiteral("u")}}));
    QStringList names;
    for (const QVariant& e : list(path(QStringLiteral("contents/packed.zip"))))
        names << e.toMap().value(QStringLiteral("zipPath")).toString();
    names.sort();
    QCOMPARE(names, (QStringList{QStringLiteral("a.txt"), QStringLiteral("sub/"), QStringLiteral("sub/b.txt")}));

    // An absolute one is used as it is.
    answer = run(&Zip::zipCompressDirectory, QStringLiteral("u"), path(QStringLiteral("abs.zip")),
                 path(QStringLiteral("src")));
    QCOMPARE(answer.first, QStringLiteral("zipCompressDirectoryDone"));
    QVERIFY(QFileInfo::exists(path(QStringLiteral("abs.zip"))));

    answer = run(&Zip::zipCompressDirectory, QStringLiteral("u"), QStringLiteral("none.zip"),
                 path(QStringLiteral("no/such/dir")));
    QCOMPARE(answer.first, QStringLiteral("zipCompressDirectoryFail"));
    QCOMPARE(answer.second, (QVariantMap{{QStringLiteral("uuid"), QStringLiteral("u")}}));
}

void ZipTest::listContents()
{
    const QString archive = path(QStringLiteral("a.zip"));
    {
        QuaZip zip(archive);
        QVERIFY(zip.open(QuaZip::mdCreate));
        QuaZipNewInfo dirInfo(QStringLiteral("folder/"));
        QuaZipFile dir(&zip);
        QVERIFY(dir.open(QIODevice::WriteOnly, dirInfo));
        dir.close();
        QuaZipNewInfo fileInfo(QStringLiteral("folder/data.txt"));
        fileInfo.comment = QStringLiteral("a comment");
        QuaZipFile file(&zip);
        QVERIFY(file.open(QIODevice::WriteOnly, fileInfo));
        file.write(QByteArray(10000, 'q'));
        file.close();
        zip.close();
    }
    const auto answer = run(&Zip::zipListContents, QStringLiteral("u"), archive);
    QCOMPARE(answer.first, QStringLiteral("zipListContentsDone"));
    QCOMPARE(answer.second.value(QStringLiteral("uuid")).toString(), QStringLiteral("u"));
    const QVariantList entries = answer.second.value(QStringLiteral("data")).toList();
    QCOMPARE(entries.size(), 2);
    const QVariantMap dir = entries.at(0).toMap();
    const QVariantMap file = entries.at(1).toMap();
    QCOMPARE(dir.value(QStringLiteral("zipPath")).toString(), QStringLiteral("folder/"));
    QCOMPARE(dir.value(QStringLiteral("isDir")).toBool(), true);
    QCOMPARE(file.value(QStringLiteral("zipPath")).toString(), QStringLiteral("folder/data.txt"));
    QCOMPARE(file.value(QStringLiteral("isDir")).toBool(), false);
    QCOMPARE(file.value(QStringLiteral("comment")).toString(), QStringLiteral("a comment"));
    QCOMPARE(file.value(QStringLiteral("uncompressedSize")).toUInt(), 10000u);
    QVERIFY(file.value(QStringLiteral("compressedSize")).toUInt() < 10000u);
    QCOMPARE(file.value(QStringLiteral("crc")).toUInt(), uint(crc32(0, reinterpret_cast<const Bytef*>(QByteArray(10000, 'q').constData()), 10000)));
    QCOMPARE(file.value(QStringLiteral("crc")).userType(), int(QMetaType::UInt));
    QCOMPARE(file.keys(), (QStringList{QStringLiteral("comment"), QStringLiteral("compressedSize"), QStringLiteral("crc"),
                                       QStringLiteral("isDir"), QStringLiteral("uncompressedSize"), QStringLiteral("zipPath")}));
}

void ZipTest::listFailures_data()
{
    QTest::addColumn<QByteArray>("archiveBytes"); // empty: no file
    QTest::addColumn<QString>("event");

    QTest::newRow("missing") << QByteArray() << QStringLiteral("zipListContentsFail");
    QTest::newRow("not a zip") << QByteArray("plain text") << QStringLiteral("zipListContentsFail");
    // An archive without entries is listed as empty, whether the zip
    // library can open it (after a prefix) or not (at the file's start).
    QTest::newRow("empty archive") << emptyArchive() << QStringLiteral("zipListContentsDone");
    QTest::newRow("empty archive with comment") << endRecord(0, "abc") << QStringLiteral("zipListContentsDone");
    QTest::newRow("empty archive after a prefix") << "STUB" + emptyArchive() << QStringLiteral("zipListContentsDone");
    QTest::newRow("end record counting entries") << endRecord(1, {}) << QStringLiteral("zipListContentsFail");
}

void ZipTest::listFailures()
{
    QFETCH(QByteArray, archiveBytes);
    QFETCH(QString, event);
    const QString archive = path(QStringLiteral("a.zip"));
    if (!archiveBytes.isEmpty())
        QVERIFY(writeFile(archive, archiveBytes));
    const auto answer = run(&Zip::zipListContents, QStringLiteral("u"), archive);
    QCOMPARE(answer.first, event);
    QCOMPARE(answer.second.value(QStringLiteral("uuid")).toString(), QStringLiteral("u"));
    if (event.endsWith(QLatin1String("Fail")))
        QVERIFY(answer.second.value(QStringLiteral("code")).toInt() != 0);
    else
        QCOMPARE(answer.second.value(QStringLiteral("data")), QVariant(QVariantList()));
}

void ZipTest::extractFiles()
{
    const QString archive = path(QStringLiteral("a.zip"));
    QVERIFY(makeZip(archive, QList<QPair<QString, QByteArray>>{{QStringLiteral("in/one.txt"), "one"},
                                                              {QStringLiteral("two.txt"), "two"}}));
    QVERIFY(QDir().mkpath(path(QStringLiteral("contents"))));
    QVERIFY(writeFile(path(QStringLiteral("contents/old.txt")), "a much longer old content"));
    const auto answer = run(&Zip::zipExtractFiles, QStringLiteral("u"), archive,
                            QVariantMap{{QStringLiteral("a"), item({{"source", QStringLiteral("in/one.txt")},
                                                                    {"target", QStringLiteral("deep/er/one.txt")}})},
                                        {QStringLiteral("b"), item({{"source", QStringLiteral("two.txt")},
                                                                    {"target", QStringLiteral("old.txt")}})}});
    QCOMPARE(answer.first, QStringLiteral("zipListContentsDone"));
    const QString onePath = QDir(path(QStringLiteral("contents/deep/er"))).absoluteFilePath(QStringLiteral("one.txt"));
    const QString oldPath = QDir(path(QStringLiteral("contents"))).absoluteFilePath(QStringLiteral("old.txt"));
    QCOMPARE(answer.second, (QVariantMap{{QStringLiteral("uuid"), QStringLiteral("u")},
                                         {QStringLiteral("a"), item({{"code", 0}, {"path", onePath}})},
                                         {QStringLiteral("b"), item({{"code", 0}, {"path", oldPath}})}}));
    QCOMPARE(readFile(onePath), QByteArray("one"));
    QCOMPARE(readFile(oldPath), QByteArray("two")); // truncated, not overlaid
    QCOMPARE(int(QFileInfo(onePath).permissions() & 0x0777), 0x0777);
}

void ZipTest::extractItemCodes()
{
    const QString archive = path(QStringLiteral("a.zip"));
    QVERIFY(makeZip(archive, QList<QPair<QString, QByteArray>>{{QStringLiteral("one.txt"), "one"}}));
    QVERIFY(QDir().mkpath(path(QStringLiteral("contents/a-directory"))));
    const auto answer = run(&Zip::zipExtractFiles, QStringLiteral("u"), archive,
                            QVariantMap{{QStringLiteral("1"), item({{"source", QStringLiteral("one.txt")}})},
                                        {QStringLiteral("2"), item({{"target", QStringLiteral("x.txt")}})},
                                        {QStringLiteral("3"), item({{"source", QStringLiteral("nope.txt")},
                                                                    {"target", QStringLiteral("nope.txt")}})},
                                        {QStringLiteral("4"), item({{"source", QStringLiteral("one.txt")},
                                                                    {"target", QStringLiteral("a-directory")}})},
                                        {QStringLiteral("5"), item({{"source", QStringLiteral("one.txt")},
                                                                    {"target", QStringLiteral("fine.txt")}})}});
    QCOMPARE(answer.first, QStringLiteral("zipListContentsDone"));
    QCOMPARE(answer.second.value(QStringLiteral("1")), QVariant(code(-102)));
    QCOMPARE(answer.second.value(QStringLiteral("2")), QVariant(code(-102)));
    QCOMPARE(answer.second.value(QStringLiteral("3")), QVariant(code(-1000)));
    QCOMPARE(answer.second.value(QStringLiteral("4")), QVariant(code(-1000)));
    QCOMPARE(answer.second.value(QStringLiteral("5")).toMap().value(QStringLiteral("code")).toInt(), 0);
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("contents/nope.txt"))));

    const auto failed = run(&Zip::zipExtractFiles, QStringLiteral("v"), path(QStringLiteral("missing.zip")),
                            QVariantMap{{QStringLiteral("1"), item({{"source", QStringLiteral("one.txt")},
                                                                    {"target", QStringLiteral("y.txt")}})}});
    QCOMPARE(failed.first, QStringLiteral("zipListContentsFail"));
    QCOMPARE(failed.second.value(QStringLiteral("uuid")).toString(), QStringLiteral("v"));
    QVERIFY(failed.second.value(QStringLiteral("code")).toInt() != 0);
}

QTEST_GUILESS_MAIN(ZipTest)
#include "ZipTest.moc"
