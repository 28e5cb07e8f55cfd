#include "ZidOziArchiveManager.h"

#include "Archive.h"
#include "ArchiveException.h"
#include "ContentLog.h"

#include <QIODevice>

ZidOziArchiveManager::ZidOziArchiveManager(const QString& archivePath)
    : m_archive(zidozi::Archive::makeAndLoad(archivePath))
{
    if (!m_archive->isLoaded()) {
        const int code = m_archive->error();
        qCWarning(lcContent, "Cannot load zidozi archive '%s': %s", qUtf8Printable(archivePath),
                  qUtf8Printable(m_archive->errorString()));
        delete m_archive;
        m_archive = nullptr;
        throw ArchiveException(code, QString());
    }
}

ZidOziArchiveManager::~ZidOziArchiveManager()
{
    delete m_archive;
}

bool ZidOziArchiveManager::fileExists(const QString& path)
{
    const zidozi::Entry entry = m_archive->find(path);
    return entry.isValid();
}

QIODevice* ZidOziArchiveManager::openFile(const QString& path)
{
    const zidozi::Entry entry = m_archive->find(path);
    if (!entry.isValid())
        return nullptr;
    return m_archive->makeReadOnlyDevice(entry);
}

QByteArray ZidOziArchiveManager::readFile(const QString& path)
{
    QIODevice* device = openFile(path);
    if (!device)
        return QByteArray();
    QByteArray data = device->readAll();
    // readAll() hides a read error behind the bytes read so far; a damaged
    // entry must not pass for a shorter one.
    if (!device->atEnd()) {
        qCWarning(lcContent, "Cannot read archive entry '%s': %s", qUtf8Printable(path),
                  qUtf8Printable(device->errorString()));
        data.clear();
    }
    delete device;
    return data;
}
