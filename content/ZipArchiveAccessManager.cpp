#include "ZipArchiveAccessManager.h"

#include "ArchiveException.h"
#include "ContentPassword.h"
#include "SettingsManager.h"
#include "ZipDecrypter.h"
#include "ZipEntryDevice.h"
#include "ZipEntryFile.h"

#include <QFile>
#include <QSet>
#include <QMutexLocker>
#include <memory>
#include <quazip.h>
#include <quazipfile.h>
#include <unzip.h>
#include <zlib.h>

namespace {

constexpr int kCentralHeaderSize = 46;
constexpr quint32 kCentralHeaderSignature = 0x02014b50;
constexpr qint64 kMaxDirectorySize = 64 << 20;

quint16 le16(const uchar* p)
{
    return quint16(p[0] | (p[1] << 8));
}

quint32 le32(const uchar* p)
{
    return quint32(p[0]) | (quint32(p[1]) << 8) | (quint32(p[2]) << 16) | (quint32(p[3]) << 24);
}

// The zip library does not check the password: it opens an encrypted entry
// with a wrong password or without one, and "decrypts" a plain entry when
// given one, and then hands out garbage as content. Check that the entry's
// encryption matches the password, and a given password against the check
// byte of the encryption header (the CRC's high byte, or the high byte of
// the DOS time, see below). A wrong password still passes with a chance of 1
// in 256; the CRC then fails at the end of the entry.
bool passwordMatches(QuaZip* zip, const QByteArray& password)
{
    unzFile handle = zip->getUnzFile();
    unz_file_info64 info;
    if (unzGetCurrentFileInfo64(handle, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
        return false;
    const bool entryEncrypted = (info.flag & 1) != 0;
    if (entryEncrypted != !password.isEmpty())
        return false;
    if (!entryEncrypted)
        return true;

    // Opened with a password, the stream position lies just past the header.
    const qint64 dataStart = qint64(unzGetCurrentFileZStreamPos64(handle));
    QFile archive(zip->getZipName());
    char header[12];
    if (dataStart < 12 || !archive.open(QIODevice::ReadOnly) || !archive.seek(dataStart - 12)
        || archive.read(header, 12) != 12)
        return false;
    const quint8 check = ZipDecrypter(password).decryptHeader(header);
    if (check == quint8(info.crc >> 24))
        return true;
    // The time instead: with a data descriptor (the common convention), and
    // for a CRC of 0, where the zip library's writer puts the time there.
    return ((info.flag & 8) != 0 || info.crc == 0) && check == quint8((info.dosDate & 0xffff) >> 8);
}

} // namespace

ZipArchiveAccessManager::ZipArchiveAccessManager(const QString& archivePath)
    : ZipArchiveAccessManager(archivePath, nullptr)
{
}

ZipArchiveAccessManager::ZipArchiveAccessManager(const QString& archivePath, SettingsManager* settings)
    : m_zip(new QuaZip(archivePath))
    , m_settings(settings)
{
    if (!m_zip->open(QuaZip::mdUnzip)) {
        const int code = m_zip->getZipError();
        delete m_zip;
        m_zip = nullptr;
        throw ArchiveException(code, QString());
    }
    // What a device needs of each entry, so that opening one costs no
    // directory scan. Names are compared exactly, as setCurrentFile does with
    // the default (case-sensitive) setting here.
    unzFile handle = m_zip->getUnzFile();
    QVector<QPair<QString, Entry>> listed;
    QSet<QString> seen;
    for (bool more = m_zip->goToFirstFile(); more; more = m_zip->goToNextFile()) {
        Entry entry;
        const QString name = m_zip->getCurrentFileName();
        // The first of equal names wins, as in a directory scan.
        if (seen.contains(name) || unzGetFilePos64(handle, &entry.position) != UNZ_OK)
            continue;
        unz_file_info64 info;
        if (unzGetCurrentFileInfo64(handle, &info, nullptr, 0, nullptr, 0, nullptr, 0) == UNZ_OK) {
            entry.device.compressedSize = qint64(info.compressed_size);
            entry.device.size = qint64(info.uncompressed_size);
            entry.device.crc = quint32(info.crc);
            entry.device.dosDate = quint32(info.dosDate);
            entry.device.method = quint16(info.compression_method);
            entry.device.flags = quint16(info.flag);
            entry.device.nameLength = quint16(info.size_filename);
            entry.device.extraLength = quint16(info.size_file_extra);
            entry.recordLength = kCentralHeaderSize + qint64(info.size_filename) + qint64(info.size_file_extra)
                + qint64(info.size_file_comment);
        }
        seen.insert(name);
        listed.append(qMakePair(name, entry));
    }
    findLocalHeaders(listed);
    m_entries.reserve(listed.size());
    for (const auto& named : qAsConst(listed))
        m_entries.insert(named.first, named.second);
}

void ZipArchiveAccessManager::findLocalHeaders(QVector<QPair<QString, Entry>>& entries)
{
    // The zip library keeps the offset of an entry's local header to itself.
    // Read it from the entry's central directory record, which the library
    // has just read at the same place (directory positions count from the
    // start of the zip data; an archive with data in front of that is left
    // to the library). A record that disagrees with what the library read
    // leaves the entry to the library as well, and so do compression
    // methods and encryption other than stored, deflated and traditional.
    qint64 first = -1;
    qint64 end = 0;
    for (const auto& named : qAsConst(entries)) {
        const Entry& entry = named.second;
        if (entry.recordLength == 0)
            continue;
        const qint64 at = qint64(entry.position.pos_in_zip_directory);
        first = first < 0 ? at : qMin(first, at);
        end = qMax(end, at + entry.recordLength);
    }
    // The records lie one after the other; a directory spread wider than
    // any real one is not read into memory.
    QFile archive(m_zip->getZipName());
    if (first < 0 || end - first > kMaxDirectorySize || !archive.open(QIODevice::ReadOnly) || end > archive.size()
        || !archive.seek(first))
        return;
    const QByteArray directory = archive.read(end - first);
    if (directory.size() != end - first)
        return;
    const auto* bytes = reinterpret_cast<const uchar*>(directory.constData());
    for (auto& named : entries) {
        Entry& entry = named.second;
        ZipEntryDevice::Entry& device = entry.device;
        if (entry.recordLength == 0 || (device.method != 0 && device.method != Z_DEFLATED)
            || (device.flags & 0x2040) != 0)
            continue;
        const uchar* record = bytes + (qint64(entry.position.pos_in_zip_directory) - first);
        auto sizeMatches = [](quint32 field, qint64 size) { return field == 0xffffffffu || field == size; };
        const quint32 headerOffset = le32(record + 42);
        if (le32(record) == kCentralHeaderSignature && le16(record + 8) == device.flags
            && le16(record + 10) == device.method && le32(record + 16) == device.crc
            && sizeMatches(le32(record + 20), device.compressedSize) && sizeMatches(le32(record + 24), device.size)
            && le16(record + 28) == device.nameLength && le16(record + 30) == device.extraLength
            && headerOffset != 0xffffffffu)
            device.headerOffset = headerOffset;
    }
}

ZipArchiveAccessManager::~ZipArchiveAccessManager()
{
    if (m_zip) {
        m_zip->close();
        delete m_zip;
    }
}

SettingsManager* ZipArchiveAccessManager::settings() const
{
    return m_settings ? m_settings : SettingsManager::instance();
}

bool ZipArchiveAccessManager::fileExists(const QString& path)
{
    // The zip library "finds" an empty name (it only clears the current
    // file), but no entry can be opened under it.
    if (path.isEmpty())
        return false;
    // Every request of the web view asks this; the entry table answers it
    // without moving the shared handle (and so without the lock) exactly as
    // a directory scan would, names longer than the library accepts included.
    if (path.length() > QuaZip::MAX_FILE_NAME_LENGTH)
        return false;
    return m_entries.contains(path);
}

QByteArray ZipArchiveAccessManager::readFile(const QString& path)
{
    QMutexLocker lock(&m_mutex);
    if (path.isEmpty() || !m_zip->setCurrentFile(path))
        throw ArchiveException(path.isEmpty() ? UNZ_END_OF_LIST_OF_FILE : m_zip->getZipError(),
                               QStringLiteral("file not found:") + path);
    std::unique_ptr<QIODevice> device(openFile(path));
    QByteArray data = device->readAll();
    // Damaged content must not pass for the entry's bytes. Our own device
    // fails the read that finds the damage; the zip library checks the CRC
    // only when the entry is closed.
    int code = UNZ_OK;
    if (auto* entry = qobject_cast<ZipEntryDevice*>(device.get())) {
        code = entry->zipError();
    } else {
        auto* file = static_cast<QuaZipFile*>(device.get());
        file->close();
        code = file->getZipError();
    }
    if (code != UNZ_OK)
        throw ArchiveException(code, QStringLiteral("cannot read file:") + path);
    return data;
}

QIODevice* ZipArchiveAccessManager::openFile(const QString& path)
{
    const bool encrypted =
        settings()->get(QStringLiteral("wrapper"), QStringLiteral("encrypted"), QVariant(true)).toBool();
    QByteArray password;
    if (encrypted)
        password = contentPassword();

    // A handle of its own on the archive file: independent of m_zip and of
    // every other device, so no lock is needed here. m_entries is only read
    // after construction.
    const auto found = m_entries.constFind(path);
    if (found == m_entries.constEnd())
        throw ArchiveException(UNZ_END_OF_LIST_OF_FILE, QStringLiteral("cannot open file:") + path);
    if (found->device.headerOffset >= 0) {
        std::unique_ptr<ZipEntryDevice> device(new ZipEntryDevice(m_zip->getZipName(), found->device));
        const int code = device->openEntry(password);
        password.fill('\0');
        if (code != UNZ_OK)
            throw ArchiveException(code, QStringLiteral("cannot open file:") + path);
        return device.release();
    }

    // Entries our device does not read go through the zip library, on a
    // handle of its own too.
    auto* zip = new QuaZip(m_zip->getZipName());
    if (!zip->open(QuaZip::mdUnzip)) {
        const int code = zip->getZipError();
        delete zip;
        throw ArchiveException(code, QStringLiteral("cannot open file:") + path);
    }
    // goToFirstFile() gives the handle a current file; the directory
    // position then makes the entry that current file.
    unz64_file_pos target = found->position;
    int code = zip->goToFirstFile() ? unzGoToFilePos64(zip->getUnzFile(), &target) : zip->getZipError();
    auto* file = new ZipEntryFile(zip);
    if (code == UNZ_OK) {
        const bool opened = password.isEmpty() ? file->open(QIODevice::ReadOnly)
                                               : file->open(QIODevice::ReadOnly, password.constData());
        if (!opened)
            code = file->getZipError() != UNZ_OK ? file->getZipError() : UNZ_INTERNALERROR;
        else if (!passwordMatches(zip, password))
            code = ZipEntryDevice::PasswordMismatch;
    }
    password.fill('\0');
    if (code != UNZ_OK) {
        delete file;
        throw ArchiveException(code, QStringLiteral("cannot open file:") + path);
    }
    return file;
}
