// The dispatcher's download and zip commands: the page events they produce,
// against a real loopback HTTP server and real zip files.
#include "JSInterface.h"
#include "PathsManager.h"
#include "TestHttpServer.h"
#include "ZipFixtures.h"

#include <QDir>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QtTest>
#include <limits>

using namespace ZipFixtures;

namespace {

using Event = QPair<QString, QVariantMap>;

QVariantMap fields(std::initializer_list<std::pair<const char*, QVariant>> list)
{
    QVariantMap map;
    for (const auto& f : list)
        map.insert(QString::fromLatin1(f.first), f.second);
    return map;
}

} // namespace

class DownloadsZipTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void smallDownloadPlacedUnderContents();
    void progressThrottle_data();
    void progressThrottle();
    void progressThrottleNearIntLimit_data();
    void progressThrottleNearIntLimit();
    void downloadErrorStatus();
    void abortByThePage();
    void abortWhileIdle();
    void secondDownloadRefused();
    void targetCannotBeReplaced();

    void unzipProgressAndFinish_data();
    void unzipProgressAndFinish();
    void unzipRefusedWhileRunning();
    void unzipAbortedByThePage();
    void unzipErrors_data();
    void unzipErrors();
    void entryCommandsAnswerLater();
    void destructionWhileWorking();

private:
    QList<Event> eventsNamed(const QString& prefix) const;
    bool waitFor(const QString& name, int timeout = 30000);

    TestHttpServer m_server;
    QScopedPointer<QTemporaryDir> m_tmp;
    QScopedPointer<QTemporaryDir> m_dir;
    QString m_contents;
    QScopedPointer<JSInterface> m_dispatcher;
    QList<Event> m_events;
};

void DownloadsZipTest::initTestCase()
{
    QVERIFY(m_server.start());
    // Downloads' temporary files go to a folder of this test's own, where
    // leftovers can be seen.
    m_tmp.reset(new QTemporaryDir);
    QVERIFY(m_tmp->isValid());
    qputenv("TMPDIR", QFile::encodeName(m_tmp->path()));
}

void DownloadsZipTest::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    // Contents do not exist yet: the first placed file creates them.
    m_contents = m_dir->filePath(QStringLiteral("contents"));
    PathsManager::instance()->set(QStringLiteral("contentsPath"), m_contents);
    m_events.clear();
    m_dispatcher.reset(new JSInterface(nullptr, nullptr));
    connect(m_dispatcher.data(), &JSInterface::invokeJSCall, this,
            [this](QString name, QVariantMap& data) { m_events.append({name, data}); });
}

void DownloadsZipTest::cleanup()
{
    m_dispatcher.reset();
}

QList<Event> DownloadsZipTest::eventsNamed(const QString& prefix) const
{
    QList<Event> list;
    for (const Event& e : m_events) {
        if (e.first.startsWith(prefix))
            list.append(e);
    }
    return list;
}

bool DownloadsZipTest::waitFor(const QString& name, int timeout)
{
    return QTest::qWaitFor(
        [&] {
            for (const Event& e : qAsConst(m_events)) {
                if (e.first == name)
                    return true;
            }
            return false;
        },
        timeout);
}

void DownloadsZipTest::smallDownloadPlacedUnderContents()
{
    m_dispatcher->downloadFile(QStringLiteral("d1"), m_server.url(QStringLiteral("/file?size=1000")).toString(),
                               QStringLiteral("/books"), QStringLiteral("a.pdf"));
    QVERIFY(m_events.isEmpty()); // nothing until data arrive
    QVERIFY(waitFor(QStringLiteral("fileDownloadFinish")));

    const QVariantMap context = fields({{"uuid", QStringLiteral("d1")}, {"file_name", QStringLiteral("a.pdf")},
                                        {"file_path", QStringLiteral("/books")}});
    QVariantMap start = context;
    start.insert(QStringLiteral("total"), 1000);
    start.insert(QStringLiteral("progress"), 0);
    QVariantMap progress = context;
    progress.insert(QStringLiteral("total"), 1000);
    progress.insert(QStringLiteral("progress"), 1000);
    QVariantMap finish = context;
    finish.insert(QStringLiteral("downloaded_path"), QStringLiteral("/books/a.pdf"));
    QCOMPARE(m_events, (QList<Event>{{QStringLiteral("fileDownloadStart"), start},
                                     {QStringLiteral("fileDownloadProgress"), progress},
                                     {QStringLiteral("fileDownloadFinish"), finish}}));
    QCOMPARE(readFile(m_contents + QStringLiteral("/books/a.pdf")), TestHttpServer::body(1000));
}

