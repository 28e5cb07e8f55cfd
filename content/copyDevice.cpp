#include "copyDevice.h"

#include "ArchiveException.h"

#include <QIODevice>
#include <QString>
#include <memory>

qint64 copyDevice(QIODevice* source, QIODevice* target, qint64 chunkSize)
{
    std::unique_ptr<char[]> buffer(new char[size_t(chunkSize)]);
    qint64 total = 0;
    for (;;) {
        const qint64 read = source->read(buffer.get(), chunkSize);
        if (read <= 0)
            return total;
        const qint64 written = target->write(buffer.get(), read);
        if (written <= 0)
            throw ArchiveException(-100, QStringLiteral("QFS cannot write into target device"));
        total += written;
    }
}
