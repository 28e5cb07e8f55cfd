// FileDownloader against a real HTTP server on loopback.
#include "FileDownloader.h"
#include "TestHttpServer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <limits>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Records everything a downloader reports, in order, as short strings:
// "start 1000", "progress 1000/1000", "finish", "error 203", "abort".
class EventLog
{
public:
    explicit EventLog(IFileDownloader* downloader)
    {
        QObject::connect(downloader, &IFileDownloader::onStart, [this](int total) {
            events << QStringLiteral("start %1").arg(total);
        });
        QObject::connect(downloader, &IFileDownloader::onProgress, [this](int total, int progress) {
            progress_.append({total, progress});
        });
        QObject::connect(downloader, QOverload<QString>::of(&IFileDownloader::onFinish),
                         [this](const QString& path) {
                             events << QStringLiteral("finish");
                             finishedPath = path;
                         });
        QObject::connect(downloader, QOverload<QByteArray>::of(&IFileDownloader::onFinish),
                         [this](const QByteArray&) { events << QStringLiteral("finish in memory"); });
        QObject::connect(downloader, &IFileDownloader::onError, [this](QNetworkReply::NetworkError code) {
            events << QStringLiteral("error %1").arg(int(code));
        });
        QObject::connect(downloader, &IFileDownloader::onAbort, [this] { events << QStringLiteral("abort"); });
    }

    // The events without the progress reports.
    QStringList events;
    QList<QPair<int, int>> progress_;
    QString finishedPath;

    bool ended() const
    {
        return !events.isEmpty()
            && (events.last() == QLatin1String("finish") || events.last().startsWith(QLatin1String("error")));
    }
};

QStringList tempDownloads()
{
    // Temporary files are named after a braced UUID.
    return QDir::temp().entryList({QStringLiteral("{*-*-*-*-*}")}, QDir::Files);
}

} // namespace

class FileDownloaderTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void completeBody_data();
    void completeBody();
    void emptyBody();
    void httpErrorStatus();
    void connectionRefused();
    void abortWhileReceiving();
    void abortWhileIdle();
    void stalledBodyTimesOut();
    void replacedDownloadStaysSilent();
    void temporaryFileCannotBeOpened();
    void writeFailureIsAnError();
    void countsBeyondIntRange_data();
    void countsBeyondIntRange();

private:
    TestHttpServer m_server;
    QTemporaryDir m_tmp;
};

void FileDownloaderTest::initTestCase()
{
    QVERIFY(m_server.start());
    QVERIFY(m_tmp.isValid());
    // Keep this test's temporary files apart so leftovers can be counted.
    qputenv("TMPDIR", QFile::encodeName(m_tmp.path()));
}

void FileDownloaderTest::cleanup()
{
    // Every download either placed its file (the test took it) or removed it.
    QCOMPARE(tempDownloads(), QStringList());
}

void FileDownloaderTest::countsBeyondIntRange_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<int>("count");

    const int max = std::numeric_limits<int>::max();
    QTest::newRow("none") << qint64(0) << 0;
    QTest::newRow("small") << qint64(1000) << 1000;
    QTest::newRow("int maximum") << qint64(max) << max;
    QTest::newRow("2 GiB") << (qint64(1) << 31) << max;
    QTest::newRow("3 GiB") << 3 * (qint64(1) << 30) << max;
    QTest::newRow("5 GiB") << 5 * (qint64(1) << 30) << max; // would wrap to 1 GiB
}

void FileDownloaderTest::countsBeyondIntRange()
{
    QFETCH(qint64, bytes);
    QFETCH(int, count);
    QCOMPARE(FileDownloader::signalCount(bytes), count);
}

void FileDownloaderTest::completeBody_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("announced");

    QTest::newRow("small with length") << QStringLiteral("/file") << 1000 << 1000;
    QTest::newRow("3 MB with length") << QStringLiteral("/file") << 3000000 << 3000000;
    QTest::newRow("no length") << QStringLiteral("/nolength") << 1500000 << 0;
    QTest::newRow("chunked") << QStringLiteral("/chunked") << 1500000 << 0;
}

