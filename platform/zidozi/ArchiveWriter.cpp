#include "ArchiveWriter.h"

#include "ArchiveFormat.h"

#include <QBuffer>
#include <QSet>
#include <algorithm>
#include <cstring>
#include <zlib.h>

namespace zidozi {

using namespace format;

namespace {
constexpr int kChunk = 256 * 1024;
}

ArchiveWriter::ArchiveWriter(const QString& path)
    : m_file(path)
{
}

ArchiveWriter::~ArchiveWriter()
{
    if (m_file.isOpen() && !m_finished) {
        m_file.close();
        m_file.remove();
    }
}

bool ArchiveWriter::fail(const QString& message)
{
    if (!m_failed) {
        m_failed = true;
        m_errorString = message;
    }
    if (m_file.isOpen())
        m_file.close();
    m_file.remove();
    return false;
}

bool ArchiveWriter::write(const char* data, qint64 size)
{
    if (m_file.write(data, size) != size)
        return fail(m_file.errorString());
    return true;
}

bool ArchiveWriter::open()
{
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return fail(m_file.errorString());
    // Room for the header, written by finish().
    const QByteArray placeholder(kHeaderSize, '\0');
    return write(placeholder.constData(), placeholder.size());
}

bool ArchiveWriter::addDevice(const QString& name, QIODevice* device, Entry::Method method)
{
    if (m_failed || !m_file.isOpen())
        return false;
    const QByteArray key = name.toUtf8();
    if (key.isEmpty())
        return fail(QStringLiteral("empty entry name"));
    if (method != Entry::Stored && method != Entry::Deflated)
        return fail(QStringLiteral("unknown method"));

    Pending entry{key, quint64(m_file.pos()), 0, 0, quint32(crc32(0L, Z_NULL, 0)), quint8(method)};
    QByteArray in(kChunk, Qt::Uninitialized);
    QByteArray out(kChunk, Qt::Uninitialized);

    z_stream zs;
    std::memset(&zs, 0, sizeof(zs));
    if (method == Entry::Deflated && deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return fail(QStringLiteral("cannot start deflating"));

    bool ok = true;
    for (;;) {
        const qint64 got = device->read(in.data(), in.size());
        if (got < 0) {
            ok = fail(QStringLiteral("cannot read %1: %2").arg(name, device->errorString()));
            break;
        }
        entry.crc = quint32(crc32(entry.crc, reinterpret_cast<const Bytef*>(in.constData()), uInt(got)));
        entry.size += quint64(got);
        if (method == Entry::Stored) {
            if (got == 0)
                break;
            if (!(ok = write(in.constData(), got)))
                break;
            entry.storedSize += quint64(got);
            continue;
        }
        const int flush = got == 0 ? Z_FINISH : Z_NO_FLUSH;
        zs.next_in = reinterpret_cast<Bytef*>(in.data());
        zs.avail_in = uInt(got);
        int rc = Z_OK;
        do {
            zs.next_out = reinterpret_cast<Bytef*>(out.data());
            zs.avail_out = uInt(out.size());
            rc = deflate(&zs, flush);
            const qint64 produced = out.size() - qint64(zs.avail_out);
            if (produced > 0) {
                if (!(ok = write(out.constData(), produced)))
                    break;
                entry.storedSize += quint64(produced);
            }
        } while (zs.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
        if (!ok || flush == Z_FINISH)
            break;
    }
    if (method == Entry::Deflated)
        deflateEnd(&zs);
    if (!ok)
        return false;
    m_entries.push_back(entry);
    return true;
}

bool ArchiveWriter::addFile(const QString& name, const QString& sourcePath, Entry::Method method)
{
    QFile source(sourcePath);
    if (!source.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot open %1: %2").arg(sourcePath, source.errorString()));
    return addDevice(name, &source, method);
}

bool ArchiveWriter::addData(const QString& name, const QByteArray& data, Entry::Method method)
{
    QByteArray copy = data;
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    return addDevice(name, &buffer, method);
}

bool ArchiveWriter::finish()
{
    if (m_failed || !m_file.isOpen())
        return false;
    std::sort(m_entries.begin(), m_entries.end(),
              [](const Pending& a, const Pending& b) { return a.name < b.name; });
    for (size_t i = 1; i < m_entries.size(); ++i) {
        if (m_entries[i - 1].name == m_entries[i].name)
            return fail(QStringLiteral("duplicate entry %1").arg(QString::fromUtf8(m_entries[i].name)));
    }
    if (m_entries.size() > std::numeric_limits<quint32>::max())
        return fail(QStringLiteral("too many entries"));

    QByteArray index;
    QByteArray names;
    index.reserve(int(m_entries.size()) * kRecordSize);
    for (const Pending& e : m_entries) {
        char record[kRecordSize];
        std::memset(record, 0, sizeof(record));
        put<quint32>(record + kRecordNameOffset, quint32(names.size()));
        put<quint32>(record + kRecordNameLength, quint32(e.name.size()));
        put<quint64>(record + kRecordDataOffset, e.dataOffset);
        put<quint64>(record + kRecordStoredSize, e.storedSize);
        put<quint64>(record + kRecordContentSize, e.size);
        put<quint32>(record + kRecordCrc, e.crc);
        record[kRecordMethod] = char(e.method);
        index.append(record, kRecordSize);
        names.append(e.name);
    }
    index.append(names);
    const quint64 indexOffset = quint64(m_file.pos());
    if (!write(index.constData(), index.size()))
        return false;

    char header[kHeaderSize];
    std::memset(header, 0, sizeof(header));
    std::memcpy(header, kMagic, sizeof(kMagic));
    put<quint16>(header + kHeaderVersion, kVersion);
    put<quint16>(header + kHeaderFlags, 0);
    put<quint32>(header + kHeaderEntryCount, quint32(m_entries.size()));
    put<quint64>(header + kHeaderIndexOffset, indexOffset);
    put<quint64>(header + kHeaderIndexSize, quint64(index.size()));
    put<quint32>(header + kHeaderIndexCrc,
                 quint32(crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(index.constData()), uInt(index.size()))));
    put<quint32>(header + kHeaderCrc,
                 quint32(crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(header), uInt(kHeaderCrc))));
    if (!m_file.seek(0))
        return fail(m_file.errorString());
    if (!write(header, kHeaderSize))
        return false;
    if (!m_file.flush())
        return fail(m_file.errorString());
    m_file.close();
    if (m_file.error() != QFileDevice::NoError)
        return fail(m_file.errorString());
    m_finished = true;
    return true;
}

} // namespace zidozi
