#include "ZipArchiveAccessManager.h"

#include "ArchiveException.h"
#include "ContentPassword.h"
#include "SettingsManager.h"
#include "ZipEntryFile.h"

#include <QFile>
#include <QMutexLocker>
#include <memory>
#include <quazip.h>
#include <quazipfile.h>
#include <unzip.h>
#include <zlib.h>

namespace {

// Code of an entry whose encryption does not match the password: the zip
// library opens such entries without complaint and then yields garbage.
constexpr int kPasswordMismatch = -110;

// Traditional zip encryption (the PKWARE stream cipher): decrypts the 12-byte
// header in front of an encrypted entry and returns its last byte, which
// the writer set to a check value.
quint8 decryptCheckByte(const QByteArray& password, const char* header)
{
    const z_crc_t* table = get_crc_table();
    auto crcStep = [table](quint32 crc, quint8 byte) { return quint32(table[(crc ^ byte) & 0xff] ^ (crc >> 8)); };
    quint32 keys[3] = {0x12345678u, 0x23456789u, 0x34567890u};
    auto update = [&keys, &crcStep](quint8 byte) {
        keys[0] = crcStep(keys[0], byte);
        keys[1] = (keys[1] + (keys[0] & 0xff)) * 134775813u + 1;
        keys[2] = crcStep(keys[2], quint8(keys[1] >> 24));
    };
    for (char c : password)
        update(quint8(c));
    quint8 plain = 0;
    for (int i = 0; i < 12; ++i) {
        const quint32 temp = (keys[2] & 0xffff) | 2;
        plain = quint8(header[i]) ^ quint8((temp * (temp ^ 1)) >> 8);
        update(plain);
    }
    return plain;
}

// The zip library does not check the password: it opens an encrypted entry
// with a wrong password or without one, and "decrypts" a plain entry when
// given one, and then hands out garbage as content. Check that the entry's
// encryption matches the password, and a given password against the check
// byte of the encryption header (the CRC's high byte, or the high byte of
// the DOS time, see below). A wrong password still passes with a chance of 1 in 256; the CRC
// then fails at the end of the entry.
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
    const quint8 check = decryptCheckByte(password, header);
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
    // Where each entry sits in the central directory, so that a device's own
    // handle goes straight to its entry instead of scanning the directory.
    // Names are compared exactly, as setCurrentFile does with the default
    // (case-sensitive) setting here.
    unzFile handle = m_zip->getUnzFile();
    for (bool more = m_zip->goToFirstFile(); more; more = m_zip->goToNextFile()) {
        unz64_file_pos position;
        const QString name = m_zip->getCurrentFileName();
        // The first of equal names wins, as in a directory scan.
        if (!m_positions.contains(name) && unzGetFilePos64(handle, &position) == UNZ_OK)
            m_positions.insert(name, position);
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
    QMutexLocker lock(&m_mutex);
    return m_zip->setCurrentFile(path);
}

QByteArray ZipArchiveAccessManager::readFile(const QString& path)
{
    QMutexLocker lock(&m_mutex);
    if (path.isEmpty() || !m_zip->setCurrentFile(path))
        throw ArchiveException(path.isEmpty() ? UNZ_END_OF_LIST_OF_FILE : m_zip->getZipError(),
                               QStringLiteral("file not found:") + path);
    std::unique_ptr<QuaZipFile> device(static_cast<QuaZipFile*>(openFile(path)));
    QByteArray data = device->readAll();
    // The zip library checks the entry's CRC only when it is closed; damaged
    // content must not pass for the entry's bytes.
    device->close();
    if (device->getZipError() != UNZ_OK)
        throw ArchiveException(device->getZipError(), QStringLiteral("cannot read file:") + path);
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
    // every other device, so no lock is needed here. m_positions is only
    // read after construction.
    const auto position = m_positions.constFind(path);
    if (position == m_positions.constEnd())
        throw ArchiveException(UNZ_END_OF_LIST_OF_FILE, QStringLiteral("cannot open file:") + path);
    auto* zip = new QuaZip(m_zip->getZipName());
    if (!zip->open(QuaZip::mdUnzip)) {
        const int code = zip->getZipError();
        delete zip;
        throw ArchiveException(code, QStringLiteral("cannot open file:") + path);
    }
    // goToFirstFile() gives the handle a current file; the directory
    // position then makes the entry that current file.
    unz64_file_pos target = position.value();
    int code = zip->goToFirstFile() ? unzGoToFilePos64(zip->getUnzFile(), &target) : zip->getZipError();
    auto* file = new ZipEntryFile(zip);
    if (code == UNZ_OK) {
        const bool opened = password.isEmpty() ? file->open(QIODevice::ReadOnly)
                                               : file->open(QIODevice::ReadOnly, password.constData());
        if (!opened)
            code = file->getZipError() != UNZ_OK ? file->getZipError() : UNZ_INTERNALERROR;
        else if (!passwordMatches(zip, password))
            code = kPasswordMismatch;
    }
    password.fill('\0');
    if (code != UNZ_OK) {
        delete file;
        throw ArchiveException(code, QStringLiteral("cannot open file:") + path);
    }
    return file;
}
