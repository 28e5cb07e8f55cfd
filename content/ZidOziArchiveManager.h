#pragma once

#include "ArchiveAccessManager.h"

namespace zidozi {
class Archive;
}

// Reader for content archives in the zidozi format. It takes no lock: the
// library's const operations are safe to call from several threads at once,
// and every device has its own file handle. A missing entry is reported
// through the results only (false, null, empty), never by an exception.
class ZidOziArchiveManager : public ArchiveAccessManager
{
    Q_OBJECT
public:
    // Throws ArchiveException with the library's error code (-201 cannot
    // open, -202 not a zidozi archive, -203 unknown version, -204 damaged)
    // and an empty message when the archive does not load, so that no reader
    // ever holds an unusable archive.
    explicit ZidOziArchiveManager(const QString& archivePath);
    ~ZidOziArchiveManager() override;

    bool fileExists(const QString& path) override;
    // Empty for a missing entry, and also (logged) when the entry's content
    // turns out damaged while it is read.
    QByteArray readFile(const QString& path) override;
    QIODevice* openFile(const QString& path) override;

private:
    zidozi::Archive* m_archive;
};
