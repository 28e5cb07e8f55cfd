// The download commands of the dispatcher and the relay of the downloader's
// signals into page events. The context of the current download lives in
// dynamic properties of the downloader: "uuid", "file_name", "file_path",
// "last_progress_bytes" and "abort_uuid".
#include "JSInterface.h"

#include "PathsManager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <limits>

namespace {

// Progress goes to the page once per this many bytes, and when the count
// reaches the announced total.
constexpr int ProgressStepBytes = 512000;

const char* const UuidProperty = "uuid";
const char* const FileNameProperty = "file_name";
const char* const FilePathProperty = "file_path";
const char* const LastProgressProperty = "last_progress_bytes";
const char* const AbortUuidProperty = "abort_uuid";

} // namespace

void JSInterface::connectDownloadsAndZip()
{
    m_downloader = new FileDownloader();
    connect(m_downloader, &IFileDownloader::onStart, this, &JSInterface::_fileDownloadStart);
    connect(m_downloader, &IFileDownloader::onError, this, &JSInterface::_fileDownloadError);
    connect(m_downloader, QOverload<QString>::of(&IFileDownloader::onFinish), this,
            QOverload<QString>::of(&JSInterface::_fileDownloadFinish));
    connect(m_downloader, QOverload<QByteArray>::of(&IFileDownloader::onFinish), this,
            QOverload<QByteArray>::of(&JSInterface::_fileDownloadFinish));
    connect(m_downloader, &IFileDownloader::onProgress, this, &JSInterface::_fileDownloadProgress);
    connect(m_downloader, &IFileDownloader::onAbort, this, &JSInterface::_fileDownloadAbort);

    // Emitted on the extraction thread, delivered here queued.
    connect(&m_extractionThread, &ZipExtractionThread::zipError, this, &JSInterface::_zipError);
    connect(&m_extractionThread, &ZipExtractionThread::zipProgress, this, &JSInterface::_zipProgress);
    connect(&m_extractionThread, &ZipExtractionThread::zipFinish, this, &JSInterface::_zipFinish);
    connect(&m_extractionThread, &ZipExtractionThread::onAbort, this, &JSInterface::_zipAbort);

    connect(&m_zip, &Zip::invokeJSCall, this, &JSInterface::onInvokeJSCall);
}

void JSInterface::destroyDownloadsAndZip()
{
    delete m_downloader;
    m_downloader = nullptr;
    // A running extraction stops at its next entry; its last signals are
    // dropped with this object's pending events.
    m_extractionThread.abort();
    m_extractionThread.wait();
}

QVariantMap JSInterface::downloadContext(const QString& uuidProperty) const
{
    QVariantMap data;
    data.insert(QStringLiteral("uuid"), m_downloader->property(uuidProperty.toLatin1().constData()).toString());
    data.insert(QStringLiteral("file_name"), m_downloader->property(FileNameProperty).toString());
    data.insert(QStringLiteral("file_path"), m_downloader->property(FilePathProperty).toString());
    return data;
}

void JSInterface::downloadFile(QString uuid, QString url, QString relFilePath, QString fileName)
{
    if (m_downloader->isRunning()) {
        QVariantMap data;
        data.insert(QStringLiteral("uuid"), uuid);
        data.insert(QStringLiteral("file_name"), fileName);
        data.insert(QStringLiteral("file_path"), relFilePath);
        data.insert(QStringLiteral("code"), 601);
        emitEvent(QStringLiteral("fileDownloadError"), data);
        return;
    }
    m_downloader->setProperty(LastProgressProperty, 0);
    m_downloader->setProperty(UuidProperty, uuid);
    m_downloader->setProperty(FileNameProperty, fileName);
    m_downloader->setProperty(FilePathProperty, relFilePath);
    m_downloader->download(QUrl(url, QUrl::TolerantMode));
}

void JSInterface::abortDownloadFile(QString uuid)
{
    m_downloader->setProperty(AbortUuidProperty, uuid);
    m_downloader->abort();
}

void JSInterface::_fileDownloadStart(int total)
{
    QVariantMap data = downloadContext(QLatin1String(UuidProperty));
    data.insert(QStringLiteral("total"), total);
    data.insert(QStringLiteral("progress"), 0);
    emitEvent(QStringLiteral("fileDownloadStart"), data);
}

void JSInterface::_fileDownloadProgress(int total, int progress)
{
    // Differences of counts near the int limit need the wider type. Counts
    // of files above 2 GiB stay at the int maximum: once that is reported,
    // repeating it tells the page nothing.
    const qint64 last = m_downloader->property(LastProgressProperty).toLongLong();
    const bool reachesTotal = progress == total && !(progress == std::numeric_limits<int>::max() && last == progress);
    if (!reachesTotal && qint64(progress) - last < ProgressStepBytes)
        return;
    QVariantMap data = downloadContext(QLatin1String(UuidProperty));
    data.insert(QStringLiteral("total"), total);
    data.insert(QStringLiteral("progress"), progress);
    emitEvent(QStringLiteral("fileDownloadProgress"), data);
    m_downloader->setProperty(LastProgressProperty, progress);
}

QString JSInterface::prepareDownloadTarget() const
{
    const QString contents = contentsPath();
    const QString targetDir = contents + m_downloader->property(FilePathProperty).toString();
    if (!QDir(contents).exists())
        QDir().mkpath(contents);
    if (!QDir(targetDir).exists())
        QDir().mkpath(targetDir);
    const QString target = targetDir + QLatin1Char('/') + m_downloader->property(FileNameProperty).toString();
    if (QFileInfo::exists(target) || QFileInfo(target).isSymLink())
        QFile::remove(target);
    return target;
}

void JSInterface::emitDownloadPlaced(bool placed)
{
    QVariantMap data = downloadContext(QLatin1String(UuidProperty));
    if (!placed) {
        data.insert(QStringLiteral("code"), 602);
        emitEvent(QStringLiteral("fileDownloadError"), data);
        return;
    }
    const QString target = contentsPath() + m_downloader->property(FilePathProperty).toString()
        + QLatin1Char('/') + m_downloader->property(FileNameProperty).toString();
    data.insert(QStringLiteral("downloaded_path"),
                QLatin1Char('/') + QDir(contentsPath()).relativeFilePath(target));
    emitEvent(QStringLiteral("fileDownloadFinish"), data);
}

void JSInterface::_fileDownloadFinish(QString filePath)
{
    const QString target = prepareDownloadTarget();
    // A rename where it can; across file systems QFile copies and removes.
    emitDownloadPlaced(QFile::rename(filePath, target));
}

void JSInterface::_fileDownloadFinish(QByteArray data)
{
    QFile target(prepareDownloadTarget());
    bool placed = target.open(QIODevice::ReadWrite);
    if (placed) {
        placed = target.write(data) == data.size() && target.flush();
        target.close();
        if (!placed)
            target.remove();
    }
    emitDownloadPlaced(placed);
}

void JSInterface::_fileDownloadError(QNetworkReply::NetworkError code)
{
    QVariantMap data = downloadContext(QLatin1String(UuidProperty));
    data.insert(QStringLiteral("code"), int(code));
    emitEvent(QStringLiteral("fileDownloadError"), data);
}

void JSInterface::_fileDownloadAbort()
{
    emitEvent(QStringLiteral("fileDownloadAbort"), downloadContext(QLatin1String(AbortUuidProperty)));
}