void FileDownloaderTest::completeBody()
{
    QFETCH(QString, path);
    QFETCH(int, size);
    QFETCH(int, announced);

    FileDownloader downloader;
    EventLog log(&downloader);
    downloader.download(m_server.url(path + QStringLiteral("?size=%1").arg(size)));
    QVERIFY(!downloader.isRunning()); // nothing has arrived yet
    QTRY_VERIFY_WITH_TIMEOUT(log.ended(), 30000);

    QCOMPARE(log.events, QStringList({QStringLiteral("start %1").arg(announced), QStringLiteral("finish")}));
    QVERIFY(!downloader.isRunning());

    // Progress counts the bytes in the file: rising, ending at the size.
    QVERIFY(!log.progress_.isEmpty());
    int last = 0;
    for (const auto& p : qAsConst(log.progress_)) {
        QCOMPARE(p.first, announced);
        QVERIFY(p.second > last);
        last = p.second;
    }
    QCOMPARE(last, size);
    if (size < 512000)
        QCOMPARE(log.progress_.size(), 1);

    QFileInfo placed(log.finishedPath);
    QCOMPARE(placed.absolutePath(), QDir::temp().absolutePath());
    QCOMPARE(placed.fileName().size(), 38);
    QFile file(log.finishedPath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll() == TestHttpServer::body(size));
    file.remove();
}

void FileDownloaderTest::emptyBody()
{
    FileDownloader downloader;
    EventLog log(&downloader);
    downloader.download(m_server.url(QStringLiteral("/file?size=0")));
    QTRY_VERIFY(log.ended());
    QCOMPARE(log.events, QStringList({QStringLiteral("finish")}));
    QVERIFY(log.progress_.isEmpty());
    QCOMPARE(QFileInfo(log.finishedPath).size(), 0);
    QFile::remove(log.finishedPath);
}

void FileDownloaderTest::httpErrorStatus()
{
    FileDownloader downloader;
    EventLog log(&downloader);
    downloader.download(m_server.url(QStringLiteral("/status/404")));
    QTRY_VERIFY(log.ended());
    // The error page's body may have been received first; it never
    // becomes a finished file.
    QCOMPARE(log.events.last(), QStringLiteral("error %1").arg(int(QNetworkReply::ContentNotFoundError)));
    QVERIFY(!log.events.contains(QStringLiteral("finish")));
    QVERIFY(!downloader.isRunning());

    // The downloader is idle again and takes the next download.
    EventLog next(&downloader);
    downloader.download(m_server.url(QStringLiteral("/file?size=10")));
    QTRY_VERIFY(next.ended());
    QCOMPARE(next.events.last(), QStringLiteral("finish"));
    QFile::remove(next.finishedPath);
}

void FileDownloaderTest::connectionRefused()
{
    FileDownloader downloader;
    EventLog log(&downloader);
    downloader.download(QUrl(QStringLiteral("http://127.0.0.1:1/nothing")));
    QTRY_VERIFY(log.ended());
    QCOMPARE(log.events, QStringList({QStringLiteral("error %1").arg(int(QNetworkReply::ConnectionRefusedError))}));
}

void FileDownloaderTest::abortWhileReceiving()
{
    FileDownloader downloader;
    EventLog log(&downloader);
    downloader.download(m_server.url(QStringLiteral("/slow?size=1000000&delay=50")));
    QTRY_VERIFY(downloader.isRunning());
    downloader.abort();
    // The cancellation is reported before abort() returns.
    QCOMPARE(log.events, QStringList({QStringLiteral("start 1000000"), QStringLiteral("abort"),
                                      QStringLiteral("error %1").arg(int(QNetworkReply::OperationCanceledError))}));
    QVERIFY(!downloader.isRunning());
    QTest::qWait(200); // nothing of the old reply arrives later
    QCOMPARE(log.events.size(), 3);
}

