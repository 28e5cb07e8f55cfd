#include "ZipEntryDevice.h"

#include "ZipCrc32.h"
#include "ZipDecrypter.h"

#include <climits>
#include <cstring>
#include <quazip.h>
#include <unzip.h>

namespace {

constexpr int kLocalHeaderSize = 30;
constexpr quint32 kLocalHeaderSignature = 0x04034b50;
constexpr int kEncryptionHeaderSize = 12;
// Deflated data is read from the file in blocks of at most this size.
constexpr qint64 kInflateBlock = 256 * 1024;
// Stored data read together with the local header: small entries come in
// whole, larger ones go on straight from the file into the caller's buffer.
constexpr qint64 kStoredPrefetch = 64 * 1024;

quint16 le16(const uchar* p)
{
    return quint16(p[0] | (p[1] << 8));
}

quint32 le32(const uchar* p)
{
    return quint32(p[0]) | (quint32(p[1]) << 8) | (quint32(p[2]) << 16) | (quint32(p[3]) << 24);
}

} // namespace

ZipEntryDevice::ZipEntryDevice(const QString& archivePath, const Entry& entry)
    : m_file(archivePath)
    , m_entry(entry)
{
    std::memset(&m_stream, 0, sizeof(m_stream));
}

ZipEntryDevice::~ZipEntryDevice()
{
    release();
}

