#include "ArchiveAccessManager.h"

#include "SettingsManager.h"
#include "ZidOziArchiveManager.h"
#include "ZipArchiveAccessManager.h"

ArchiveAccessManager* createArchiveManager(const QString& archivePath)
{
    return createArchiveManager(archivePath, SettingsManager::instance());
}

ArchiveAccessManager* createArchiveManager(const QString& archivePath, SettingsManager* settings)
{
    const QString kind =
        settings->get(QStringLiteral("wrapper"), QStringLiteral("archiveManager"), QVariant(QStringLiteral("zip")))
            .toString();
    if (kind == QLatin1String("zidozi"))
        return new ZidOziArchiveManager(archivePath);
    if (settings == SettingsManager::instance())
        return new ZipArchiveAccessManager(archivePath);
    return new ZipArchiveAccessManager(archivePath, settings);
}
