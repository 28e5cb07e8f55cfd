#include "ForwardRequestInterceptor.h"

#include "ArchiveException.h"
#include "ContentUrlRules.h"
#include "ServingLog.h"
#include "copyDevice.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QWebEngineUrlRequestInfo>

ForwardRequestInterceptor::ForwardRequestInterceptor(const QString& baseDirectory)
    : m_baseDirectory(baseDirectory)
{
}

void ForwardRequestInterceptor::interceptRequest(QWebEngineUrlRequestInfo& info)
{
    const QUrl url = info.requestUrl();
    // Only local files are forwarded; other schemes (qrc:, http:, data:)
    // would otherwise be sent to the content directory itself.
    if (!url.isLocalFile())
        return;
    const QString path = url.toLocalFile();

    // Exceptions must never reach the web engine's thread: a media file that
    // cannot be copied is left to load unchanged.
    try {
        if (path.startsWith(m_baseDirectory)) {
            const QString mimeName = m_mimeDatabase.mimeTypeForFile(path, QMimeDatabase::MatchExtension).name();
            if (!ContentUrlRules::isMediaMimeType(mimeName))
                return;
            const QSharedPointer<QTemporaryFile> copy = temporaryCopyFor(path);
            if (copy && !copy->fileName().isEmpty()) {
                QUrl target = QUrl::fromLocalFile(copy->fileName());
                if (url.hasQuery())
                    target.setQuery(url.query(QUrl::FullyEncoded), QUrl::StrictMode);
                if (url.hasFragment())
                    target.setFragment(url.fragment(QUrl::FullyEncoded), QUrl::StrictMode);
                info.redirect(target);
            }
            return;
        }
        if (QFileInfo::exists(path))
            return;
        info.redirect(ContentUrlRules::forwardedUrl(m_baseDirectory, path, url));
    } catch (const ArchiveException& e) {
        qCWarning(lcServing, "Media file '%s' served unchanged, code: %i, message: %s",
                  qUtf8Printable(path), int(e.code()), qUtf8Printable(e.message()));
    }
}

QSharedPointer<QTemporaryFile> ForwardRequestInterceptor::temporaryCopyFor(const QString& path)
{
    QMutexLocker lock(&m_cacheMutex);
    auto it = m_temporaryCopies.constFind(path);
    if (it != m_temporaryCopies.constEnd())
        return it.value();
    QSharedPointer<QTemporaryFile> copy;
    try {
        copy = makeTemporaryCopy(path);
    } catch (...) {
        // Remember the failure so the file is not read again on every request.
        m_temporaryCopies.insert(path, QSharedPointer<QTemporaryFile>());
        throw;
    }
    m_temporaryCopies.insert(path, copy);
    if (copy && !copy->fileName().isEmpty())
        m_temporaryCopies.insert(copy->fileName(), QSharedPointer<QTemporaryFile>());
    return copy;
}

QSharedPointer<QTemporaryFile> ForwardRequestInterceptor::makeTemporaryCopy(const QString& path)
{
    QFile media(path);
    if (!media.open(QIODevice::ReadOnly))
        throw ArchiveException(-101, QStringLiteral("File '") + path + QStringLiteral("' cannot be read"));
    const QByteArray marker = ContentUrlRules::mediaMarker();
    if (media.read(marker.size()) != marker) {
        media.seek(0);
        return QSharedPointer<QTemporaryFile>();
    }
    QSharedPointer<QTemporaryFile> copy(new QTemporaryFile(
        QDir::tempPath() + QStringLiteral("/XXXXXX-") + QFileInfo(path).fileName()));
    copy->setAutoRemove(true);
    if (copy->open()) {
        copyDevice(&media, copy.data(), 1048576);
        copy->close();
    }
    return copy;
}
