#include "Archive.h"

#include "ArchiveFormat.h"
#include "EntryDevice.h"
#include "VerifiedEntries.h"

#include <QFile>
#include <algorithm>
#include <limits>
#include <cstring>
#include <zlib.h>

namespace zidozi {

using namespace format;

namespace {

quint32 crcOf(const char* data, qint64 size)
{
    uLong crc = crc32(0L, Z_NULL, 0);
    while (size > 0) {
        const uInt chunk = uInt(qMin<qint64>(size, 1 << 30));
        crc = crc32(crc, reinterpret_cast<const Bytef*>(data), chunk);
        data += chunk;
        size -= chunk;
    }
    return quint32(crc);
}

// Byte-wise comparison of two names, shorter first on a common prefix.
int compareNames(const char* a, quint32 aLength, const char* b, quint32 bLength)
{
    const int common = std::memcmp(a, b, qMin(aLength, bLength));
    if (common != 0)
        return common;
    return aLength < bLength ? -1 : (aLength > bLength ? 1 : 0);
}

} // namespace

Archive::Archive(const QString& path)
    : m_path(path)
{
}

Archive::~Archive() = default;

Archive* Archive::makeAndLoad(const QString& path)
{
    auto* archive = new Archive(path);
    archive->load();
    return archive;
}

bool Archive::fail(Error error, const QString& message)
{
    m_error = error;
    m_errorString = message;
    m_records.clear();
    m_names.clear();
    m_verified.reset();
    return false;
}

bool Archive::load()
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(OpenError, file.errorString());

    char header[kHeaderSize];
    const qint64 headerRead = file.read(header, kHeaderSize);
    if (headerRead < 0)
        return fail(OpenError, file.errorString());
    if (headerRead < qint64(sizeof(kMagic)) || std::memcmp(header, kMagic, sizeof(kMagic)) != 0)
        return fail(FormatError, QStringLiteral("not a zidozi archive"));
    if (headerRead < kHeaderSize)
        return fail(CorruptError, QStringLiteral("truncated header"));
    if (get<quint32>(header + kHeaderCrc) != crcOf(header, kHeaderCrc))
        return fail(CorruptError, QStringLiteral("header checksum mismatch"));
    if (get<quint16>(header + kHeaderVersion) != kVersion || get<quint16>(header + kHeaderFlags) != 0)
        return fail(VersionError, QStringLiteral("unsupported zidozi version %1")
                                      .arg(get<quint16>(header + kHeaderVersion)));

    const quint64 entryCount = get<quint32>(header + kHeaderEntryCount);
    const quint64 indexOffset = get<quint64>(header + kHeaderIndexOffset);
    const quint64 indexSize = get<quint64>(header + kHeaderIndexSize);
    const quint64 fileSize = quint64(file.size());
    if (indexOffset < quint64(kHeaderSize) || indexOffset > fileSize || indexSize != fileSize - indexOffset)
        return fail(CorruptError, QStringLiteral("archive length does not match its index (truncated?)"));
    if (entryCount * kRecordSize > indexSize)
        return fail(CorruptError, QStringLiteral("index table larger than the index"));
    if (indexSize > quint64(std::numeric_limits<int>::max()))
        return fail(CorruptError, QStringLiteral("index too large"));

    if (!file.seek(qint64(indexOffset)))
        return fail(OpenError, file.errorString());
    const QByteArray index = file.read(qint64(indexSize));
    if (quint64(index.size()) != indexSize)
        return fail(CorruptError, QStringLiteral("truncated index"));
    if (crcOf(index.constData(), index.size()) != get<quint32>(header + kHeaderIndexCrc))
        return fail(CorruptError, QStringLiteral("index checksum mismatch"));

