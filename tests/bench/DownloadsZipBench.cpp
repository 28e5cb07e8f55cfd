// Benchmark of file downloads and whole-archive extraction.
//
// Downloads: starts tests/support/http_test_server.py on loopback and
// fetches the same 256 MB body with `curl -s -o FILE` (the baseline) and
// with FileDownloader into its temporary file. Prints both throughputs,
// their ratio (ours / curl; 1.0 = as fast as curl), and our peak resident
// memory (VmHWM) before (after a 16 MB warm-up download) and after the
// download, against the file size.
//
// Extraction: builds a 5,000-entry archive of about 200 MB (half of each
// entry random, half text), then unpacks it with `unzip -q -o` into an
// empty directory (the baseline) and with ZipExtractionThread into another
// empty one. Prints both times and their ratio (ours / unzip; 1.0 = as
// fast as unzip). All files are on the same file system, with a warm page
// cache for both sides. Each measurement is the best of --rounds runs.
//
//   bench-downloads-zip [--rounds N] [--download-mb N] [--entries N] [--entry-kb N]

#include "FileDownloader.h"
#include "ZipExtractionThread.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <cstdio>
#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipnewinfo.h>

namespace {

qint64 peakResidentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

double seconds(const QElapsedTimer& timer)
{
    return timer.nsecsElapsed() / 1e9;
}

// Runs a program to its end; returns its wall time in seconds, or -1.
double timeProgram(const QString& program, const QStringList& args)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    QElapsedTimer timer;
    timer.start();
    process.start(program, args);
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return -1;
    return seconds(timer);
}

struct Server
{
    QProcess process;
    int port = 0;

    bool start()
    {
        const QString script = QStringLiteral(DAVERI_SOURCE_DIR "/tests/support/http_test_server.py");
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QStringLiteral("python3"), {script});
        if (!process.waitForStarted(10000))
            return false;
        while (!process.canReadLine()) {
            if (!process.waitForReadyRead(10000))
                return false;
        }
        port = process.readLine().trimmed().toInt();
        return port > 0;
    }

    ~Server()
    {
        process.kill();
        process.waitForFinished(5000);
    }
};

// One download with FileDownloader; returns seconds, or -1 on failure.
double timeOurDownload(const QUrl& url, qint64 expectedSize)
{
    FileDownloader downloader;
    QEventLoop loop;
    QString path;
    bool failed = false;
    QObject::connect(&downloader, QOverload<QString>::of(&IFileDownloader::onFinish), &loop,
                     [&](const QString& p) {
                         path = p;
                         loop.quit();
                     });
    QObject::connect(&downloader, &IFileDownloader::onError, &loop, [&](QNetworkReply::NetworkError code) {
        std::fprintf(stderr, "download error %d\n", int(code));
        failed = true;
        loop.quit();
    });
    QElapsedTimer timer;
    timer.start();
    downloader.download(url);
    loop.exec();
    const double elapsed = seconds(timer);
    const qint64 size = QFileInfo(path).size();
    QFile::remove(path);
    if (failed || size != expectedSize)
        return -1;
    return elapsed;
}

bool buildArchive(const QString& path, int entries, int entryBytes, qint64& totalBytes)
{
    QuaZip zip(path);
    if (!zip.open(QuaZip::mdCreate))
        return false;
    QRandomGenerator generator(42);
    const QByteArray text = QByteArray("The quick brown fox jumps over the lazy dog; lesson text and markup. ")
                                .repeated(entryBytes / 70 + 1);
    totalBytes = 0;
    for (int i = 0; i < entries; ++i) {
        QByteArray data(entryBytes, Qt::Uninitialized);
        const int randomPart = entryBytes / 2 / 4 * 4;
        generator.fillRange(reinterpret_cast<quint32*>(data.data()), randomPart / 4);
        memcpy(data.data() + randomPart, text.constData(), size_t(entryBytes - randomPart));
        QuaZipFile file(&zip);
        const QString name = QStringLiteral("unit%1/lesson%2/file%3.bin").arg(i % 10).arg(i % 97).arg(i);
        if (!file.open(QIODevice::WriteOnly, QuaZipNewInfo(name)) || file.write(data) != data.size())
            return false;
        file.close();
        totalBytes += data.size();
    }
    zip.close();
    return zip.getZipError() == ZIP_OK;
}

double timeOurExtraction(const QString& archive, const QString& target)
{
    ZipExtractionThread thread;
    bool ok = false;
    QObject::connect(&thread, &ZipExtractionThread::zipFinish, [&ok](const QString&) { ok = true; });
    QElapsedTimer timer;
    timer.start();
    thread.start(archive, target);
    thread.wait();
    const double elapsed = seconds(timer);
    QCoreApplication::processEvents();
    return ok ? elapsed : -1;
}