void DownloadsZipTest::progressThrottle_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("total");

    QTest::newRow("with length") << QStringLiteral("/file") << 3000000 << 3000000;
    QTest::newRow("no length") << QStringLiteral("/nolength") << 3000000 << 0;
    QTest::newRow("chunked") << QStringLiteral("/chunked") << 1600000 << 0;
}

void DownloadsZipTest::progressThrottle()
{
    QFETCH(QString, path);
    QFETCH(int, size);
    QFETCH(int, total);

    m_dispatcher->downloadFile(QStringLiteral("d"), m_server.url(path + QStringLiteral("?size=%1").arg(size)).toString(),
                               QString(), QStringLiteral("big.bin"));
    QVERIFY(waitFor(QStringLiteral("fileDownloadFinish")));

    const QList<Event> progress = eventsNamed(QStringLiteral("fileDownloadProgress"));
    QVERIFY(!progress.isEmpty());
    int last = 0;
    for (int i = 0; i < progress.size(); ++i) {
        const int bytes = progress.at(i).second.value(QStringLiteral("progress")).toInt();
        QCOMPARE(progress.at(i).second.value(QStringLiteral("total")).toInt(), total);
        const bool reachesTotal = total > 0 && bytes == total;
        if (!reachesTotal)
            QVERIFY2(bytes - last >= 512000, qPrintable(QStringLiteral("step %1 -> %2").arg(last).arg(bytes)));
        last = bytes;
    }
    if (total > 0)
        QCOMPARE(last, total);
    else
        QVERIFY(last <= size && size - last < 512000 + 65536 * 4);
    QCOMPARE(eventsNamed(QStringLiteral("fileDownloadFinish")).first().second.value(QStringLiteral("downloaded_path")).toString(),
             QStringLiteral("/big.bin"));
    QCOMPARE(QFileInfo(m_contents + QStringLiteral("/big.bin")).size(), qint64(size));
}

void DownloadsZipTest::progressThrottleNearIntLimit_data()
{
    QTest::addColumn<int>("total");
    QTest::addColumn<QList<int>>("reported"); // by the downloader, in order
    QTest::addColumn<QList<int>>("sent");     // to the page

    const int max = std::numeric_limits<int>::max();
    // Counts of files above 2 GiB stay at the int maximum: reported once.
    QTest::newRow("held at the maximum") << max << QList<int>{max - 1000000, max, max, max} << QList<int>{max - 1000000, max};
    // A count that went round to a negative value is no step forward.
    QTest::newRow("wrapped count") << 0 << QList<int>{2000000000, -2000000000} << QList<int>{2000000000};
}

void DownloadsZipTest::progressThrottleNearIntLimit()
{
    QFETCH(int, total);
    QFETCH(QList<int>, reported);
    QFETCH(QList<int>, sent);
    for (int progress : reported)
        emit m_dispatcher->downloader()->onProgress(total, progress);
    QList<int> seen;
    for (const Event& e : eventsNamed(QStringLiteral("fileDownloadProgress"))) {
        QCOMPARE(e.second.value(QStringLiteral("total")).toInt(), total);
        seen.append(e.second.value(QStringLiteral("progress")).toInt());
    }
    QCOMPARE(seen, sent);
}

