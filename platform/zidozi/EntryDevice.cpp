#include "EntryDevice.h"

#include "ZipCrc32.h"

#include "VerifiedEntries.h"

#include <zlib.h>

namespace zidozi {

namespace {
constexpr int kInputChunk = 256 * 1024;
}

EntryDevice::EntryDevice(const QString& archivePath, const Entry& entry,
                         std::shared_ptr<VerifiedEntries> verified, QObject* parent)
    : QIODevice(parent)
    , m_entry(entry)
    , m_verified(std::move(verified))
    , m_file(archivePath)
{
}

EntryDevice::~EntryDevice()
{
    EntryDevice::close();
}

bool EntryDevice::open(OpenMode mode)
{
    if ((mode & ReadWrite) != ReadOnly) {
        setErrorString(QStringLiteral("zidozi entries are read-only"));
        return false;
    }
    if (!m_file.open(QIODevice::ReadOnly)) {
        setErrorString(m_file.errorString());
        return false;
    }
    if (m_entry.m_method == Entry::Deflated) {
        m_stream.reset(new z_stream);
        m_stream->zalloc = Z_NULL;
        m_stream->zfree = Z_NULL;
        m_stream->opaque = Z_NULL;
        m_stream->next_in = Z_NULL;
        m_stream->avail_in = 0;
        if (inflateInit2(m_stream.get(), -MAX_WBITS) != Z_OK) {
            m_stream.reset();
            m_file.close();
            setErrorString(QStringLiteral("cannot start inflating"));
            return false;
        }
        m_input.resize(kInputChunk);
    }
    if (!rewind()) {
        close();
        return false;
    }
    return QIODevice::open(mode | Unbuffered);
}

void EntryDevice::close()
{
    if (m_stream) {
        inflateEnd(m_stream.get());
        m_stream.reset();
    }
    m_file.close();
    if (isOpen())
        QIODevice::close();
}

bool EntryDevice::rewind()
{
    if (!m_file.seek(qint64(m_entry.m_dataOffset))) {
        setErrorString(m_file.errorString());
        return false;
    }
    if (m_stream) {
        inflateReset(m_stream.get());
        m_stream->avail_in = 0;
        m_stream->next_in = Z_NULL;
    }
    m_streamEnded = false;
    m_storedRead = 0;
    m_pos = 0;
    m_crc = quint32(crc32(0L, Z_NULL, 0));
    m_crcPos = 0;
    m_checkCrc = !(m_verified && m_verified->isVerified(m_entry.m_index));
    m_failed = false;
    return true;
}

bool EntryDevice::seek(qint64 pos)
{
    if (!isOpen() || pos < 0)
        return false;
    const quint64 target = quint64(pos);
    if (m_entry.m_method == Entry::Stored) {
        if (target > m_entry.m_size || !m_file.seek(qint64(m_entry.m_dataOffset + target)))
            return false;
        m_pos = target;
        m_storedRead = target;
    } else {
        if (target > m_entry.m_size)
            return false;
        if (target < m_pos && !rewind())
            return false;
        // Inflate up to the target; the skipped bytes still feed the CRC.
        char scratch[16384];
        while (m_pos < target) {
            const qint64 step = qint64(qMin<quint64>(sizeof(scratch), target - m_pos));
            if (readData(scratch, step) <= 0)
                return false;
        }
    }
    return QIODevice::seek(pos);
}

qint64 EntryDevice::failWith(const QString& message)
{
    m_failed = true;
    setErrorString(message);
    return -1;
}

qint64 EntryDevice::readData(char* data, qint64 maxSize)
{
    if (m_failed)
        return -1;
    const quint64 remaining = m_entry.m_size - m_pos;
    if (remaining == 0 || maxSize <= 0)
        return 0;
    const qint64 wanted = qint64(qMin<quint64>(quint64(maxSize), remaining));
    const qint64 got = m_entry.m_method == Entry::Stored ? readStored(data, wanted)
                                                         : readDeflated(data, wanted);
    if (got <= 0)
        return got < 0 ? -1 : failWith(QStringLiteral("unexpected end of archive data"));

    if (m_checkCrc && m_crcPos == m_pos) {
        m_crc = zipCrc32(m_crc, data, got);
        m_crcPos += quint64(got);
    }
    m_pos += quint64(got);

    if (m_pos == m_entry.m_size) {
        if (m_entry.m_method == Entry::Deflated && !checkStreamEnds())
            return -1;
        if (m_checkCrc && m_crcPos == m_pos) {
            if (m_crc != m_entry.m_crc)
                return failWith(QStringLiteral("checksum mismatch in entry %1")
                                    .arg(QString::fromUtf8(m_entry.m_name)));
            if (m_verified)
                m_verified->setVerified(m_entry.m_index);
        }
    }
    return got;
}

qint64 EntryDevice::readStored(char* data, qint64 maxSize)
{
    const qint64 got = m_file.read(data, maxSize);
    if (got < 0)
        return failWith(m_file.errorString());
    m_storedRead += quint64(got);
    return got;
}

qint64 EntryDevice::readDeflated(char* data, qint64 maxSize)
{
    z_stream* zs = m_stream.get();
    qint64 produced = 0;
    while (produced < maxSize) {
        if (m_streamEnded)
            return failWith(QStringLiteral("entry %1 is shorter than recorded")
                                .arg(QString::fromUtf8(m_entry.m_name)));
        if (zs->avail_in == 0 && m_storedRead < m_entry.m_storedSize) {
            const qint64 chunk = qint64(qMin<quint64>(quint64(m_input.size()), m_entry.m_storedSize - m_storedRead));
            const qint64 got = m_file.read(m_input.data(), chunk);
            if (got <= 0)
                return failWith(got < 0 ? m_file.errorString() : QStringLiteral("unexpected end of archive data"));
            m_storedRead += quint64(got);
            zs->next_in = reinterpret_cast<Bytef*>(m_input.data());
            zs->avail_in = uInt(got);
        }
        const uInt room = uInt(qMin<qint64>(maxSize - produced, 1 << 30));
        zs->next_out = reinterpret_cast<Bytef*>(data + produced);
        zs->avail_out = room;
        const int rc = inflate(zs, Z_NO_FLUSH);
        produced += qint64(room - zs->avail_out);
        if (rc == Z_STREAM_END) {
            m_streamEnded = true;
        } else if (rc == Z_BUF_ERROR) {
            // No progress possible: the stored form is used up mid-stream.
            if (zs->avail_in == 0 && m_storedRead >= m_entry.m_storedSize)
                return failWith(QStringLiteral("entry %1 is truncated").arg(QString::fromUtf8(m_entry.m_name)));
        } else if (rc != Z_OK) {
            return failWith(QStringLiteral("entry %1 is damaged (%2)")
                                .arg(QString::fromUtf8(m_entry.m_name),
                                     QString::fromLatin1(zs->msg ? zs->msg : "inflate error")));
        }
    }
    return produced;
}

// Called when the recorded size has been produced: the stream must end here.
bool EntryDevice::checkStreamEnds()
{
    z_stream* zs = m_stream.get();
    while (!m_streamEnded) {
        if (zs->avail_in == 0 && m_storedRead < m_entry.m_storedSize) {
            const qint64 chunk = qint64(qMin<quint64>(quint64(m_input.size()), m_entry.m_storedSize - m_storedRead));
            const qint64 got = m_file.read(m_input.data(), chunk);
            if (got <= 0) {
                failWith(QStringLiteral("unexpected end of archive data"));
                return false;
            }
            m_storedRead += quint64(got);
            zs->next_in = reinterpret_cast<Bytef*>(m_input.data());
            zs->avail_in = uInt(got);
        }
        char extra;
        zs->next_out = reinterpret_cast<Bytef*>(&extra);
        zs->avail_out = 1;
        const int rc = inflate(zs, Z_NO_FLUSH);
        if (zs->avail_out == 0) {
            failWith(QStringLiteral("entry %1 is longer than recorded").arg(QString::fromUtf8(m_entry.m_name)));
            return false;
        }
        if (rc == Z_STREAM_END) {
            m_streamEnded = true;
        } else if (rc != Z_OK && !(rc == Z_BUF_ERROR && (zs->avail_in > 0 || m_storedRead < m_entry.m_storedSize))) {
            failWith(QStringLiteral("entry %1 is damaged").arg(QString::fromUtf8(m_entry.m_name)));
            return false;
        }
    }
    return true;
}

qint64 EntryDevice::writeData(const char*, qint64)
{
    return -1;
}

} // namespace zidozi
