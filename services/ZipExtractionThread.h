#pragma once

#include <QString>
#include <QThread>
#include <atomic>

// Unpacks a whole zip archive into a directory on a thread of its own and
// reports progress, errors and the end through signals, which reach their
// receivers on the GUI thread by queued connections. One extraction at a
// time; the object is reused for the next one.
class ZipExtractionThread : public QThread
{
    Q_OBJECT
public:
    enum ExtractionError {
        NoError = 0,
        ArchiveNotFound = 1,
        // An entry cannot be read (encrypted, damaged): nothing of it is
        // left behind and the extraction stops.
        ReadFailed = 2,
        ArchiveNotOpened = 3,
        // A directory or output file cannot be created or written, an
        // entry's name climbs out of the target directory, or the target
        // lies above the kept directory.
        WriteFailed = 4,
        Aborted = 5
    };
    Q_ENUM(ExtractionError)

    // Entries are reported after entry 1, 51, 101, ...
    static constexpr int ProgressStep = 50;

    explicit ZipExtractionThread(QObject* parent = nullptr);
    // Stops a running extraction at its next entry and waits for it.
    ~ZipExtractionThread() override;

    // Stores both paths, clears the abort flag and starts the thread.
    // Returns false, changing nothing, while an extraction is running.
    // A target lying above keptDirectory (when given) is refused with
    // WriteFailed before anything is touched: clearing it would remove
    // keptDirectory.
    bool start(const QString& archivePath, const QString& targetPath, const QString& keptDirectory = QString());
    // Asks the running extraction to stop before its next entry; does not
    // wait. The flag stays set until the next start.
    void abort();

    QString archivePath() const;
    QString targetPath() const;

signals:
    void zipProgress(int total, int progress);
    void zipError(ZipExtractionThread::ExtractionError code);
    void zipFinish(QString path);
    void onAbort();

protected:
    void run() override;

private:
    QString m_targetPath;
    QString m_archivePath;
    QString m_keptDirectory;
    std::atomic<bool> m_abort{false};
};
