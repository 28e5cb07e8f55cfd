#pragma once

#include <QReadWriteLock>

class ArchiveAccessManager;
class ItemCopier;

// Shared by the interceptor (web engine I/O thread) and the scheme handler
// (interface thread): the archive reader and the copier they may use, until
// detach() makes them unusable before their owner deletes them.
class ServingGuard
{
public:
    ServingGuard(ArchiveAccessManager* archive, ItemCopier* copier)
        : m_archive(archive), m_copier(copier) {}

    void detach()
    {
        QWriteLocker lock(&m_lock);
        m_archive = nullptr;
        m_copier = nullptr;
    }

    // Hold the lock while using what archive() and copier() return.
    QReadWriteLock* lock() { return &m_lock; }
    ArchiveAccessManager* archive() const { return m_archive; }
    ItemCopier* copier() const { return m_copier; }

private:
    QReadWriteLock m_lock;
    ArchiveAccessManager* m_archive;
    ItemCopier* m_copier;
};