int ZipEntryDevice::openEntry(const QByteArray& password)
{
    // Unbuffered: content is read from the file straight into the caller's
    // buffer where it can be, with no copy in between.
    if (!m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return UNZ_OPENERROR;
    int code = readLocalHeader();
    if (code == UNZ_OK)
        code = checkPassword(password);
    if (code == UNZ_OK && m_entry.method == Z_DEFLATED) {
        code = inflateInit2(&m_stream, -MAX_WBITS);
        m_inflating = code == Z_OK;
    }
    if (code != UNZ_OK) {
        release();
        return code;
    }
    QIODevice::open(QIODevice::ReadOnly);
    return UNZ_OK;
}

// Reads the local header with the start of the entry's data in one read, so
// that a small entry costs one read of the file in all, and makes the same
// checks of the header as the zip library makes when it opens an entry, so
// that an entry it refuses is refused here too.
int ZipEntryDevice::readLocalHeader()
{
    const qint64 headerSize = kLocalHeaderSize + m_entry.nameLength + m_entry.extraLength;
    const qint64 block = m_entry.method == Z_DEFLATED ? kInflateBlock : kStoredPrefetch;
    m_bufferSize = headerSize + qBound<qint64>(0, m_entry.compressedSize, block);
    m_buffer.reset(new char[size_t(m_bufferSize)]);
    qint64 got = 0;
    if (m_file.seek(m_entry.headerOffset))
        got = m_file.read(m_buffer.get(), m_bufferSize);
    if (got < kLocalHeaderSize)
        return UNZ_ERRNO;
    const auto* header = reinterpret_cast<const uchar*>(m_buffer.get());
    if (le32(header) != kLocalHeaderSignature || le16(header + 8) != m_entry.method)
        return UNZ_BADZIPFILE;
    const quint16 flags = le16(header + 6);
    if ((flags & 8) == 0) {
        const quint32 compressed = le32(header + 18);
        const quint32 size = le32(header + 22);
        if (le32(header + 14) != m_entry.crc || (compressed != 0xffffffffu && compressed != m_entry.compressedSize)
            || (size != 0xffffffffu && size != m_entry.size))
            return UNZ_BADZIPFILE;
    }
    const quint16 nameLength = le16(header + 26);
    if (nameLength != m_entry.nameLength)
        return UNZ_BADZIPFILE;

    const qint64 dataStart = kLocalHeaderSize + nameLength + le16(header + 28);
    m_inputLeft = qMax<qint64>(0, m_entry.compressedSize);
    if (dataStart <= got) {
        // Data read with the header is consumed before the file.
        const qint64 buffered = qMin(got - dataStart, m_inputLeft);
        m_bufferPos = dataStart;
        m_bufferEnd = dataStart + buffered;
        m_inputLeft -= buffered;
    } else if (!m_file.seek(m_entry.headerOffset + dataStart)) {
        return UNZ_ERRNO;
    }
    return UNZ_OK;
}

// The check byte passes a wrong password with a chance of 1 in 256; the CRC
// then fails at the end of the entry.
int ZipEntryDevice::checkPassword(const QByteArray& password)
{
    const bool encrypted = (m_entry.flags & 1) != 0;
    char header[kEncryptionHeaderSize];
    if (!password.isEmpty()) {
        qint64 got = 0;
        for (qint64 part = 1; got < kEncryptionHeaderSize && part > 0; got += qMax<qint64>(part, 0))
            part = readInput(header + got, kEncryptionHeaderSize - got);
        if (got < kEncryptionHeaderSize)
            return UNZ_INTERNALERROR;
    }
    if (encrypted == password.isEmpty())
        return PasswordMismatch;
    if (!encrypted)
        return UNZ_OK;
    m_decrypter.reset(new ZipDecrypter(password));
    const quint8 check = m_decrypter->decryptHeader(header);
    // The high byte of the DOS time instead of the CRC's: with a data
    // descriptor (the common convention), and for a CRC of 0, where the zip
    // library's writer puts the time there.
    if (check != quint8(m_entry.crc >> 24)
        && !(((m_entry.flags & 8) != 0 || m_entry.crc == 0) && check == quint8((m_entry.dosDate & 0xffff) >> 8)))
        return PasswordMismatch;
    m_decrypter->decrypt(m_buffer.get() + m_bufferPos, m_bufferEnd - m_bufferPos);
    return UNZ_OK;
}

qint64 ZipEntryDevice::pos() const
{
    // Bytes still in QIODevice's buffer have not been handed out yet.
    return m_pos - QIODevice::bytesAvailable();
}

qint64 ZipEntryDevice::bytesAvailable() const
{
    return QIODevice::bytesAvailable() + (m_error != 0 ? 0 : m_entry.size - m_pos);
}

bool ZipEntryDevice::atEnd() const
{
    return !isOpen() || (QIODevice::bytesAvailable() == 0 && (m_error != 0 || m_pos >= m_entry.size));
}

void ZipEntryDevice::close()
{
    if (!isOpen())
        return;
    QIODevice::close();
    release();
}

void ZipEntryDevice::release()
{
    if (m_inflating)
        inflateEnd(&m_stream);
    m_inflating = false;
    m_buffer.reset();
    m_bufferPos = m_bufferEnd = 0;
    m_decrypter.reset();
    m_file.close();
}

qint64 ZipEntryDevice::readData(char* data, qint64 maxSize)
{
    if (m_error != 0)
        return -1;
    const qint64 wanted = qMin(maxSize, m_entry.size - m_pos);
    const qint64 produced = m_entry.method == Z_DEFLATED ? readDeflated(data, wanted) : readStored(data, wanted);
    if (produced < 0)
        return -1;
    m_crc = zipCrc32(m_crc, data, produced);
    m_pos += produced;
    if (m_pos == m_entry.size && !m_verified) {
        m_verified = true;
        if (m_crc != m_entry.crc)
            return fail(UNZ_CRCERROR, QStringLiteral("Zip entry content does not match its checksum (CRC-32)"));
    }
    return produced;
}

qint64 ZipEntryDevice::readStored(char* data, qint64 wanted)
{
    qint64 produced = 0;
    while (produced < wanted) {
        const qint64 got = readInput(data + produced, wanted - produced);
        if (got <= 0)
            return fail(UNZ_ERRNO, QStringLiteral("Zip entry data ends before its content"));
        produced += got;
    }
    return produced;
}

qint64 ZipEntryDevice::readDeflated(char* data, qint64 wanted)
{
    qint64 produced = 0;
    while (produced < wanted) {
        if (m_bufferPos == m_bufferEnd) {
            const qint64 got = readInput(m_buffer.get(), m_bufferSize);
            if (got <= 0)
                return fail(Z_DATA_ERROR, QStringLiteral("Zip entry data ends before its content"));
            m_bufferPos = 0;
            m_bufferEnd = got;
        }
        const uInt room = uInt(qMin<qint64>(wanted - produced, UINT_MAX));
        m_stream.next_in = reinterpret_cast<Bytef*>(m_buffer.get() + m_bufferPos);
        m_stream.avail_in = uInt(m_bufferEnd - m_bufferPos);
        m_stream.next_out = reinterpret_cast<Bytef*>(data + produced);
        m_stream.avail_out = room;
        const int result = inflate(&m_stream, Z_NO_FLUSH);
        produced += room - m_stream.avail_out;
        m_bufferPos = m_bufferEnd - m_stream.avail_in;
        if (result == Z_STREAM_END) {
            if (produced < wanted)
                return fail(Z_DATA_ERROR, QStringLiteral("Zip entry data ends before its content"));
        } else if (result != Z_OK && !(result == Z_BUF_ERROR && m_stream.avail_in == 0)) {
            return fail(result == Z_MEM_ERROR ? Z_MEM_ERROR : Z_DATA_ERROR,
                        QStringLiteral("Zip entry data is damaged (%1)")
                            .arg(QString::fromLatin1(m_stream.msg ? m_stream.msg : "inflate failed")));
        }
    }
    return produced;
}

qint64 ZipEntryDevice::readInput(char* data, qint64 maxSize)
{
    if (m_bufferPos < m_bufferEnd) {
        const qint64 part = qMin(maxSize, m_bufferEnd - m_bufferPos);
        std::memcpy(data, m_buffer.get() + m_bufferPos, size_t(part));
        m_bufferPos += part;
        return part;
    }
    const qint64 wanted = qMin(maxSize, m_inputLeft);
    if (wanted <= 0)
        return 0;
    const qint64 got = m_file.read(data, wanted);
    if (got > 0) {
        m_inputLeft -= got;
        if (m_decrypter)
            m_decrypter->decrypt(data, got);
    }
    return got;
}

qint64 ZipEntryDevice::fail(int code, const QString& message)
{
    m_error = code;
    setErrorString(message);
    return -1;
}

qint64 ZipEntryDevice::writeData(const char*, qint64)
{
    return -1;
}
