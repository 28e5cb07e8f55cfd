#pragma once

// Shared helpers of the fuzz targets: quiet logging, and a scratch file that
// holds the current input for readers that take a path.

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <QtGlobal>

namespace fuzz {

inline void quietMessages(QtMsgType type, const QMessageLogContext&, const QString&)
{
    // Fatal messages must still end the run, so the fuzzer reports them.
    if (type == QtFatalMsg)
        abort();
}

inline QString writeInput(const uint8_t* data, size_t size)
{
    static QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("input.bin"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        abort();
    file.write(reinterpret_cast<const char*>(data), qint64(size));
    return path;
}

// Reads a device to its end or to the limit in chunks of varying size;
// returns the number of bytes read, or -1 after a failed read.
inline qint64 drain(QIODevice* device, qint64 limit)
{
    char buffer[8192];
    qint64 total = 0;
    int step = 1;
    while (total < limit) {
        const qint64 got = device->read(buffer, qMin<qint64>(step, sizeof(buffer)));
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        total += got;
        step = step * 3 + 1;
    }
    return total;
}

} // namespace fuzz
