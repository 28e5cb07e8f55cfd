// A zip content archive is read from disk: the reader must refuse arbitrary
// bytes with an ArchiveException or read them, entry by entry, with and
// without the content password, without crashing or hanging.

#include "ArchiveException.h"
#include "FuzzSupport.h"
#include "SettingsManager.h"
#include "ZipArchiveAccessManager.h"

#include <memory>
#include <quazip.h>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qInstallMessageHandler(fuzz::quietMessages);
    return 0;
}

namespace {

SettingsManager* settings(bool encrypted)
{
    static QTemporaryDir dir;
    auto make = [](const char* name, const char* content) {
        const QString path = dir.filePath(QString::fromLatin1(name));
        QFile file(path);
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(content);
        file.close();
        return new SettingsManager(path);
    };
    static SettingsManager* on = make("on.config", "[wrapper]\n");
    static SettingsManager* off = make("off.config", "[wrapper]\nencrypted=false\n");
    return encrypted ? on : off;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString path = fuzz::writeInput(data, size);

    QStringList names;
    {
        QuaZip zip(path);
        if (zip.open(QuaZip::mdUnzip))
            names = zip.getFileNameList().mid(0, 32);
    }
    names.append(QStringLiteral("missing"));
    names.append(QString());

    for (bool encrypted : {true, false}) {
        std::unique_ptr<ZipArchiveAccessManager> reader;
        try {
            reader.reset(new ZipArchiveAccessManager(path, settings(encrypted)));
        } catch (const ArchiveException&) {
            return 0;
        }
        for (const QString& name : names) {
            reader->fileExists(name);
            try {
                std::unique_ptr<QIODevice> device(reader->openFile(name));
                fuzz::drain(device.get(), 4 << 20);
            } catch (const ArchiveException&) {
            }
            try {
                reader->readFile(name);
            } catch (const ArchiveException&) {
            }
        }
    }
    return 0;
}