void DownloadsZipTest::downloadErrorStatus()
{
    m_dispatcher->downloadFile(QStringLiteral("d"), m_server.url(QStringLiteral("/status/404")).toString(),
                               QStringLiteral("/x"), QStringLiteral("y"));
    QVERIFY(waitFor(QStringLiteral("fileDownloadError")));
    QCOMPARE(m_events.last(), Event(QStringLiteral("fileDownloadError"),
                                    fields({{"uuid", QStringLiteral("d")}, {"file_name", QStringLiteral("y")},
                                            {"file_path", QStringLiteral("/x")}, {"code", 203}})));
    QVERIFY(eventsNamed(QStringLiteral("fileDownloadFinish")).isEmpty());
    QVERIFY(!QFileInfo::exists(m_contents + QStringLiteral("/x/y")));
}

void DownloadsZipTest::abortByThePage()
{
    m_dispatcher->downloadFile(QStringLiteral("d"), m_server.url(QStringLiteral("/slow?size=1000000&delay=50")).toString(),
                               QStringLiteral("/s"), QStringLiteral("slow.bin"));
    QVERIFY(waitFor(QStringLiteral("fileDownloadStart")));
    m_events.clear();
    m_dispatcher->abortDownloadFile(QStringLiteral("ab"));
    const QVariantMap names = fields({{"file_name", QStringLiteral("slow.bin")}, {"file_path", QStringLiteral("/s")}});
    QVariantMap abort = names;
    abort.insert(QStringLiteral("uuid"), QStringLiteral("ab"));
    QVariantMap error = names;
    error.insert(QStringLiteral("uuid"), QStringLiteral("d"));
    error.insert(QStringLiteral("code"), 5);
    QCOMPARE(m_events, (QList<Event>{{QStringLiteral("fileDownloadAbort"), abort},
                                     {QStringLiteral("fileDownloadError"), error}}));
    QVERIFY(!QFileInfo::exists(m_contents + QStringLiteral("/s/slow.bin")));
}

void DownloadsZipTest::abortWhileIdle()
{
    m_dispatcher->abortDownloadFile(QStringLiteral("a1"));
    QCOMPARE(m_events, (QList<Event>{{QStringLiteral("fileDownloadAbort"),
                                      fields({{"uuid", QStringLiteral("a1")}, {"file_name", QString()},
                                              {"file_path", QString()}})}}));

    m_dispatcher->downloadFile(QStringLiteral("d"), m_server.url(QStringLiteral("/file?size=10")).toString(),
                               QStringLiteral("/p"), QStringLiteral("n.txt"));
    QVERIFY(waitFor(QStringLiteral("fileDownloadFinish")));
    m_events.clear();
    m_dispatcher->abortDownloadFile(QStringLiteral("a2"));
    QCOMPARE(m_events, (QList<Event>{{QStringLiteral("fileDownloadAbort"),
                                      fields({{"uuid", QStringLiteral("a2")}, {"file_name", QStringLiteral("n.txt")},
                                              {"file_path", QStringLiteral("/p")}})}}));
    QCOMPARE(readFile(m_contents + QStringLiteral("/p/n.txt")), TestHttpServer::body(10));
}

void DownloadsZipTest::secondDownloadRefused()
{
    QVERIFY(QDir().mkpath(m_contents));
    QVERIFY(writeFile(m_contents + QStringLiteral("/first.bin"), "an older file at the target"));
    m_dispatcher->downloadFile(QStringLiteral("first"), m_server.url(QStringLiteral("/slow?size=40000&delay=20")).toString(),
                               QString(), QStringLiteral("first.bin"));
    QVERIFY(waitFor(QStringLiteral("fileDownloadStart")));
    m_dispatcher->downloadFile(QStringLiteral("second"), m_server.url(QStringLiteral("/file?size=10")).toString(),
                               QStringLiteral("/other"), QStringLiteral("second.bin"));
    QCOMPARE(m_events.last(), Event(QStringLiteral("fileDownloadError"),
                                    fields({{"uuid", QStringLiteral("second")}, {"file_name", QStringLiteral("second.bin")},
                                            {"file_path", QStringLiteral("/other")}, {"code", 601}})));
    QVERIFY(waitFor(QStringLiteral("fileDownloadFinish")));
    const Event finish = eventsNamed(QStringLiteral("fileDownloadFinish")).first();
    QCOMPARE(finish.second.value(QStringLiteral("uuid")).toString(), QStringLiteral("first"));
    // The running download went on untouched and replaced the old file.
    QCOMPARE(readFile(m_contents + QStringLiteral("/first.bin")), TestHttpServer::body(40000));
    QVERIFY(!QFileInfo::exists(m_contents + QStringLiteral("/other")));
}

