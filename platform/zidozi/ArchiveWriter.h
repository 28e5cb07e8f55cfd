#pragma once

#include "Entry.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <vector>

namespace zidozi {

// Writes a zidozi archive (FORMAT.md): open(), add entries in any order,
// finish(). Entry content is streamed from its source, so an entry of any
// size takes a fixed amount of memory. On any failure the call returns false,
// errorString() says why and the output file is removed.
class ArchiveWriter
{
public:
    explicit ArchiveWriter(const QString& path);
    ~ArchiveWriter();

    ArchiveWriter(const ArchiveWriter&) = delete;
    ArchiveWriter& operator=(const ArchiveWriter&) = delete;

    bool open();
    // Adds the content of device (open for reading) under name.
    bool addDevice(const QString& name, QIODevice* device, Entry::Method method);
    bool addFile(const QString& name, const QString& sourcePath, Entry::Method method);
    bool addData(const QString& name, const QByteArray& data, Entry::Method method);
    // Writes the index and the header; the archive is complete afterwards.
    bool finish();

    QString errorString() const { return m_errorString; }

private:
    struct Pending {
        QByteArray name;
        quint64 dataOffset;
        quint64 storedSize;
        quint64 size;
        quint32 crc;
        quint8 method;
    };

    bool fail(const QString& message);
    bool write(const char* data, qint64 size);

    QFile m_file;
    QString m_errorString;
    std::vector<Pending> m_entries;
    bool m_failed = false;
    bool m_finished = false;
};

} // namespace zidozi
