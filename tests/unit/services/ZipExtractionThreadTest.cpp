// Whole-archive extraction with real zip files.
#include "ZipExtractionThread.h"
#include "ZipFixtures.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace ZipFixtures;

using Progress = QList<QPair<int, int>>;

namespace {

// Collects what one extraction reports, in order.
struct Report
{
    explicit Report(ZipExtractionThread* thread)
        : progress(thread, &ZipExtractionThread::zipProgress)
        , error(thread, &ZipExtractionThread::zipError)
        , finish(thread, &ZipExtractionThread::zipFinish)
        , abort(thread, &ZipExtractionThread::onAbort)
    {
    }

    Progress progressList() const
    {
        Progress list;
        for (const QList<QVariant>& args : progress)
            list.append({args.at(0).toInt(), args.at(1).toInt()});
        return list;
    }

    int errorCode() const
    {
        return error.isEmpty() ? -1 : int(error.first().first().value<ZipExtractionThread::ExtractionError>());
    }

    QSignalSpy progress;
    QSignalSpy error;
    QSignalSpy finish;
    QSignalSpy abort;
};

bool waitDone(ZipExtractionThread& thread)
{
    // The signals are queued to this thread; run the loop until the thread
    // ended and everything it sent is delivered.
    if (!thread.wait(60000))
        return false;
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    return true;
}

QList<QPair<QString, QByteArray>> numberedEntries(int count, int size = 100)
{
    QList<QPair<QString, QByteArray>> entries;
    for (int i = 0; i < count; ++i)
        entries.append({QStringLiteral("dir%1/file%2.txt").arg(i % 7).arg(i), QByteArray(size, char('a' + i % 26))});
    return entries;
}

} // namespace

class ZipExtractionThreadTest : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void progressScheduleAndContent();
    void refusesSecondStartWhileRunning();
    void abortStopsBeforeNextEntry();
    void abortBeforeStartIsCleared();
    void archiveOutcomes_data();
    void archiveOutcomes();
    void backslashNames_data();
    void backslashNames();
    void existingSubdirectoriesRemoved();
    void linkedSubdirectoryIsNotFollowed();
    void entryLeavingTarget_data();
    void entryLeavingTarget();
    void targetAboveKeptDirectory_data();
    void targetAboveKeptDirectory();
    void unreadableEntryStops_data();
    void unreadableEntryStops();

private:
    QScopedPointer<QTemporaryDir> m_dir;
    QString path(const QString& name) const { return m_dir->filePath(name); }
};

void ZipExtractionThreadTest::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
}

void ZipExtractionThreadTest::progressScheduleAndContent()
{
    auto entries = numberedEntries(118);
    entries.prepend({QStringLiteral("empty/"), QByteArray()});
    entries.append({QStringLiteral("top.txt"), QByteArray("top")});
    QVERIFY(makeZip(path(QStringLiteral("a.zip")), entries));

    ZipExtractionThread thread;
    Report report(&thread);
    QVERIFY(thread.start(path(QStringLiteral("a.zip")), path(QStringLiteral("out/units/u1"))));
    QVERIFY(waitDone(thread));

    QCOMPARE(report.progressList(), (Progress{{120, 0}, {120, 1}, {120, 51}, {120, 101}, {120, 120}}));
    QCOMPARE(report.error.size(), 0);
    QCOMPARE(report.finish.size(), 1);
    QCOMPARE(report.finish.first().first().toString(), QDir(path(QStringLiteral("out/units/u1"))).absolutePath());
    QVERIFY(QFileInfo(path(QStringLiteral("out/units/u1/empty"))).isDir());
    for (const auto& e : qAsConst(entries)) {
        if (!e.first.endsWith(QLatin1Char('/')))
            QCOMPARE(readFile(path(QStringLiteral("out/units/u1/") + e.first)), e.second);
    }
}

void ZipExtractionThreadTest::refusesSecondStartWhileRunning()
{
    QVERIFY(makeZip(path(QStringLiteral("big.zip")), numberedEntries(3000, 2000)));
    QVERIFY(makeZip(path(QStringLiteral("other.zip")), numberedEntries(3)));

    ZipExtractionThread thread;
    Report report(&thread);
    QVERIFY(thread.start(path(QStringLiteral("big.zip")), path(QStringLiteral("out"))));
    QVERIFY(!thread.start(path(QStringLiteral("other.zip")), path(QStringLiteral("elsewhere"))));
    QCOMPARE(thread.archivePath(), path(QStringLiteral("big.zip")));
    QVERIFY(waitDone(thread));

    QCOMPARE(report.finish.size(), 1);
    QCOMPARE(report.progressList().last(), qMakePair(3000, 3000));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("elsewhere"))));
}