int intOption(const QStringList& args, const QString& name, int fallback)
{
    const int at = args.indexOf(name);
    return at >= 0 && at + 1 < args.size() ? args.at(at + 1).toInt() : fallback;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int rounds = qMax(1, intOption(args, QStringLiteral("--rounds"), 3));
    const qint64 downloadBytes = qint64(intOption(args, QStringLiteral("--download-mb"), 256)) * 1024 * 1024;
    const int entries = intOption(args, QStringLiteral("--entries"), 5000);
    const int entryBytes = intOption(args, QStringLiteral("--entry-kb"), 40) * 1000;

    QTemporaryDir work;
    if (!work.isValid())
        return 1;
    // Our temporary download files go here too, beside curl's output.
    qputenv("TMPDIR", QFile::encodeName(work.path()));

    // --- downloads ---
    Server server;
    if (!server.start()) {
        std::fprintf(stderr, "cannot start the HTTP server\n");
        return 1;
    }
    const QString url = QStringLiteral("http://127.0.0.1:%1/file?size=%2").arg(server.port).arg(downloadBytes);
    // A small download first, so that the network stack's own set-up is
    // in the "before" figure and the growth is what the file size costs.
    const QString warmUrl = QStringLiteral("http://127.0.0.1:%1/file?size=%2").arg(server.port).arg(16 << 20);
    if (timeOurDownload(QUrl(warmUrl), 16 << 20) < 0)
        return 1;
    const qint64 hwmBefore = peakResidentKb();
    double curlBest = 1e9;
    double oursBest = 1e9;
    for (int round = 0; round < rounds; ++round) {
        const QString curlOut = work.filePath(QStringLiteral("curl.bin"));
        const double curl = timeProgram(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-o"), curlOut, url});
        QFile::remove(curlOut);
        const double ours = timeOurDownload(QUrl(url), downloadBytes);
        if (curl < 0 || ours < 0) {
            std::fprintf(stderr, "download failed (curl %.3f, ours %.3f)\n", curl, ours);
            return 1;
        }
        curlBest = qMin(curlBest, curl);
        oursBest = qMin(oursBest, ours);
    }
    const qint64 hwmAfter = peakResidentKb();
    const double mb = downloadBytes / 1048576.0;
    std::printf("download %.0f MB over loopback, best of %d:\n", mb, rounds);
    std::printf("  curl            %8.3f s  %8.1f MB/s\n", curlBest, mb / curlBest);
    std::printf("  FileDownloader  %8.3f s  %8.1f MB/s\n", oursBest, mb / oursBest);
    std::printf("  throughput ratio (ours / curl): %.2f\n", curlBest / oursBest);
    std::printf("  peak resident memory: %.1f MB before, %.1f MB after (growth %.1f MB for a %.0f MB file)\n",
                hwmBefore / 1024.0, hwmAfter / 1024.0, (hwmAfter - hwmBefore) / 1024.0, mb);

    // --- extraction ---
    const QString archive = work.filePath(QStringLiteral("bench.zip"));
    qint64 unpackedBytes = 0;
    if (!buildArchive(archive, entries, entryBytes, unpackedBytes)) {
        std::fprintf(stderr, "cannot build the archive\n");
        return 1;
    }
    double unzipBest = 1e9;
    double extractBest = 1e9;
    for (int round = 0; round < rounds; ++round) {
        const QString unzipDir = work.filePath(QStringLiteral("unzip%1").arg(round));
        const QString oursDir = work.filePath(QStringLiteral("ours%1").arg(round));
        QDir().mkpath(unzipDir);
        const double unzip = timeProgram(QStringLiteral("unzip"),
                                         {QStringLiteral("-q"), QStringLiteral("-o"), archive, QStringLiteral("-d"), unzipDir});
        const double ours = timeOurExtraction(archive, oursDir);
        QDir(unzipDir).removeRecursively();
        QDir(oursDir).removeRecursively();
        if (unzip < 0 || ours < 0) {
            std::fprintf(stderr, "extraction failed (unzip %.3f, ours %.3f)\n", unzip, ours);
            return 1;
        }
        unzipBest = qMin(unzipBest, unzip);
        extractBest = qMin(extractBest, ours);
    }
    std::printf("extract %d entries, %.0f MB unpacked (archive %.0f MB), best of %d:\n", entries,
                unpackedBytes / 1e6, QFileInfo(archive).size() / 1e6, rounds);
    std::printf("  unzip -q -o          %8.3f s\n", unzipBest);
    std::printf("  ZipExtractionThread  %8.3f s\n", extractBest);
    std::printf("  time ratio (ours / unzip): %.2f\n", extractBest / unzipBest);
    return 0;
}
