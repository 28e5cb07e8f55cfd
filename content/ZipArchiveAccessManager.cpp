#include "ZipArchiveAccessManager.h"

#include "ArchiveException.h"
#include "ContentPassword.h"
#include "SettingsManager.h"

#include <QMutexLocker>
#include <quazip.h>
#include <quazipfile.h>

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
    QMutexLocker lock(&m_mutex);
    return m_zip->setCurrentFile(path);
}

QByteArray ZipArchiveAccessManager::readFile(const QString& path)
{
    QMutexLocker lock(&m_mutex);
    if (!m_zip->setCurrentFile(path))
        throw ArchiveException(m_zip->getZipError(), QStringLiteral("file not found:") + path);
    QIODevice* device = openFile(path);
    const QByteArray data = device->readAll();
    delete device;
    return data;
}

QIODevice* ZipArchiveAccessManager::openFile(const QString& path)
{
    const bool encrypted =
        settings()->get(QStringLiteral("wrapper"), QStringLiteral("encrypted"), QVariant(true)).toBool();
    QByteArray password;
    if (encrypted)
        password = contentPassword();

    // Its own handle on the archive file: independent of m_zip and of every
    // other device, so no lock is needed here.
    auto* file = new QuaZipFile(m_zip->getZipName(), path, QuaZip::csDefault, nullptr);
    const bool opened = password.isEmpty() ? file->open(QIODevice::ReadOnly)
                                           : file->open(QIODevice::ReadOnly, password.constData());
    password.fill('\0');
    if (!opened) {
        const int code = file->getZipError();
        delete file;
        throw ArchiveException(code, QStringLiteral("cannot open file:") + path);
    }
    return file;
}