void FileDownloaderTest::abortWhileIdle()
{
    FileDownloader downloader;
    EventLog log(&downloader);
    downloader.abort();
    QCOMPARE(log.events, QStringList({QStringLiteral("abort")}));

    // After a finished download as well.
    downloader.download(m_server.url(QStringLiteral("/file?size=10")));
    QTRY_VERIFY(log.ended());
    QFile::remove(log.finishedPath);
    downloader.abort();
    QCOMPARE(log.events, QStringList({QStringLiteral("abort"), QStringLiteral("start 10"),
                                      QStringLiteral("finish"), QStringLiteral("abort")}));
}

void FileDownloaderTest::stalledBodyTimesOut()
{
    FileDownloader downloader;
    EventLog log(&downloader);
    downloader.download(m_server.url(QStringLiteral("/stall?size=200000")));
    QTRY_VERIFY(downloader.isRunning());
    QTRY_VERIFY_WITH_TIMEOUT(log.ended(), FileDownloader::TimeoutMs + 10000);
    QCOMPARE(log.events, QStringList({QStringLiteral("start 200000"), QStringLiteral("abort"),
                                      QStringLiteral("error %1").arg(int(QNetworkReply::TimeoutError))}));
    QVERIFY(!downloader.isRunning());
}

void FileDownloaderTest::replacedDownloadStaysSilent()
{
    FileDownloader downloader;
    EventLog log(&downloader);
    // The first request answers only after a while; the second replaces it
    // before any of its data arrived.
    downloader.download(m_server.url(QStringLiteral("/late?size=700&delay=800")));
    QTest::qWait(100);
    QVERIFY(!downloader.isRunning());
    downloader.download(m_server.url(QStringLiteral("/file?size=300")));
    QTRY_VERIFY(log.ended());
    QTest::qWait(1500); // past the time the first server answers

    QCOMPARE(log.events, QStringList({QStringLiteral("start 300"), QStringLiteral("finish")}));
    QCOMPARE(log.progress_, (QList<QPair<int, int>>{{300, 300}}));
    QFile file(log.finishedPath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll() == TestHttpServer::body(300));
    file.remove();
}

void FileDownloaderTest::temporaryFileCannotBeOpened()
{
    FileDownloader downloader;
    EventLog log(&downloader);

    // With every file descriptor the process may have in use taken, the
    // temporary file cannot be opened.
    struct rlimit saved;
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct rlimit limited = saved;
    limited.rlim_cur = 256;
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &limited), 0);
    QList<int> fillers;
    for (int fd = ::dup(0); fd >= 0; fd = ::dup(0))
        fillers << fd;
    downloader.download(m_server.url(QStringLiteral("/file?size=10")));
    for (int fd : qAsConst(fillers))
        ::close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);

    QCOMPARE(log.events, QStringList({QStringLiteral("error %1").arg(int(QNetworkReply::UnknownContentError))}));
    QVERIFY(!downloader.isRunning());
    QTest::qWait(200); // no request was sent, so nothing follows
    QCOMPARE(log.events.size(), 1);
}

void FileDownloaderTest::writeFailureIsAnError()
{
    // A file size limit makes writes fail the way a full disk does.
    struct rlimit saved;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = saved;
    limited.rlim_cur = 100000;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);

    FileDownloader downloader;
    EventLog log(&downloader);
    downloader.download(m_server.url(QStringLiteral("/file?size=2000000")));
    QTRY_VERIFY_WITH_TIMEOUT(log.ended(), 30000);

    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    QCOMPARE(log.events, QStringList({QStringLiteral("start 2000000"),
                                      QStringLiteral("error %1").arg(int(QNetworkReply::UnknownContentError))}));
    QVERIFY(!downloader.isRunning());
}

QTEST_GUILESS_MAIN(FileDownloaderTest)
#include "FileDownloaderTest.moc"
