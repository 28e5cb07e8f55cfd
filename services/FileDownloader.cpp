#include "FileDownloader.h"

#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QUuid>
#include <limits>

namespace {
Q_LOGGING_CATEGORY(lcDownload, "services.download")
}

FileDownloader::FileDownloader(QObject* parent)
    : IFileDownloader(parent)
    , m_manager(new QNetworkAccessManager(this))
{
    m_timer.setInterval(TimeoutMs);
    m_timer.setSingleShot(false);
    connect(&m_timer, &QTimer::timeout, this, &FileDownloader::onTimeout);
}

FileDownloader::~FileDownloader()
{
    m_timer.stop();
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        delete m_reply;
        m_reply = nullptr;
    }
    discardOutputFile();
}

int FileDownloader::signalCount(qint64 bytes)
{
    return int(qBound<qint64>(0, bytes, std::numeric_limits<int>::max()));
}

bool FileDownloader::isRunning() const
{
    return m_running;
}

void FileDownloader::download(const QUrl& url)
{
    // A download that is replaced before its first data must never report
    // into this one: silence its reply and throw away its file.
    dropReply();
    discardOutputFile();
    m_running = false;
    m_timedOut = false;

    m_outputFilePath = QDir(QDir::tempPath()).absoluteFilePath(QUuid::createUuid().toString());
    m_outputFile = new QFile(m_outputFilePath);
    if (!m_outputFile->open(QIODevice::ReadWrite | QIODevice::Truncate | QIODevice::Unbuffered)) {
        qCWarning(lcDownload) << "cannot open temporary file" << m_outputFilePath
                              << m_outputFile->errorString();
        m_timer.stop();
        m_running = false;
        delete m_outputFile;
        m_outputFile = nullptr;
        emit onError(QNetworkReply::UnknownContentError);
        return;
    }

    m_reply = m_manager->get(QNetworkRequest(url));
    // Bounds what the network layer holds for us: when the disk is slower
    // than the network, reading from the socket pauses instead of the
    // body piling up in memory.
    m_reply->setReadBufferSize(ReadBufferBytes);
    connect(m_reply, &QNetworkReply::errorOccurred, this, &FileDownloader::onNetworkError);
    connect(m_reply, &QNetworkReply::readyRead, this, &FileDownloader::onReadyRead);
    connect(m_reply, &QNetworkReply::finished, this, &FileDownloader::onFinished);
    connect(m_reply, &QNetworkReply::sslErrors, this, &FileDownloader::sslErrors);
    m_timer.start(TimeoutMs);
}

void FileDownloader::abort()
{
    m_timer.stop();
    if (m_reply) {
        // The reply reports the cancellation (code 5) and its end before
        // abort() returns; onNetworkError turns that into onAbort/onError.
        m_reply->abort();
        return;
    }
    discardOutputFile();
    emit onAbort();
}

void FileDownloader::onReadyRead()
{
    if (!m_reply)
        return;
    m_timer.start(TimeoutMs);
    const int total = signalCount(m_reply->header(QNetworkRequest::ContentLengthHeader).toLongLong());
    if (!m_running) {
        m_running = true;
        emit onStart(total);
    }
    if (!m_outputFile || !m_reply)
        return;
    const QByteArray chunk = m_reply->readAll();
    if (m_outputFile->write(chunk) != chunk.size()) {
        // A full disk must not end as a finished, truncated file.
        qCWarning(lcDownload) << "cannot write temporary file" << m_outputFilePath
                              << m_outputFile->errorString();
        m_timer.stop();
        m_running = false;
        dropReply();
        discardOutputFile();
        emit onError(QNetworkReply::UnknownContentError);
        return;
    }
    emit onProgress(total, signalCount(m_outputFile->pos()));
}

void FileDownloader::onFinished()
{
    m_timer.stop();
    m_running = false;
    // Release the reply before telling anyone: a listener may start the
    // next download from its slot.
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->deleteLater();
        m_reply = nullptr;
    }
    if (m_outputFile) {
        bool flushed = m_outputFile->flush();
        delete m_outputFile;
        m_outputFile = nullptr;
        if (!flushed) {
            QFile::remove(m_outputFilePath);
            emit onError(QNetworkReply::UnknownContentError);
            return;
        }
        emit onFinish(m_outputFilePath);
    }
}

void FileDownloader::onNetworkError(QNetworkReply::NetworkError code)
{
    m_timer.stop();
    m_running = false;
    discardOutputFile();
    if (code == QNetworkReply::OperationCanceledError)
        emit onAbort();
    if (!m_timedOut || code == QNetworkReply::TimeoutError)
        emit onError(code);
}

void FileDownloader::onTimeout()
{
    qCInfo(lcDownload) << "no data for" << TimeoutMs << "ms, ending the download";
    m_timedOut = true;
    if (m_reply) {
        // Reports code 5 and the reply's end synchronously: onAbort goes
        // out, the code 5 error is held back by the flag.
        m_reply->abort();
    }
    dropReply();
    m_timer.stop();
    m_running = false;
    discardOutputFile();
    emit onError(QNetworkReply::TimeoutError);
}

void FileDownloader::sslErrors(const QList<QSslError>& sslErrors)
{
    for (const QSslError& error : sslErrors)
        qCDebug(lcDownload) << "TLS error:" << error.errorString();
}

void FileDownloader::dropReply()
{
    if (!m_reply)
        return;
    QNetworkReply* reply = m_reply;
    m_reply = nullptr;
    reply->disconnect(this);
    reply->abort();
    reply->deleteLater();
}

void FileDownloader::discardOutputFile()
{
    if (!m_outputFile)
        return;
    delete m_outputFile;
    m_outputFile = nullptr;
    QFile::remove(m_outputFilePath);
}