void ZipExtractionThreadTest::abortStopsBeforeNextEntry()
{
    QVERIFY(makeZip(path(QStringLiteral("a.zip")), numberedEntries(120)));
    ZipExtractionThread thread;
    Report report(&thread);
    // Asked from the worker itself right after the first entry, so the
    // point where it stops is known.
    connect(&thread, &ZipExtractionThread::zipProgress, &thread,
            [&thread](int, int progress) {
                if (progress == 1)
                    thread.abort();
            },
            Qt::DirectConnection);
    QVERIFY(thread.start(path(QStringLiteral("a.zip")), path(QStringLiteral("out"))));
    QVERIFY(waitDone(thread));

    QCOMPARE(report.progressList(), (Progress{{120, 0}, {120, 1}}));
    QCOMPARE(report.abort.size(), 1);
    QCOMPARE(report.errorCode(), int(ZipExtractionThread::Aborted));
    QCOMPARE(report.finish.size(), 0);
    QVERIFY(QFileInfo::exists(path(QStringLiteral("out/dir0/file0.txt"))));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("out/dir1/file1.txt"))));
}

void ZipExtractionThreadTest::abortBeforeStartIsCleared()
{
    QVERIFY(makeZip(path(QStringLiteral("a.zip")), numberedEntries(3)));
    ZipExtractionThread thread;
    Report report(&thread);
    thread.abort(); // nothing runs: only the flag is set
    QVERIFY(thread.start(path(QStringLiteral("a.zip")), path(QStringLiteral("out"))));
    QVERIFY(waitDone(thread));
    QCOMPARE(report.abort.size(), 0);
    QCOMPARE(report.finish.size(), 1);

    // The thread object is reused for the next extraction.
    QVERIFY(thread.start(path(QStringLiteral("a.zip")), path(QStringLiteral("out2"))));
    QVERIFY(waitDone(thread));
    QCOMPARE(report.finish.size(), 2);
}

void ZipExtractionThreadTest::archiveOutcomes_data()
{
    QTest::addColumn<QString>("archive"); // missing, text, truncated, (prefixed) empty, one entry
    QTest::addColumn<bool>("targetBlocked"); // a file stands where the target's parent should be
    QTest::addColumn<int>("code");           // 0: finishes
    QTest::addColumn<Progress>("progress");

    QTest::newRow("missing") << QStringLiteral("missing") << false << int(ZipExtractionThread::ArchiveNotFound) << Progress{};
    QTest::newRow("not a zip") << QStringLiteral("text") << false << int(ZipExtractionThread::ArchiveNotOpened) << Progress{};
    QTest::newRow("truncated") << QStringLiteral("truncated") << false << int(ZipExtractionThread::ArchiveNotOpened)
                               << Progress{};
    // An archive without entries is no damage: start and end are reported.
    QTest::newRow("empty archive") << QStringLiteral("empty") << false << 0 << Progress{{0, 0}, {0, 0}};
    QTest::newRow("empty archive after a prefix") << QStringLiteral("prefixed empty") << false << 0
                                                  << Progress{{0, 0}, {0, 0}};
    // The archive is looked for first; a target that cannot be made fails
    // with the first entry that cannot be written.
    QTest::newRow("missing, target cannot be made") << QStringLiteral("missing") << true
                                                    << int(ZipExtractionThread::ArchiveNotFound) << Progress{};
    QTest::newRow("target cannot be made") << QStringLiteral("one entry") << true
                                           << int(ZipExtractionThread::WriteFailed) << Progress{{1, 0}};
}