void DownloadsZipTest::targetCannotBeReplaced()
{
    // A non-empty directory where the file should go cannot be removed.
    QVERIFY(QDir().mkpath(m_contents + QStringLiteral("/t/taken.bin/inside")));
    m_dispatcher->downloadFile(QStringLiteral("d"), m_server.url(QStringLiteral("/file?size=10")).toString(),
                               QStringLiteral("/t"), QStringLiteral("taken.bin"));
    QVERIFY(waitFor(QStringLiteral("fileDownloadError")));
    QCOMPARE(m_events.last(), Event(QStringLiteral("fileDownloadError"),
                                    fields({{"uuid", QStringLiteral("d")}, {"file_name", QStringLiteral("taken.bin")},
                                            {"file_path", QStringLiteral("/t")}, {"code", 602}})));
    QVERIFY(QFileInfo(m_contents + QStringLiteral("/t/taken.bin/inside")).isDir());
    // The complete download stays in its temporary file.
    const QStringList kept = QDir::temp().entryList({QStringLiteral("{*-*-*-*-*}")}, QDir::Files);
    QCOMPARE(kept.size(), 1);
    QCOMPARE(readFile(QDir::temp().filePath(kept.first())), TestHttpServer::body(10));
    QVERIFY(QDir::temp().remove(kept.first()));
}

void DownloadsZipTest::unzipProgressAndFinish_data()
{
    QTest::addColumn<QString>("archive");
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("entries");
    QTest::addColumn<QList<int>>("progress");
    QTest::addColumn<QString>("extractedPath");

    QTest::newRow("120 entries") << QStringLiteral("/zips/a.zip") << QStringLiteral("/units/u1") << 120
                                 << QList<int>{0, 1, 51, 101, 120} << QStringLiteral("/units/u1");
    // "/" and the target relative to the contents directory, which is ".".
    QTest::newRow("into the contents directory") << QStringLiteral("/a.zip") << QString() << 2 << QList<int>{0, 1, 2}
                                                 << QStringLiteral("/.");
    QTest::newRow("empty archive") << QStringLiteral("/zips/a.zip") << QStringLiteral("/units/u1") << 0
                                   << QList<int>{0, 0} << QStringLiteral("/units/u1");
}

void DownloadsZipTest::unzipProgressAndFinish()
{
    QFETCH(QString, archive);
    QFETCH(QString, target);
    QFETCH(int, entries);
    QFETCH(QList<int>, progress);
    QFETCH(QString, extractedPath);

    QVERIFY(QDir().mkpath(m_contents + QStringLiteral("/zips")));
    QList<Entry> list;
    for (int i = 0; i < entries; ++i)
        list.append({QStringLiteral("f%1.txt").arg(i), QByteArray::number(i), {}, -1});
    QVERIFY(makeZip(m_contents + archive, list));

    m_dispatcher->archiveUnzip(QStringLiteral("u"), archive, target);
    QVERIFY(waitFor(QStringLiteral("archiveUnzipFinish")));

    const QVariantMap context = fields({{"uuid", QStringLiteral("u")}, {"file_path", archive}, {"target_path", target}});
    QList<Event> expected;
    for (int step : progress) {
        QVariantMap data = context;
        data.insert(QStringLiteral("total"), entries);
        data.insert(QStringLiteral("progress"), step);
        expected.append({QStringLiteral("archiveUnzipProgress"), data});
    }
    QVariantMap finish = context;
    finish.insert(QStringLiteral("extracted_path"), extractedPath);
    expected.append({QStringLiteral("archiveUnzipFinish"), finish});
    QCOMPARE(m_events, expected);
    if (entries > 0)
        QCOMPARE(readFile(m_contents + target + QStringLiteral("/f%1.txt").arg(entries - 1)), QByteArray::number(entries - 1));
}

