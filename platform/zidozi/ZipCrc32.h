#pragma once

#include <QtGlobal>

// CRC-32 as zip and zidozi entries carry it (zlib's crc32, same start value and
// result), computed with carry-less multiplication where the processor has
// it: several times faster than the table-driven loop, which matters because
// the check runs over every byte handed out by the archive readers.
quint32 zipCrc32(quint32 crc, const char* data, qint64 size);
