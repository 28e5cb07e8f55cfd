// File system commands of the dispatcher, on real files and a real zip
// content archive: info, delete, copy codes, the temporary-copy registry.

#include "ArchiveAccessManager.h"
#include "JSInterface.h"
#include "PathsManager.h"
#include "SettingsManager.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <quazip.h>
#include <quazipfile.h>
#include <quazipnewinfo.h>

namespace {

void writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

QVariantMap itemMap(const QString& from, const QString& to, const QString& location, const QString& type)
{
    QVariantMap item;
    if (!from.isNull())
        item.insert(QStringLiteral("from"), from);
    if (!to.isNull())
        item.insert(QStringLiteral("to"), to);
    if (!location.isNull())
        item.insert(QStringLiteral("location"), location);
    if (!type.isNull())
        item.insert(QStringLiteral("type"), type);
    return item;
}

} // namespace

class FileSystemTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_contents;
    QScopedPointer<SettingsManager> m_settings;
    QScopedPointer<ArchiveAccessManager> m_archive;
    QScopedPointer<JSInterface> m_dispatcher;

    // Runs a command and returns the one event it emitted before returning.
    QVariantMap answer(const std::function<void()>& command, const QString& expectedName)
    {
        QList<QPair<QString, QVariantMap>> events;
        QObject context;
        connect(m_dispatcher.data(), &JSInterface::invokeJSCall, &context,
                [&events](QString name, QVariantMap& data) { events.append({name, data}); });
        command();
        if (events.size() != 1 || events.first().first != expectedName)
            return QVariantMap{{QStringLiteral("wrong event"), events.size()}};
        return events.first().second;
    }

    QVariantMap copy(const QVariantMap& items)
    {
        return answer([&] { m_dispatcher->fsItemsCopy(QStringLiteral("c1"), items); },
                      QStringLiteral("fsItemsCopyFinish"));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_contents = m_dir.filePath(QStringLiteral("contents"));
        PathsManager::instance()->set(QStringLiteral("contentsPath"), m_contents);

        // A real zip content archive with plain entries.
        const QString archivePath = m_dir.filePath(QStringLiteral("data.bin"));
        QuaZip zip(archivePath);
        QVERIFY(zip.open(QuaZip::mdCreate));
        const QList<QPair<QString, QByteArray>> entries{
            {QStringLiteral("wrapper/wrapper/index.html"), QByteArray("<html></html>")},
            {QStringLiteral("wrapper/wrapper/media/sound.mp3"), QByteArray(300000, 'm')}};
        for (const auto& entry : entries) {
            QuaZipFile file(&zip);
            QVERIFY(file.open(QIODevice::WriteOnly, QuaZipNewInfo(entry.first)));
            file.write(entry.second);
            file.close();
        }
        zip.close();

        writeFile(m_dir.filePath(QStringLiteral("vazovazo.config")), "[wrapper]\nencrypted=false\n");
        m_settings.reset(new SettingsManager(m_dir.filePath(QStringLiteral("vazovazo.config"))));
        m_archive.reset(createArchiveManager(archivePath, m_settings.data()));
        QVERIFY(m_archive);
    }

    void init()
    {
        QDir(m_contents).removeRecursively();
        QDir().mkpath(m_contents);
        m_dispatcher.reset(new JSInterface(m_archive.data(), nullptr));
    }

    void cleanup() { m_dispatcher.reset(); }

    void info()
    {
        writeFile(m_contents + QStringLiteral("/media/a.mp3"), QByteArray(1234, 'a'));
        QVariantMap paths{{QStringLiteral("file"), QStringLiteral("/media/a.mp3")},
                          {QStringLiteral("dir"), QStringLiteral("/media")},
                          {QStringLiteral("missing"), QStringLiteral("/media/none.mp3")},
                          {QStringLiteral("root"), QString(QLatin1String(""))}};
        const QVariantMap result = answer([&] { m_dispatcher->fsItemsInfo(QStringLiteral("u1"), paths); },
                                          QStringLiteral("fsItemsInfoFinish"));
        QCOMPARE(result.value(QStringLiteral("uuid")).toString(), QStringLiteral("u1"));
        QCOMPARE(result.size(), 5);
        auto check = [&](const char* key, qint64 size, bool isDir, bool exists) {
            const QVariantMap item = result.value(QString::fromLatin1(key)).toMap();
            QCOMPARE(item.value(QStringLiteral("file_path")), paths.value(QString::fromLatin1(key)));
            QCOMPARE(item.value(QStringLiteral("isDir")).toBool(), isDir);
            QCOMPARE(item.value(QStringLiteral("exists")).toBool(), exists);
            if (!isDir)
                QCOMPARE(item.value(QStringLiteral("size")).toLongLong(), size);
            QCOMPARE(item.value(QStringLiteral("size")).type(), QVariant::LongLong);
        };
        check("file", 1234, false, true);
        check("dir", 0, true, true);
        check("missing", 0, false, false);
        check("root", 0, true, true);

        // An item key "uuid" replaces the uuid entry; an empty map answers uuid alone.
        const QVariantMap clash = answer(
            [&] { m_dispatcher->fsItemsInfo(QStringLiteral("u2"), {{QStringLiteral("uuid"), QStringLiteral("/x")}}); },
            QStringLiteral("fsItemsInfoFinish"));
        QCOMPARE(clash.value(QStringLiteral("uuid")).toMap().value(QStringLiteral("exists")).toBool(), false);
        const QVariantMap empty = answer([&] { m_dispatcher->fsItemsInfo(QStringLiteral("u3"), {}); },
                                         QStringLiteral("fsItemsInfoFinish"));
        QCOMPARE(empty, (QVariantMap{{QStringLiteral("uuid"), QStringLiteral("u3")}}));
    }

    void remove()
    {
        writeFile(m_contents + QStringLiteral("/a/b/c.txt"), "c");
        writeFile(m_contents + QStringLiteral("/f.txt"), "f");
        QVariantMap paths{{QStringLiteral("dir"), QStringLiteral("/a")},
                          {QStringLiteral("file"), QStringLiteral("/f.txt")},
                          {QStringLiteral("missing"), QStringLiteral("/nothing")}};
        const QVariantMap result = answer([&] { m_dispatcher->fsItemsDelete(QStringLiteral("d"), paths); },
                                          QStringLiteral("fsItemsDeleteFinish"));
        QCOMPARE(result.value(QStringLiteral("dir")).toMap(),
                 (QVariantMap{{QStringLiteral("file_path"), QStringLiteral("/a")},
                              {QStringLiteral("existed"), true},
                              {QStringLiteral("isDir"), true},
                              {QStringLiteral("isDeleted"), true}}));
        QCOMPARE(result.value(QStringLiteral("file")).toMap().value(QStringLiteral("isDir")).toBool(), false);
        QCOMPARE(result.value(QStringLiteral("file")).toMap().value(QStringLiteral("isDeleted")).toBool(), true);
        QCOMPARE(result.value(QStringLiteral("missing")).toMap(),
                 (QVariantMap{{QStringLiteral("file_path"), QStringLiteral("/nothing")},
                              {QStringLiteral("existed"), false}}));
        QVERIFY(!QFileInfo::exists(m_contents + QStringLiteral("/a")));
        QVERIFY(!QFileInfo::exists(m_contents + QStringLiteral("/f.txt")));
    }

    void invalidCopyItems_data()
    {
        QTest::addColumn<QVariant>("item");
        const QString from = QStringLiteral("/wrapper/wrapper/index.html");
        const QString n; // absent key
        QTest::newRow("no from") << QVariant(itemMap(n, QStringLiteral("x"), n, n));
        QTest::newRow("no to") << QVariant(itemMap(from, n, n, n));
        QTest::newRow("empty to") << QVariant(itemMap(from, QString(QLatin1String("")), n, n));
        QTest::newRow("bad location") << QVariant(itemMap(from, QStringLiteral("x"), QStringLiteral("remote"), n));
        QTest::newRow("bad type") << QVariant(itemMap(from, QStringLiteral("x"), n, QStringLiteral("forever")));
        QTest::newRow("plain string") << QVariant(QStringLiteral("/wrapper/wrapper/index.html"));
        QTest::newRow("missing source") << QVariant(itemMap(QStringLiteral("/no/such/file"), QStringLiteral("x"),
                                                            QStringLiteral("local"), n));
        QTest::newRow("missing archive entry")
            << QVariant(itemMap(QStringLiteral("/wrapper/wrapper/none.js"), QStringLiteral("y"), QStringLiteral("local"), n));
    }

    void invalidCopyItems()
    {
        QFETCH(QVariant, item);
        const QVariantMap result = copy({{QStringLiteral("i"), item}});
        QCOMPARE(result.value(QStringLiteral("i")).toMap(), (QVariantMap{{QStringLiteral("code"), 606}}));
        // Nothing was created for a failed item.
        QCOMPARE(QDir(m_contents).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    }

    void copyFromArchiveAndDisk_data()
    {
        QTest::addColumn<QString>("location");
        QTest::addColumn<QString>("type");
        QTest::newRow("local normal") << QStringLiteral("local") << QStringLiteral("normal");
        QTest::newRow("letter case ignored") << QStringLiteral("Local") << QStringLiteral("NORMAL");
        QTest::newRow("temporary location") << QStringLiteral("TEMPORARY") << QStringLiteral("normal");
    }

    void copyFromArchiveAndDisk()
    {
        QFETCH(QString, location);
        QFETCH(QString, type);
        writeFile(m_dir.filePath(QStringLiteral("plain.txt")), "plain bytes");
        const QString target = QStringLiteral("copies/") + QString::fromLatin1(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('-'));
        QVariantMap items{
            {QStringLiteral("entry"), itemMap(QStringLiteral("/wrapper/wrapper/media/sound.mp3"), target + QStringLiteral("/s.mp3"), location, type)},
            {QStringLiteral("disk"), itemMap(m_dir.filePath(QStringLiteral("plain.txt")), target + QStringLiteral("/p.txt"), location, type)}};
        const QVariantMap result = copy(items);
        const QString base = location.compare(QLatin1String("local"), Qt::CaseInsensitive) == 0
            ? m_contents : QDir::tempPath();
        const QVariantMap entry = result.value(QStringLiteral("entry")).toMap();
        QCOMPARE(entry.value(QStringLiteral("code")).toInt(), 0);
        QCOMPARE(entry.value(QStringLiteral("filepath")).toString(), base + QLatin1Char('/') + target + QStringLiteral("/s.mp3"));
        QCOMPARE(entry.value(QStringLiteral("filename")).toString(), QStringLiteral("s.mp3"));
        QCOMPARE(entry.value(QStringLiteral("filedir")).toString(), base + QLatin1Char('/') + target);
        QCOMPARE(entry.value(QStringLiteral("size")).toLongLong(), qint64(300000));
        QFile copied(entry.value(QStringLiteral("filepath")).toString());
        QVERIFY(copied.open(QIODevice::ReadOnly));
        QCOMPARE(copied.readAll(), QByteArray(300000, 'm'));
        const QVariantMap disk = result.value(QStringLiteral("disk")).toMap();
        QCOMPARE(disk.value(QStringLiteral("size")).toLongLong(), qint64(11));
        if (base == QDir::tempPath())
            QDir(base + QLatin1Char('/') + target).removeRecursively();
    }

    void unwritableDestination()
    {
        // The destination names an existing directory: it cannot be opened.
        QDir().mkpath(m_contents + QStringLiteral("/taken"));
        const QVariantMap result = copy({{QStringLiteral("i"),
            itemMap(QStringLiteral("/wrapper/wrapper/index.html"), QStringLiteral("taken"), QStringLiteral("local"), QString())}});
        QCOMPARE(result.value(QStringLiteral("i")).toMap(), (QVariantMap{{QStringLiteral("code"), 605}}));
    }

    // Copying a file onto itself fails the item and keeps the file.
    void copyOntoItself()
    {
        writeFile(m_contents + QStringLiteral("/self.txt"), "keep me");
        const QVariantMap result = copy({{QStringLiteral("i"),
            itemMap(m_contents + QStringLiteral("/self.txt"), QStringLiteral("self.txt"), QStringLiteral("local"), QString())}});
        QCOMPARE(result.value(QStringLiteral("i")).toMap(), (QVariantMap{{QStringLiteral("code"), 606}}));
        QFile file(m_contents + QStringLiteral("/self.txt"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("keep me"));
    }

    // Temporary copies: a new copy of the same source replaces (and deletes)
    // the previous one; normal copies leave the registry alone; the rest go
    // with the dispatcher.
    void temporaryCopies()
    {
        const QString from = QStringLiteral("/wrapper/wrapper/index.html");
        auto copyAs = [&](const QString& to, const QString& type) {
            const QVariantMap r = copy({{QStringLiteral("i"), itemMap(from, to, QStringLiteral("local"), type)}});
            return r.value(QStringLiteral("i")).toMap().value(QStringLiteral("filepath")).toString();
        };
        const QString first = copyAs(QStringLiteral("t1.html"), QStringLiteral("temporary"));
        QVERIFY(QFileInfo::exists(first));
        const QString second = copyAs(QStringLiteral("t2.html"), QStringLiteral("Temporary"));
        QVERIFY(!QFileInfo::exists(first));
        QVERIFY(QFileInfo::exists(second));
        const QString normal = copyAs(QStringLiteral("n.html"), QStringLiteral("normal"));
        QVERIFY(QFileInfo::exists(second));

        QVariantMap result;
        QCOMPARE(m_dispatcher->copyItem(QStringLiteral("media"), QStringLiteral("/wrapper/wrapper/media/sound.mp3"),
                                        QStringLiteral("m.mp3"), QStringLiteral("temporary"),
                                        QStringLiteral("temporary"), result), 0);
        const QString media = result.value(QStringLiteral("filepath")).toString();
        QCOMPARE(media, QDir::tempPath() + QStringLiteral("/m.mp3"));
        QVERIFY(QFileInfo::exists(media));

        m_dispatcher.reset();
        QVERIFY(!QFileInfo::exists(second));
        QVERIFY(!QFileInfo::exists(media));
        QVERIFY(QFileInfo::exists(normal));
    }

    void contentsRootPath()
    {
        const QVariantMap result = answer([&] { m_dispatcher->fsContentsRootPath(QStringLiteral("r")); },
                                          QStringLiteral("fsContentsRootPathFinish"));
        PathsManager* paths = PathsManager::instance();
        QCOMPARE(result, (QVariantMap{{QStringLiteral("uuid"), QStringLiteral("r")},
                                      {QStringLiteral("home_path"), paths->get(QStringLiteral("homePath"))},
                                      {QStringLiteral("download_path"), paths->get(QStringLiteral("downloadPath"))},
                                      {QStringLiteral("contents_root_path"), m_contents},
                                      {QStringLiteral("wrapper_access_path"), QStringLiteral("/wrapper/wrapper/")}}));
    }
};

QTEST_GUILESS_MAIN(FileSystemTest)
#include "FileSystemTest.moc"