    const quint64 tableSize = entryCount * kRecordSize;
    m_names = index.mid(int(tableSize));
    const quint64 poolSize = quint64(m_names.size());
    m_records.reserve(size_t(entryCount));
    for (quint64 i = 0; i < entryCount; ++i) {
        const char* p = index.constData() + i * kRecordSize;
        Record r;
        r.nameOffset = get<quint32>(p + kRecordNameOffset);
        r.nameLength = get<quint32>(p + kRecordNameLength);
        r.dataOffset = get<quint64>(p + kRecordDataOffset);
        r.storedSize = get<quint64>(p + kRecordStoredSize);
        r.size = get<quint64>(p + kRecordContentSize);
        r.crc = get<quint32>(p + kRecordCrc);
        r.method = quint8(p[kRecordMethod]);

        if (r.nameLength == 0 || quint64(r.nameOffset) + r.nameLength > poolSize)
            return fail(CorruptError, QStringLiteral("entry %1: name outside the index").arg(i));
        if (r.dataOffset < quint64(kHeaderSize) || r.dataOffset > indexOffset
            || r.storedSize > indexOffset - r.dataOffset)
            return fail(CorruptError, QStringLiteral("entry %1: data outside the archive").arg(i));
        if (r.method == kMethodStored) {
            if (r.size != r.storedSize)
                return fail(CorruptError, QStringLiteral("entry %1: stored size mismatch").arg(i));
        } else if (r.method == kMethodDeflated) {
            if (r.size > r.storedSize * kMaxDeflateRatio + kDeflateSlack)
                return fail(CorruptError, QStringLiteral("entry %1: impossible size").arg(i));
        } else {
            return fail(CorruptError, QStringLiteral("entry %1: unknown method %2").arg(i).arg(r.method));
        }
        if (!m_records.empty()) {
            const Record& prev = m_records.back();
            if (compareNames(m_names.constData() + prev.nameOffset, prev.nameLength,
                             m_names.constData() + r.nameOffset, r.nameLength) >= 0)
                return fail(CorruptError, QStringLiteral("entry %1: index not sorted").arg(i));
        }
        m_records.push_back(r);
    }
    m_verified = std::make_shared<VerifiedEntries>(m_records.size());
    return true;
}

Entry Archive::entryFor(size_t index) const
{
    const Record& record = m_records[index];
    Entry entry;
    entry.m_index = quint32(index);
    entry.m_valid = true;
    entry.m_method = record.method;
    entry.m_crc = record.crc;
    entry.m_dataOffset = record.dataOffset;
    entry.m_storedSize = record.storedSize;
    entry.m_size = record.size;
    entry.m_name = m_names.mid(int(record.nameOffset), int(record.nameLength));
    return entry;
}

Entry Archive::entryAt(int i) const
{
    if (i < 0 || size_t(i) >= m_records.size())
        return Entry();
    return entryFor(size_t(i));
}

Entry Archive::find(const QString& path) const
{
    const QByteArray key = path.toUtf8();
    const char* names = m_names.constData();
    const auto it = std::lower_bound(m_records.begin(), m_records.end(), key,
                                     [names](const Record& r, const QByteArray& k) {
                                         return compareNames(names + r.nameOffset, r.nameLength,
                                                             k.constData(), quint32(k.size())) < 0;
                                     });
    if (it == m_records.end()
        || compareNames(names + it->nameOffset, it->nameLength, key.constData(), quint32(key.size())) != 0)
        return Entry();
    return entryFor(size_t(it - m_records.begin()));
}

QIODevice* Archive::makeReadOnlyDevice(const Entry& entry) const
{
    if (!entry.isValid())
        return nullptr;
    // Share the verification flags only for an entry of this archive.
    std::shared_ptr<VerifiedEntries> verified;
    if (entry.m_index < m_records.size()) {
        const Record& record = m_records[entry.m_index];
        if (record.dataOffset == entry.m_dataOffset && record.storedSize == entry.m_storedSize
            && record.size == entry.m_size && record.crc == entry.m_crc && record.method == entry.m_method)
            verified = m_verified;
    }
    auto* device = new EntryDevice(m_path, entry, verified);
    if (!device->open(QIODevice::ReadOnly)) {
        delete device;
        return nullptr;
    }
    return device;
}

} // namespace zidozi