void ZipExtractionThreadTest::archiveOutcomes()
{
    QFETCH(QString, archive);
    QFETCH(bool, targetBlocked);
    QFETCH(int, code);
    QFETCH(Progress, progress);
    const QString zip = path(QStringLiteral("a.zip"));
    if (archive == QLatin1String("text"))
        QVERIFY(writeFile(zip, "this is plain text, not a zip archive"));
    else if (archive == QLatin1String("truncated"))
        QVERIFY(writeFile(zip, QByteArray("PK\x03\x04\x14\x00\x00\x00", 8)));
    else if (archive.endsWith(QLatin1String("empty"))) {
        QVERIFY(makeZip(zip, QList<Entry>{}));
        if (archive.startsWith(QLatin1String("prefixed")))
            QVERIFY(writeFile(zip, "STUB" + readFile(zip)));
    }
    else if (archive == QLatin1String("one entry"))
        QVERIFY(makeZip(zip, QList<QPair<QString, QByteArray>>{{QStringLiteral("x.txt"), "x"}}));
    if (targetBlocked)
        QVERIFY(writeFile(path(QStringLiteral("out")), "a file, not a folder"));

    ZipExtractionThread thread;
    Report report(&thread);
    QVERIFY(thread.start(zip, path(QStringLiteral("out/deep"))));
    QVERIFY(waitDone(thread));
    QCOMPARE(report.progressList(), progress);
    if (code == 0) {
        QCOMPARE(report.error.size(), 0);
        QCOMPARE(report.finish.size(), 1);
        QCOMPARE(report.finish.first().first().toString(), QDir(path(QStringLiteral("out/deep"))).absolutePath());
    } else {
        QCOMPARE(report.error.size(), 1);
        QCOMPARE(report.errorCode(), code);
        QCOMPARE(report.finish.size(), 0);
    }
    // Made before the archive is looked at, where it can be made.
    QCOMPARE(QFileInfo(path(QStringLiteral("out/deep"))).isDir(), !targetBlocked);
}

void ZipExtractionThreadTest::backslashNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("code"); // 0: finishes
    QTest::addColumn<QString>("file"); // written with the entry's content, below out
    QTest::addColumn<QString>("dir");  // made, below out

    QTest::newRow("file") << QStringLiteral("win\\sub\\file.txt") << 0 << QStringLiteral("win/sub/file.txt") << QString();
    QTest::newRow("directory entry") << QStringLiteral("win\\sub/") << 0 << QString() << QStringLiteral("win/sub");
    // Only a name ending in "/" is a directory entry; this one is a file
    // whose path names a folder, and no file can be written there.
    QTest::newRow("file named like a folder") << QStringLiteral("win\\sub\\") << int(ZipExtractionThread::WriteFailed)
                                              << QString() << QString();
}

void ZipExtractionThreadTest::backslashNames()
{
    QFETCH(QString, name);
    QFETCH(int, code);
    QFETCH(QString, file);
    QFETCH(QString, dir);
    const QByteArray content = name.endsWith(QLatin1Char('/')) ? QByteArray() : QByteArray("windows");
    QVERIFY(makeZip(path(QStringLiteral("a.zip")), QList<QPair<QString, QByteArray>>{{name, content}}));
    ZipExtractionThread thread;
    Report report(&thread);
    QVERIFY(thread.start(path(QStringLiteral("a.zip")), path(QStringLiteral("out"))));
    QVERIFY(waitDone(thread));
    QCOMPARE(report.errorCode(), code == 0 ? -1 : code);
    QCOMPARE(report.finish.size(), code == 0 ? 1 : 0);
    if (!file.isEmpty())
        QCOMPARE(readFile(path(QStringLiteral("out/") + file)), content);
    if (!dir.isEmpty())
        QVERIFY(QFileInfo(path(QStringLiteral("out/") + dir)).isDir());
    QVERIFY(!QFileInfo(path(QStringLiteral("out/win/sub"))).isFile());
}

void ZipExtractionThreadTest::existingSubdirectoriesRemoved()
{
    QVERIFY(QDir().mkpath(path(QStringLiteral("out/old/deeper"))));
    QVERIFY(QDir().mkpath(path(QStringLiteral("out/.hidden"))));
    QVERIFY(writeFile(path(QStringLiteral("out/old/deeper/x.txt")), "old"));
    QVERIFY(writeFile(path(QStringLiteral("out/.hidden/keep.txt")), "hidden"));
    QVERIFY(writeFile(path(QStringLiteral("out/stays.txt")), "stays"));
    QVERIFY(writeFile(path(QStringLiteral("out/replaced.txt")), "before"));
    QVERIFY(makeZip(path(QStringLiteral("a.zip")),
                    QList<QPair<QString, QByteArray>>{{QStringLiteral("replaced.txt"), "after"},
                                                      {QStringLiteral("new/n.txt"), "new"}}));

    ZipExtractionThread thread;
    Report report(&thread);
    QVERIFY(thread.start(path(QStringLiteral("a.zip")), path(QStringLiteral("out"))));
    QVERIFY(waitDone(thread));
    QCOMPARE(report.finish.size(), 1);
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("out/old"))));
    QCOMPARE(readFile(path(QStringLiteral("out/.hidden/keep.txt"))), QByteArray("hidden"));
    QCOMPARE(readFile(path(QStringLiteral("out/stays.txt"))), QByteArray("stays"));
    QCOMPARE(readFile(path(QStringLiteral("out/replaced.txt"))), QByteArray("after"));
    QCOMPARE(readFile(path(QStringLiteral("out/new/n.txt"))), QByteArray("new"));
}

