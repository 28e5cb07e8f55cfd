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
    void archiveErrors_data();
    void archiveErrors();
    void backslashNames();
    void existingSubdirectoriesRemoved();
    void linkedSubdirectoryIsNotFollowed();
    void entryLeavingTarget_data();
    void entryLeavingTarget();
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

void ZipExtractionThreadTest::archiveErrors_data()
{
    QTest::addColumn<QByteArray>("archiveBytes"); // empty: no archive file at all
    QTest::addColumn<int>("code");

    QTest::newRow("missing") << QByteArray() << int(ZipExtractionThread::ArchiveNotFound);
    QTest::newRow("not a zip") << QByteArray("this is plain text, not a zip archive")
                               << int(ZipExtractionThread::ArchiveNotOpened);
    QTest::newRow("truncated") << QByteArray("PK\x03\x04\x14\x00\x00\x00", 8)
                               << int(ZipExtractionThread::ArchiveNotOpened);
}

void ZipExtractionThreadTest::archiveErrors()
{
    QFETCH(QByteArray, archiveBytes);
    QFETCH(int, code);
    if (!archiveBytes.isEmpty())
        QVERIFY(writeFile(path(QStringLiteral("a.zip")), archiveBytes));

    ZipExtractionThread thread;
    Report report(&thread);
    QVERIFY(thread.start(path(QStringLiteral("a.zip")), path(QStringLiteral("out/deep"))));
    QVERIFY(waitDone(thread));
    QCOMPARE(report.error.size(), 1);
    QCOMPARE(report.errorCode(), code);
    QCOMPARE(report.progress.size(), 0);
    QCOMPARE(report.finish.size(), 0);
    QVERIFY(QFileInfo(path(QStringLiteral("out/deep"))).isDir()); // made before the archive is looked at
}

void ZipExtractionThreadTest::backslashNames()
{
    QVERIFY(makeZip(path(QStringLiteral("a.zip")),
                    QList<QPair<QString, QByteArray>>{{QStringLiteral("win\\sub\\file.txt"), "windows"}}));
    ZipExtractionThread thread;
    Report report(&thread);
    QVERIFY(thread.start(path(QStringLiteral("a.zip")), path(QStringLiteral("out"))));
    QVERIFY(waitDone(thread));
    QCOMPARE(report.finish.size(), 1);
    QCOMPARE(readFile(path(QStringLiteral("out/win/sub/file.txt"))), QByteArray("windows"));
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
    QTest::addColumn<bool>("allowed");

    QTest::newRow("parent") << QStringLiteral("../evil.txt") << false;
    QTest::newRow("deep climb") << QStringLiteral("a/../../evil.txt") << false;
    QTest::newRow("backslash climb") << QStringLiteral("..\\evil.txt") << false;
    QTest::newRow("absolute") << QStringLiteral("/tmp/evil.txt") << false;
    QTest::newRow("drive letter") << QStringLiteral("C:/evil.txt") << false;
    QTest::newRow("climbing directory") << QStringLiteral("../evildir/") << false;
    QTest::newRow("down and up again") << QStringLiteral("a/../evil.txt") << true;
}

void ZipExtractionThreadTest::entryLeavingTarget()
{
    QFETCH(QString, name);
    QFETCH(bool, allowed);

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
    if (allowed) {
        QCOMPARE(report.finish.size(), 1);
        QCOMPARE(readFile(path(QStringLiteral("t/out/evil.txt"))), QByteArray("evil"));
    } else {
        QCOMPARE(report.errorCode(), int(ZipExtractionThread::WriteFailed));
        QCOMPARE(report.finish.size(), 0);
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("t/out/last.txt"))));
        QCOMPARE(QDir(path(QStringLiteral("t/out"))).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("first.txt")});
    }
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
