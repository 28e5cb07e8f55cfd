#pragma once

#include "ArchiveAccessManager.h"
#include "ZipEntryDevice.h"

#include <QHash>
#include <QMutex>
#include <QVector>
#include <unzip.h>

class QuaZip;
class SettingsManager;

// Reader for zip content archives, with optionally encrypted entries.
//
// One zip handle stays open for the reader's life; the mutex guards its
// current-file position, which fileExists and readFile move. openFile takes
// no lock: every device it returns opens its own handle on the archive file,
// so devices are read independently of each other and of the locked
// operations. readFile calls openFile while holding the mutex, so openFile
// must never take it.
//
// The entry table, built once at construction and only read afterwards,
// holds what a device needs to go straight to an entry's data. Stored and
// deflated entries, plain or with traditional encryption, are read by
// ZipEntryDevice; anything else by the zip library (ZipEntryFile).
class ZipArchiveAccessManager : public ArchiveAccessManager
{
    Q_OBJECT
public:
    // Throws ArchiveException (zip library error code, empty message) when
    // the archive cannot be opened.
    explicit ZipArchiveAccessManager(const QString& archivePath);
    // The same, reading "encrypted" from settings instead of the process-wide
    // settings manager (tests and tools). settings must outlive the reader.
    ZipArchiveAccessManager(const QString& archivePath, SettingsManager* settings);
    ~ZipArchiveAccessManager() override;

    bool fileExists(const QString& path) override;
    // Throws ArchiveException "file not found:"+path for a missing entry,
    // and "cannot read file:"+path (zip library code) when the content does
    // not match its CRC or is otherwise damaged.
    QByteArray readFile(const QString& path) override;
    // Throws ArchiveException "cannot open file:"+path when the entry is
    // missing or cannot be opened: the zip library's code, or -110 when the
    // entry's encryption does not match the "encrypted" setting or the
    // password is wrong.
    QIODevice* openFile(const QString& path) override;

private:
    struct Entry {
        unz64_file_pos position{}; // in the central directory
        qint64 recordLength = 0;  // of the central directory record, 0 if unread
        ZipEntryDevice::Entry device; // headerOffset -1: read through the zip library
    };

    SettingsManager* settings() const;
    void findLocalHeaders(QVector<QPair<QString, Entry>>& entries);

    QuaZip* m_zip;
    QHash<QString, Entry> m_entries;
    SettingsManager* m_settings;
    QMutex m_mutex;
};
