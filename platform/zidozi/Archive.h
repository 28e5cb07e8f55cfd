#pragma once

#include "Entry.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

class QIODevice;

namespace zidozi {

class VerifiedEntries;

// A zidozi archive opened for reading (format in FORMAT.md). Loading reads
// and checks the header and the whole index; afterwards the object is never
// changed, so find() and makeReadOnlyDevice() may be called from any number
// of threads at once. Every device opens its own handle on the archive file.
class Archive
{
public:
    enum Error {
        NoError = 0,
        OpenError = -201,    // the file cannot be opened or read
        FormatError = -202,  // not a zidozi archive
        VersionError = -203, // a version or flags this reader does not know
        CorruptError = -204, // damaged header or index, wrong file length
    };

    // Always returns a new archive, owned by the caller; isLoaded() tells
    // whether the file could be loaded. An archive that did not load holds
    // no entries.
    static Archive* makeAndLoad(const QString& path);
    virtual ~Archive();

    bool isLoaded() const { return m_error == NoError; }
    Error error() const { return m_error; }
    QString errorString() const { return m_errorString; }
    QString fileName() const { return m_path; }

    int entryCount() const { return int(m_records.size()); }
    // The entry at index position i (sorted by name), for listings.
    Entry entryAt(int i) const;

    // The entry stored under path (compared byte for byte on its UTF-8
    // form), or an invalid entry. A binary search over the index.
    Entry find(const QString& path) const;

    // A new device open for reading at the start of the entry's content, or
    // null for an invalid entry or when the archive file cannot be opened.
    // Owned by the caller; independent of the entry, of other devices and
    // of this archive object. It reports an error from read() when the
    // content turns out damaged, at the latest when it is read to its end.
    // An entry's CRC-32 is checked the first time a device of this archive
    // reads it to its end; later devices of the entry trust that check.
    QIODevice* makeReadOnlyDevice(const Entry& entry) const;

protected:
    explicit Archive(const QString& path);

private:
    struct Record {
        quint32 nameOffset;
        quint32 nameLength;
        quint64 dataOffset;
        quint64 storedSize;
        quint64 size;
        quint32 crc;
        quint8 method;
    };

    bool load();
    bool fail(Error error, const QString& message);
    Entry entryFor(size_t index) const;

    QString m_path;
    Error m_error = NoError;
    QString m_errorString;
    std::vector<Record> m_records;
    QByteArray m_names;
    std::shared_ptr<VerifiedEntries> m_verified;
};

} // namespace zidozi
