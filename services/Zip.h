#pragma once

#include <QMutex>
#include <QObject>
#include <QString>
#include <QVariantMap>
#include <QWaitCondition>
#include <QtConcurrent>

class QuaZip;

// The entry-level zip commands. Each command runs on a thread of the
// global thread pool (the dispatcher starts it with QtConcurrent::run),
// opens its own archive handle, and answers with invokeJSCall from that
// thread. Commands share no state; several on one archive are not
// coordinated.
class Zip : public QObject
{
    Q_OBJECT
public:
    // Shell codes carried in "code" besides the zip library's own.
    enum Code {
        Ok = 0,
        InvalidArgument = -102,
        SourceUnreadable = -104,
        EntryFailed = -1000
    };

    // The largest entry or source file a command reads into memory; larger
    // ones fail their item (a byte array holds less than 2 GiB).
    static constexpr qint64 MaxContentBytes = qint64(1) << 30;

    explicit Zip(QObject* parent = nullptr);
    // Waits for commands still running on the pool, so that none of them
    // emits from a destroyed object.
    ~Zip() override;

    void zipAddFiles(QString uuid, QString archivePath, QString mode, QVariantMap files);
    void zipReadFiles(QString uuid, QString archivePath, QVariantMap filesPaths);
    void zipCompressDirectory(QString uuid, QString archivePath, QString dirPath);
    void zipListContents(QString uuid, QString archivePath);
    void zipExtractFiles(QString uuid, QString archivePath, QVariantMap paths);

    // True when the file is a zip archive without entries that holds
    // nothing but its end record. The zip library cannot open such an
    // archive (it looks for that record after the first byte only).
    static bool isEmptyArchive(const QString& path);

    // Reads the entry called name of an open archive into buffer. Returns
    // 0, EntryFailed when the entry cannot be found or opened or is larger
    // than MaxContentBytes, or the library's error code when reading or its
    // checksum fails (buffer is then emptied).
    static int readEntry(QuaZip& zip, const QString& name, QByteArray& buffer);

    // Runs a command on the global thread pool with copies of the
    // arguments, without waiting. The command counts as running from this
    // call on, so the destructor also waits for commands still queued.
    template <typename... Params, typename... Args>
    void runOnPool(void (Zip::*command)(Params...), Args... args)
    {
        hold();
        QtConcurrent::run([this, command, args...] {
            (this->*command)(args...);
            release();
        });
    }

signals:
    void invokeJSCall(QString functionName, QVariantMap params);

private:
    class Running;
    void hold();
    void release();

    QMutex m_mutex;
    QWaitCondition m_idle;
    int m_running = 0;
};
