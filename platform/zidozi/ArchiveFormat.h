#pragma once

// Layout constants of the zidozi archive format (see FORMAT.md) and the
// little-endian helpers shared by the reader and the writer.

#include <QtEndian>
#include <QtGlobal>

namespace zidozi {
namespace format {

constexpr char kMagic[8] = {'Z', 'I', 'D', 'O', 'Z', 'I', '\x1a', '\n'};
constexpr quint16 kVersion = 1;
constexpr int kHeaderSize = 40;
constexpr int kRecordSize = 40;

// Offsets inside the header.
constexpr int kHeaderVersion = 8;
constexpr int kHeaderFlags = 10;
constexpr int kHeaderEntryCount = 12;
constexpr int kHeaderIndexOffset = 16;
constexpr int kHeaderIndexSize = 24;
constexpr int kHeaderIndexCrc = 32;
constexpr int kHeaderCrc = 36;

// Offsets inside an index record.
constexpr int kRecordNameOffset = 0;
constexpr int kRecordNameLength = 4;
constexpr int kRecordDataOffset = 8;
constexpr int kRecordStoredSize = 16;
constexpr int kRecordContentSize = 24;
constexpr int kRecordCrc = 32;
constexpr int kRecordMethod = 36;

constexpr quint8 kMethodStored = 0;
constexpr quint8 kMethodDeflated = 8;

// Raw deflate never expands its input by more than about 1032:1; a recorded
// size beyond this bound cannot be true and is refused on load, so that no
// reader trusts it for an allocation.
constexpr quint64 kMaxDeflateRatio = 1032;
constexpr quint64 kDeflateSlack = 1024;

template <typename T>
inline T get(const char* p)
{
    return qFromLittleEndian<T>(p);
}

template <typename T>
inline void put(char* p, T value)
{
    qToLittleEndian<T>(value, p);
}

} // namespace format
} // namespace zidozi