void ZipExtractionThreadTest::linkedSubdirectoryIsNotFollowed()
{
    // A link in the target to a directory elsewhere: clearing the target
    // removes the link, not what it points to, and writing never goes
    // through it.
    QVERIFY(QDir().mkpath(path(QStringLiteral("elsewhere"))));
    QVERIFY(writeFile(path(QStringLiteral("elsewhere/precious.txt")), "precious"));
    QVERIFY(writeFile(path(QStringLiteral("elsewhere/file.txt")), "untouched"));
    QVERIFY(QDir().mkpath(path(QStringLiteral("out"))));
    QVERIFY(QFile::link(path(QStringLiteral("elsewhere")), path(QStringLiteral("out/link"))));
    QVERIFY(QFile::link(path(QStringLiteral("elsewhere/file.txt")), path(QStringLiteral("out/top.txt"))));
    QVERIFY(makeZip(path(QStringLiteral("a.zip")),
                    QList<QPair<QString, QByteArray>>{{QStringLiteral("link/file.txt"), "from zip"},
                                                      {QStringLiteral("top.txt"), "top from zip"}}));

    ZipExtractionThread thread;
    Report report(&thread);
    QVERIFY(thread.start(path(QStringLiteral("a.zip")), path(QStringLiteral("out"))));
    QVERIFY(waitDone(thread));
    QCOMPARE(report.finish.size(), 1);
    QCOMPARE(readFile(path(QStringLiteral("elsewhere/precious.txt"))), QByteArray("precious"));
    QCOMPARE(readFile(path(QStringLiteral("elsewhere/file.txt"))), QByteArray("untouched"));
    QVERIFY(!QFileInfo(path(QStringLiteral("out/link"))).isSymLink());
    QCOMPARE(readFile(path(QStringLiteral("out/link/file.txt"))), QByteArray("from zip"));
    QCOMPARE(readFile(path(QStringLiteral("out/top.txt"))), QByteArray("top from zip"));
}

void ZipExtractionThreadTest::entryLeavingTarget_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("placedAt"); // below t/out; empty: refused

    QTest::newRow("parent") << QStringLiteral("../evil.txt") << QString();
    QTest::newRow("deep climb") << QStringLiteral("a/../../evil.txt") << QString();
    QTest::newRow("backslash climb") << QStringLiteral("..\\evil.txt") << QString();
    QTest::newRow("absolute climb") << QStringLiteral("/../evil.txt") << QString();
    QTest::newRow("climbing directory") << QStringLiteral("../evildir/") << QString();
    QTest::newRow("down and up again") << QStringLiteral("a/../evil.txt") << QStringLiteral("evil.txt");
    // Appended to the target, a leading "/" or a drive letter names a
    // folder inside it.
    QTest::newRow("absolute") << QStringLiteral("/tmp/evil.txt") << QStringLiteral("tmp/evil.txt");
    QTest::newRow("drive letter") << QStringLiteral("C:/evil.txt") << QStringLiteral("C:/evil.txt");
}

void ZipExtractionThreadTest::entryLeavingTarget()
{
    QFETCH(QString, name);
    QFETCH(QString, placedAt);

    QVERIFY(makeZip(path(QStringLiteral("a.zip")),
                    QList<QPair<QString, QByteArray>>{{QStringLiteral("first.txt"), "first"},
                                                      {name, name.endsWith(QLatin1Char('/')) ? "" : "evil"},
                                                      {QStringLiteral("last.txt"), "last"}}));
    ZipExtractionThread thread;
    Report report(&thread);
    QVERIFY(thread.start(path(QStringLiteral("a.zip")), path(QStringLiteral("t/out"))));
    QVERIFY(waitDone(thread));

    // Nothing of the archive ever appears outside t/out.
    QCOMPARE(QDir(path(QStringLiteral("t"))).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("out")});
    QVERIFY(!QFileInfo::exists(QStringLiteral("/tmp/evil.txt")));
    QCOMPARE(readFile(path(QStringLiteral("t/out/first.txt"))), QByteArray("first"));
    if (!placedAt.isEmpty()) {
        QCOMPARE(report.finish.size(), 1);
        QCOMPARE(readFile(path(QStringLiteral("t/out/") + placedAt)), QByteArray("evil"));
        QCOMPARE(readFile(path(QStringLiteral("t/out/last.txt"))), QByteArray("last"));
    } else {
        QCOMPARE(report.errorCode(), int(ZipExtractionThread::WriteFailed));
        QCOMPARE(report.finish.size(), 0);
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("t/out/last.txt"))));
        QCOMPARE(QDir(path(QStringLiteral("t/out"))).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("first.txt")});
    }
}

