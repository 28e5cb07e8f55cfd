#pragma once

#include <QHash>
#include <QMimeDatabase>
#include <QMutex>
#include <QSharedPointer>
#include <QTemporaryFile>
#include <QWebEngineUrlRequestInterceptor>

// Directory mode: requests for local files that do not exist are forwarded
// to the same path below the content directory, and media files that begin
// with the media marker are served through temporary copies without it.
class ForwardRequestInterceptor : public QWebEngineUrlRequestInterceptor
{
    Q_OBJECT
public:
    explicit ForwardRequestInterceptor(const QString& baseDirectory);

    void interceptRequest(QWebEngineUrlRequestInfo& info) override;

    // The temporary copy for a marked media file: made on first request and
    // cached, so a later request for the same path gets the same copy. Null
    // for unmarked files and for the copies themselves.
    QSharedPointer<QTemporaryFile> temporaryCopyFor(const QString& path);

    // Copies a marked media file without its marker; null when the file has
    // no marker. Throws ArchiveException when the file cannot be read or the
    // copy cannot be written.
    static QSharedPointer<QTemporaryFile> makeTemporaryCopy(const QString& path);

private:
    QString m_baseDirectory;
    QMimeDatabase m_mimeDatabase;
    QHash<QString, QSharedPointer<QTemporaryFile>> m_temporaryCopies;
    QMutex m_cacheMutex;
};
