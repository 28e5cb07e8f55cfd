#pragma once

#include <QByteArray>
#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <QUrl>

// A downloader fetches one URL at a time and reports its life through
// signals. The dispatcher drives it and turns the signals into page events.
class IFileDownloader : public QObject
{
    Q_OBJECT
public:
    explicit IFileDownloader(QObject* parent = nullptr);
    ~IFileDownloader() override;

    // Starts fetching url; a download that has not yet received data is
    // replaced.
    virtual void download(const QUrl& url) = 0;
    // True from the first received data until the download ends.
    virtual bool isRunning() const = 0;
    // Cancels the download; always ends with onAbort().
    virtual void abort() = 0;

signals:
    void onStart(int total);
    void onProgress(int total, int progress);
    // For downloaders that deliver in memory.
    void onFinish(QByteArray data);
    void onFinish(QString filePath);
    void onError(QNetworkReply::NetworkError code);
    void onAbort();
};
