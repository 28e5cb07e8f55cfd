#include "ContentPacker.h"

#include "Archive.h"
#include "ArchiveWriter.h"
#include "ContentPassword.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <quazip.h>
#include <quazipfile.h>
#include <quazipfileinfo.h>
#include <quazipnewinfo.h>
#include <memory>
#include <zlib.h>

namespace {

constexpr qint64 kChunk = 1024 * 1024;

// CRC-32 of a file's content: classic zip encryption needs it before the
// entry is written.
bool fileCrc(const QString& path, quint32* crc, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return false;
    }
    QByteArray buffer(int(kChunk), Qt::Uninitialized);
    uLong value = crc32(0L, Z_NULL, 0);
    for (;;) {
        const qint64 got = file.read(buffer.data(), kChunk);
        if (got < 0) {
            *error = file.errorString();
            return false;
        }
        if (got == 0)
            break;
        value = crc32(value, reinterpret_cast<const Bytef*>(buffer.constData()), uInt(got));
    }
    *crc = quint32(value);
    return true;
}

bool isZidOzi(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return file.read(8) == QByteArray("ZIDOZI\x1a\n", 8);
}

} // namespace

bool ContentPacker::fail(const QString& message)
{
    m_errorString = message;
    return false;
}

QStringList ContentPacker::entryNames(const QString& dir)
{
    const QDir root(QFileInfo(dir).absoluteFilePath());
    QStringList names;
    QDirIterator it(root.absolutePath(), QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext())
        names.append(root.relativeFilePath(it.next()));
    names.sort();
    return names;
}

bool ContentPacker::pack(const QString& dir, const QString& archivePath, Format format, Compression compression)
{
    if (!QFileInfo(dir).isDir())
        return fail(QStringLiteral("not a directory: %1").arg(dir));
    const QStringList names = entryNames(dir);
    QFile::remove(archivePath);
    if (format == ZidOzi)
        return packZidOzi(dir, names, archivePath, compression);
    return packZip(dir, names, archivePath, format == ZipEncrypted, compression);
}

bool ContentPacker::packZidOzi(const QString& dir, const QStringList& names, const QString& archivePath,
                               Compression compression)
{
    zidozi::ArchiveWriter writer(archivePath);
    const auto method = compression == Stored ? zidozi::Entry::Stored : zidozi::Entry::Deflated;
    if (!writer.open())
        return fail(writer.errorString());
    for (const QString& name : names) {
        if (!writer.addFile(name, QDir(dir).filePath(name), method))
            return fail(writer.errorString());
    }
    if (!writer.finish())
        return fail(writer.errorString());
    return true;
}

bool ContentPacker::packZip(const QString& dir, const QStringList& names, const QString& archivePath,
                            bool encrypted, Compression compression)
{
    QuaZip zip(archivePath);
    zip.setUtf8Enabled(true);
    // Without a data descriptor the encryption header's check byte is the
    // high byte of the CRC, which is what other zip tools expect then.
    zip.setDataDescriptorWritingEnabled(false);
    if (!zip.open(QuaZip::mdCreate))
        return fail(QStringLiteral("cannot create %1 (zip error %2)").arg(archivePath).arg(zip.getZipError()));

    QByteArray password = encrypted ? contentPassword() : QByteArray();
    QByteArray buffer(int(kChunk), Qt::Uninitialized);
    QString error;
    for (const QString& name : names) {
        const QString path = QDir(dir).filePath(name);
        quint32 crc = 0;
        if (encrypted && !fileCrc(path, &crc, &error)) {
            error = QStringLiteral("cannot read %1: %2").arg(path, error);
            break;
        }
        QFile source(path);
        if (!source.open(QIODevice::ReadOnly)) {
            error = QStringLiteral("cannot read %1: %2").arg(path, source.errorString());
            break;
        }
        QuaZipFile entry(&zip);
        const int method = compression == Stored ? 0 : Z_DEFLATED;
        const int level = compression == Stored ? 0 : Z_BEST_COMPRESSION;
        if (!entry.open(QIODevice::WriteOnly, QuaZipNewInfo(name, path),
                        encrypted ? password.constData() : nullptr, crc, method, level)) {
            error = QStringLiteral("cannot add %1 (zip error %2)").arg(name).arg(entry.getZipError());
            break;
        }
        for (;;) {
            const qint64 got = source.read(buffer.data(), kChunk);
            if (got < 0) {
                error = QStringLiteral("cannot read %1: %2").arg(path, source.errorString());
                break;
            }
            if (got == 0)
                break;
            if (entry.write(buffer.constData(), got) != got) {
                error = QStringLiteral("cannot write %1 (zip error %2)").arg(name).arg(entry.getZipError());
                break;
            }
        }
        entry.close();
        if (error.isEmpty() && entry.getZipError() != UNZ_OK)
            error = QStringLiteral("cannot write %1 (zip error %2)").arg(name).arg(entry.getZipError());
        if (!error.isEmpty())
            break;
    }
    password.fill('\0');
    zip.close();
    if (error.isEmpty() && zip.getZipError() != UNZ_OK)
        error = QStringLiteral("cannot finish %1 (zip error %2)").arg(archivePath).arg(zip.getZipError());
    if (!error.isEmpty()) {
        QFile::remove(archivePath);
        return fail(error);
    }
    return true;
}

bool ContentPacker::list(const QString& archivePath, QStringList* lines)
{
    if (!QFileInfo(archivePath).isFile())
        return fail(QStringLiteral("no such file: %1").arg(archivePath));
    if (isZidOzi(archivePath)) {
        std::unique_ptr<zidozi::Archive> archive(zidozi::Archive::makeAndLoad(archivePath));
        if (!archive->isLoaded())
            return fail(QStringLiteral("cannot load %1: %2 (code %3)")
                            .arg(archivePath, archive->errorString())
                            .arg(archive->error()));
        for (int i = 0; i < archive->entryCount(); ++i) {
            const zidozi::Entry entry = archive->entryAt(i);
            lines->append(QStringLiteral("%1\t%2\t%3\t%4")
                              .arg(QString::fromUtf8(entry.name()))
                              .arg(entry.size())
                              .arg(entry.storedSize())
                              .arg(entry.method() == zidozi::Entry::Stored ? QStringLiteral("stored")
                                                                            : QStringLiteral("deflated")));
        }
        return true;
    }
    QuaZip zip(archivePath);
    if (!zip.open(QuaZip::mdUnzip))
        return fail(QStringLiteral("not a zip or zidozi archive: %1 (zip error %2)")
                        .arg(archivePath)
                        .arg(zip.getZipError()));
    const QList<QuaZipFileInfo64> infos = zip.getFileInfoList64();
    if (zip.getZipError() != UNZ_OK)
        return fail(QStringLiteral("damaged zip directory in %1 (zip error %2)").arg(archivePath).arg(zip.getZipError()));
    for (const QuaZipFileInfo64& info : infos) {
        QString line = QStringLiteral("%1\t%2\t%3\t%4")
                           .arg(info.name)
                           .arg(info.uncompressedSize)
                           .arg(info.compressedSize)
                           .arg(info.method == 0 ? QStringLiteral("stored") : QStringLiteral("deflated"));
        if (info.flags & 0x1)
            line += QStringLiteral("\tencrypted");
        lines->append(line);
    }
    return true;
}