void DownloadsZipTest::unzipRefusedWhileRunning()
{
    QVERIFY(QDir().mkpath(m_contents));
    QVERIFY(makeZip(m_contents + QStringLiteral("/a.zip"), QList<QPair<QString, QByteArray>>{{QStringLiteral("x"), "x"}}));
    // Hold the worker after its first entry so the extraction is surely
    // running when the second command arrives.
    QSemaphore proceed;
    connect(m_dispatcher->extractionThread(), &ZipExtractionThread::zipProgress, m_dispatcher->extractionThread(),
            [&proceed, held = false](int, int progress) mutable {
                if (progress == 1 && !held) {
                    held = true;
                    proceed.acquire();
                }
            },
            Qt::DirectConnection);
    m_dispatcher->archiveUnzip(QStringLiteral("u1"), QStringLiteral("/a.zip"), QStringLiteral("/one"));
    m_dispatcher->archiveUnzip(QStringLiteral("u2"), QStringLiteral("/b.zip"), QStringLiteral("/two"));
    QCOMPARE(m_events.last(), Event(QStringLiteral("archiveUnzipError"),
                                    fields({{"uuid", QStringLiteral("u2")}, {"file_path", QStringLiteral("/b.zip")},
                                            {"target_path", QStringLiteral("/two")}, {"code", 603}})));
    proceed.release();
    QVERIFY(waitFor(QStringLiteral("archiveUnzipFinish")));
    QCOMPARE(eventsNamed(QStringLiteral("archiveUnzipFinish")).first().second.value(QStringLiteral("uuid")).toString(),
             QStringLiteral("u1"));
    QCOMPARE(eventsNamed(QStringLiteral("archiveUnzipError")).size(), 1);
}

void DownloadsZipTest::unzipAbortedByThePage()
{
    QVERIFY(QDir().mkpath(m_contents));
    QList<QPair<QString, QByteArray>> entries;
    for (int i = 0; i < 10; ++i)
        entries.append({QStringLiteral("f%1.txt").arg(i), "x"});
    QVERIFY(makeZip(m_contents + QStringLiteral("/a.zip"), entries));
    QSemaphore proceed;
    connect(m_dispatcher->extractionThread(), &ZipExtractionThread::zipProgress, m_dispatcher->extractionThread(),
            [&proceed, held = false](int, int progress) mutable {
                if (progress == 1 && !held) {
                    held = true;
                    proceed.acquire();
                }
            },
            Qt::DirectConnection);
    m_dispatcher->archiveUnzip(QStringLiteral("u"), QStringLiteral("/a.zip"), QStringLiteral("/out"));
    m_dispatcher->abortArchiveUnzip(QStringLiteral("stop"));
    proceed.release();
    QVERIFY(waitFor(QStringLiteral("archiveUnzipError")));
    QTest::qWait(50);

    const QVariantMap names = fields({{"file_path", QStringLiteral("/a.zip")}, {"target_path", QStringLiteral("/out")}});
    QVariantMap abort = names;
    abort.insert(QStringLiteral("uuid"), QStringLiteral("stop"));
    QVariantMap error = names;
    error.insert(QStringLiteral("uuid"), QStringLiteral("u"));
    error.insert(QStringLiteral("code"), 5);
    const QList<Event> tail = m_events.mid(m_events.size() - 2);
    QCOMPARE(tail, (QList<Event>{{QStringLiteral("archiveUnzipAbort"), abort},
                                 {QStringLiteral("archiveUnzipError"), error}}));
    QVERIFY(eventsNamed(QStringLiteral("archiveUnzipFinish")).isEmpty());
}

void DownloadsZipTest::unzipErrors_data()
{
    QTest::addColumn<QString>("archive"); // made under contents when not "/none.zip"
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("code");

    QTest::newRow("missing archive") << QStringLiteral("/none.zip") << QStringLiteral("/out") << 1;
    // Clearing a target above the contents directory would remove it.
    QTest::newRow("target above contents") << QStringLiteral("/a.zip") << QStringLiteral("/..") << 4;
}

