#include "ZipHandler.h"

#include "ArchiveAccessManager.h"
#include "ArchiveException.h"
#include "ItemCopier.h"
#include "ServingGuard.h"

#include <QBuffer>
#include <QDataStream>
#include "ServingLog.h"
#include <QUuid>
#include <QWebEngineUrlRequestJob>



ZipHandler::ZipHandler(ServingGuard* guard)
    : m_guard(guard)
{
}

void ZipHandler::requestStarted(QWebEngineUrlRequestJob* job)
{
    const QUrl url = job->requestUrl();
    if (url.scheme() != QLatin1String("dazuzo"))
        return;
    const QString fullPath = url.path(QUrl::FullyDecoded);
    const QString entryPath = fullPath.mid(1);

    bool exists = false;
    {
        QReadLocker lock(m_guard->lock());
        exists = m_guard->archive() && m_guard->archive()->fileExists(entryPath);
    }
    if (!exists) {
        job->fail(QWebEngineUrlRequestJob::UrlNotFound);
        return;
    }

    const QString mimeName = m_mimeDatabase.mimeTypeForFile(entryPath, QMimeDatabase::MatchExtension).name();
    if (mimeName.startsWith(QLatin1String("audio"), Qt::CaseInsensitive)
        || mimeName.startsWith(QLatin1String("video"), Qt::CaseInsensitive)) {
        redirectToTemporaryCopy(job, fullPath);
    } else {
        replyWithEntry(job, entryPath, mimeName);
    }
}

void ZipHandler::replyWithEntry(QWebEngineUrlRequestJob* job, const QString& entryPath, const QString& mimeName)
{
    QIODevice* device = nullptr;
    try {
        QReadLocker lock(m_guard->lock());
        if (m_guard->archive())
            device = m_guard->archive()->openFile(entryPath);
    } catch (const ArchiveException& e) {
        // A damaged entry or a wrong password fails this request only.
        qCWarning(lcServing, "Cannot open archive entry '%s', code: %i, message: %s",
                  qUtf8Printable(entryPath), int(e.code()), qUtf8Printable(e.message()));
        job->fail(QWebEngineUrlRequestJob::RequestFailed);
        return;
    }
    if (!device) {
        auto* buffer = new QBuffer();
        buffer->open(QIODevice::ReadOnly);
        device = buffer;
    }

    auto* stream = new QDataStream(device);
    job->setProperty("stream", QVariant::fromValue(static_cast<void*>(stream)));
    connect(job, &QObject::destroyed, this, &BaseHandler::cleanStream);
    connect(job, &QObject::destroyed, device, &QObject::deleteLater);
    job->reply(mimeName.toLocal8Bit(), stream->device());
}

void ZipHandler::redirectToTemporaryCopy(QWebEngineUrlRequestJob* job, const QString& path)
{
    const QString name = QUuid::createUuid().toString(QUuid::WithoutBraces);
    QVariantMap result;
    int code = -1;
    try {
        QReadLocker lock(m_guard->lock());
        if (m_guard->copier())
            code = m_guard->copier()->copyItem(path, path, name, QStringLiteral("temporary"),
                                               QStringLiteral("temporary"), result);
    } catch (const ArchiveException& e) {
        qCWarning(lcServing, "Cannot copy media entry '%s', code: %i, message: %s",
                  qUtf8Printable(path), int(e.code()), qUtf8Printable(e.message()));
        code = e.code();
    }
    if (code == 0) {
        job->redirect(QUrl::fromLocalFile(result.value(QStringLiteral("filepath")).toString()));
        return;
    }
    qCWarning(lcServing, "Media entry '%s' could not be copied (code %i)", qUtf8Printable(path), code);
    job->fail(QWebEngineUrlRequestJob::UrlNotFound);
}
