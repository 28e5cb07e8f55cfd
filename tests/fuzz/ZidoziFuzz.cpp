// A content archive in the zidozi format is read from disk: arbitrary bytes
// must load or be refused, and every entry of a loaded archive must be
// found and read (or report a read error) without crashing or hanging.

#include "Archive.h"
#include "ArchiveException.h"
#include "FuzzSupport.h"
#include "ZidOziArchiveManager.h"

#include <memory>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qInstallMessageHandler(fuzz::quietMessages);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString path = fuzz::writeInput(data, size);
    std::unique_ptr<zidozi::Archive> archive(zidozi::Archive::makeAndLoad(path));
    if (!archive->isLoaded()) {
        if (archive->entryCount() != 0)
            abort();
        return 0;
    }
    const int count = qMin(archive->entryCount(), 64);
    for (int i = 0; i < count; ++i) {
        const zidozi::Entry listed = archive->entryAt(i);
        const zidozi::Entry entry = archive->find(QString::fromUtf8(listed.name()));
        // Names that are not valid UTF-8 do not survive the QString round
        // trip, so a miss is allowed for them only.
        if (!entry.isValid()) {
            if (QString::fromUtf8(listed.name()).toUtf8() == listed.name())
                abort();
            continue;
        }
        std::unique_ptr<QIODevice> device(archive->makeReadOnlyDevice(entry));
        if (!device)
            continue;
        fuzz::drain(device.get(), 4 << 20);
        if (device->seek(qint64(entry.size() / 2)))
            fuzz::drain(device.get(), 4 << 20);
        device->seek(0);
        fuzz::drain(device.get(), 1024);
    }

    // The content reader over the same file.
    try {
        ZidOziArchiveManager reader(path);
        for (int i = 0; i < count; ++i) {
            const QString name = QString::fromUtf8(archive->entryAt(i).name());
            if (reader.fileExists(name))
                reader.readFile(name);
        }
        reader.readFile(QStringLiteral("missing"));
    } catch (const ArchiveException&) {
        abort(); // it loaded above, so the reader must load it too
    }
    return 0;
}