void DownloadsZipTest::unzipErrors()
{
    QFETCH(QString, archive);
    QFETCH(QString, target);
    QFETCH(int, code);
    QVERIFY(QDir().mkpath(m_contents + QStringLiteral("/keep")));
    if (archive != QLatin1String("/none.zip"))
        QVERIFY(makeZip(m_contents + archive, QList<QPair<QString, QByteArray>>{{QStringLiteral("x"), "x"}}));

    m_dispatcher->archiveUnzip(QStringLiteral("u"), archive, target);
    QVERIFY(waitFor(QStringLiteral("archiveUnzipError")));
    QCOMPARE(m_events, (QList<Event>{{QStringLiteral("archiveUnzipError"),
                                      fields({{"uuid", QStringLiteral("u")}, {"file_path", archive},
                                              {"target_path", target}, {"code", code}})}}));
    QVERIFY(QFileInfo(m_contents + QStringLiteral("/keep")).isDir());
}

void DownloadsZipTest::entryCommandsAnswerLater()
{
    QVERIFY(QDir().mkpath(m_contents));
    const QString archive = m_contents + QStringLiteral("/a.zip");
    QVERIFY(makeZip(archive, QList<QPair<QString, QByteArray>>{{QStringLiteral("e.txt"), "entry"}}));

    m_dispatcher->zipListContents(QStringLiteral("l"), archive);
    m_dispatcher->zipExtractFiles(QStringLiteral("x"), archive,
                                  QVariantMap{{QStringLiteral("k"), fields({{"source", QStringLiteral("e.txt")},
                                                                            {"target", QStringLiteral("out/e.txt")}})}});
    QVERIFY(m_events.isEmpty()); // the pool answers after the call returned
    QTRY_COMPARE(m_events.size(), 2);
    QMap<QString, Event> byUuid;
    for (const Event& e : qAsConst(m_events))
        byUuid.insert(e.second.value(QStringLiteral("uuid")).toString(), e);
    QCOMPARE(byUuid.value(QStringLiteral("l")).first, QStringLiteral("zipListContentsDone"));
    QCOMPARE(byUuid.value(QStringLiteral("l")).second.value(QStringLiteral("data")).toList().size(), 1);
    QCOMPARE(byUuid.value(QStringLiteral("x")).first, QStringLiteral("zipListContentsDone"));
    QCOMPARE(byUuid.value(QStringLiteral("x")).second.value(QStringLiteral("k")).toMap().value(QStringLiteral("path")).toString(),
             QDir(m_contents).absoluteFilePath(QStringLiteral("out/e.txt")));
}

void DownloadsZipTest::destructionWhileWorking()
{
    // Commands still queued on the pool, an extraction and a download in
    // flight: destroying the dispatcher waits for or stops them all.
    QVERIFY(QDir().mkpath(m_contents));
    QList<QPair<QString, QByteArray>> entries;
    for (int i = 0; i < 2000; ++i)
        entries.append({QStringLiteral("d/f%1.txt").arg(i), QByteArray(1000, 'x')});
    QVERIFY(makeZip(m_contents + QStringLiteral("/big.zip"), entries));
    m_dispatcher->archiveUnzip(QStringLiteral("u"), QStringLiteral("/big.zip"), QStringLiteral("/out"));
    m_dispatcher->downloadFile(QStringLiteral("d"), m_server.url(QStringLiteral("/slow?size=100000&delay=50")).toString(),
                               QString(), QStringLiteral("s.bin"));
    for (int i = 0; i < 40; ++i)
        m_dispatcher->zipAddFiles(QStringLiteral("z%1").arg(i), m_contents + QStringLiteral("/z%1.zip").arg(i),
                                  QStringLiteral("create"),
                                  QVariantMap{{QStringLiteral("k"), fields({{"path", QStringLiteral("p")},
                                                                            {"data", QByteArray(100000, 'p')}})}});
    m_dispatcher.reset();
    QTest::qWait(100); // nothing arrives from destroyed objects
    const QStringList leftovers = QDir::temp().entryList({QStringLiteral("{*-*-*-*-*}")}, QDir::Files);
    QCOMPARE(leftovers, QStringList());
}

QTEST_GUILESS_MAIN(DownloadsZipTest)
#include "DownloadsZipTest.moc"
