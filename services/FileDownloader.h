#pragma once

#include "IFileDownloader.h"

#include <QList>
#include <QSslError>
#include <QTimer>

class QFile;
class QNetworkAccessManager;

// Fetches a URL into a temporary file in the system temporary directory,
// writing each received chunk at once so memory use stays flat. A download
// with no data for 12 s ends with the time-out code. Lives and reports on
// the thread that owns it (the GUI thread in the shell).
class FileDownloader : public IFileDownloader
{
    Q_OBJECT
public:
    static constexpr int TimeoutMs = 12000;
    static constexpr qint64 ReadBufferBytes = 4 * 1024 * 1024;

    explicit FileDownloader(QObject* parent = nullptr);
    ~FileDownloader() override;

    // A byte count as the signals carry it: counts beyond the int range
    // stay at its maximum instead of wrapping to negative values.
    static int signalCount(qint64 bytes);

    void download(const QUrl& url) override;
    bool isRunning() const override;
    void abort() override;

private slots:
    void onNetworkError(QNetworkReply::NetworkError code);
    void onReadyRead();
    void onFinished();
    void onTimeout();
    void sslErrors(const QList<QSslError>& sslErrors);

private:
    // Stops the current reply from reporting here and lets it go: the
    // reply is aborted when still in flight and deleted later.
    void dropReply();
    // Closes the temporary file and removes it from disk: what is left of
    // a download that did not finish is of no use to anyone.
    void discardOutputFile();

    QNetworkAccessManager* m_manager;
    QNetworkReply* m_reply = nullptr;
    QFile* m_outputFile = nullptr;
    QString m_outputFilePath;
    QTimer m_timer;
    bool m_running = false;
    bool m_timedOut = false;
};
