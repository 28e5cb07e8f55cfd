#pragma once

#include "Entry.h"

#include <QFile>
#include <QIODevice>
#include <memory>

struct z_stream_s;

namespace zidozi {

class VerifiedEntries;

// Read-only device over one entry of a zidozi archive, with its own handle on
// the archive file. Stored entries are read straight from the file; deflated
// entries are inflated as they are read, a chunk at a time, so memory use
// does not grow with the entry. Seeking is supported (backwards in a
// deflated entry restarts the stream).
//
// The CRC-32 is computed over the content read from its start; when that
// reaches the end and does not match, the last read fails with -1 and
// errorString() says so. A match marks the entry verified for its archive,
// and devices opened on a verified entry do not compute the CRC again. A damaged deflate stream or a content of the wrong
// length fails likewise, when it shows.
//
// The device opens unbuffered: position and content are exactly what this
// class keeps, and large reads go straight into the caller's buffer.
class EntryDevice : public QIODevice
{
    Q_OBJECT
public:
    // verified: the archive's flags, or null to check the CRC on every read.
    EntryDevice(const QString& archivePath, const Entry& entry, std::shared_ptr<VerifiedEntries> verified,
                QObject* parent = nullptr);
    ~EntryDevice() override;

    bool open(OpenMode mode) override;
    void close() override;
    bool isSequential() const override { return false; }
    qint64 size() const override { return qint64(m_entry.m_size); }
    bool seek(qint64 pos) override;

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 size) override;

private:
    bool rewind();
    qint64 readStored(char* data, qint64 maxSize);
    qint64 readDeflated(char* data, qint64 maxSize);
    bool checkStreamEnds();
    qint64 failWith(const QString& message);

    Entry m_entry;
    std::shared_ptr<VerifiedEntries> m_verified;
    bool m_checkCrc = true;
    QFile m_file;
    std::unique_ptr<z_stream_s> m_stream;
    bool m_streamEnded = false;
    QByteArray m_input;
    quint64 m_storedRead = 0; // bytes of the stored form taken from the file
    quint64 m_pos = 0;        // position in the content
    quint32 m_crc = 0;        // CRC-32 of content bytes [0, m_crcPos)
    quint64 m_crcPos = 0;
    bool m_failed = false;
};

} // namespace zidozi