void ZipExtractionThreadTest::targetAboveKeptDirectory_data()
{
    QTest::addColumn<QString>("target"); // below the test folder, which holds contents/ and other/
    QTest::addColumn<bool>("refused");

    QTest::newRow("parent") << QStringLiteral("contents/..") << true;
    QTest::newRow("link to the parent") << QStringLiteral("up") << true;
    QTest::newRow("contents itself") << QStringLiteral("contents") << false;
    QTest::newRow("below contents") << QStringLiteral("contents/sub") << false;
    QTest::newRow("sibling with dots") << QStringLiteral("contents..") << false;
}

void ZipExtractionThreadTest::targetAboveKeptDirectory()
{
    QFETCH(QString, target);
    QFETCH(bool, refused);
    QVERIFY(QDir().mkpath(path(QStringLiteral("contents/keep"))));
    QVERIFY(QDir().mkpath(path(QStringLiteral("other"))));
    QVERIFY(writeFile(path(QStringLiteral("contents/keep/k.txt")), "k"));
    QVERIFY(writeFile(path(QStringLiteral("other/o.txt")), "o"));
    QVERIFY(QFile::link(m_dir->path(), path(QStringLiteral("up"))));
    QVERIFY(makeZip(path(QStringLiteral("a.zip")), QList<QPair<QString, QByteArray>>{{QStringLiteral("x.txt"), "x"}}));

    ZipExtractionThread thread;
    Report report(&thread);
    QVERIFY(thread.start(path(QStringLiteral("a.zip")), path(target), path(QStringLiteral("contents"))));
    QVERIFY(waitDone(thread));
    if (refused) {
        QCOMPARE(report.errorCode(), int(ZipExtractionThread::WriteFailed));
        QCOMPARE(report.progress.size(), 0);
        QCOMPARE(report.finish.size(), 0);
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("x.txt"))));
    } else {
        QCOMPARE(report.finish.size(), 1);
        QCOMPARE(readFile(path(target + QStringLiteral("/x.txt"))), QByteArray("x"));
    }
    QCOMPARE(readFile(path(QStringLiteral("other/o.txt"))), QByteArray("o"));
    // Clearing the contents folder itself as the target stays allowed.
    QCOMPARE(QFileInfo::exists(path(QStringLiteral("contents/keep/k.txt"))), target != QLatin1String("contents"));
}

void ZipExtractionThreadTest::unreadableEntryStops_data()
{
    QTest::addColumn<bool>("encrypted");
    QTest::newRow("encrypted") << true;
    QTest::newRow("damaged data") << false;
}

void ZipExtractionThreadTest::unreadableEntryStops()
{
    QFETCH(bool, encrypted);
    const QByteArray payload = QByteArray("PAYLOAD-0123456789-").repeated(50);
    QList<Entry> entries{{QStringLiteral("ok.txt"), "fine", {}, -1},
                         {QStringLiteral("bad.txt"), payload, encrypted ? QByteArray("secret") : QByteArray(), 0},
                         {QStringLiteral("after.txt"), "after", {}, -1}};
    QVERIFY(makeZip(path(QStringLiteral("a.zip")), entries));
    if (!encrypted)
        QVERIFY(damage(path(QStringLiteral("a.zip")), QByteArray("PAYLOAD-0123456789-PAYLOAD")));

    ZipExtractionThread thread;
    Report report(&thread);
    QVERIFY(thread.start(path(QStringLiteral("a.zip")), path(QStringLiteral("out"))));
    QVERIFY(waitDone(thread));

    QCOMPARE(report.errorCode(), int(ZipExtractionThread::ReadFailed));
    QCOMPARE(report.finish.size(), 0);
    QCOMPARE(readFile(path(QStringLiteral("out/ok.txt"))), QByteArray("fine"));
    // No empty or partial file stands in for the unreadable entry.
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("out/bad.txt"))));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("out/after.txt"))));
}

QTEST_GUILESS_MAIN(ZipExtractionThreadTest)
#include "ZipExtractionThreadTest.moc"
