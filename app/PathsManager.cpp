#include "PathsManager.h"

#include "ProcessWide.h"

#include <QCoreApplication>
#include <QStandardPaths>

namespace {

QString firstLocation(QStandardPaths::StandardLocation location)
{
    const QStringList all = QStandardPaths::standardLocations(location);
    return all.isEmpty() ? QString(QLatin1String("")) : all.first();
}

} // namespace

PathsManager::PathsManager()
{
    const QString programDir = QCoreApplication::applicationDirPath();
    const QString appData = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    const QString appLocalData = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    const QString wrapperRoot = QStringLiteral("/wrapper/wrapper/");
    const QString indexPath = wrapperRoot + QStringLiteral("index.html");

    m_paths.insert(QStringLiteral("homePath"), firstLocation(QStandardPaths::HomeLocation));
    m_paths.insert(QStringLiteral("downloadPath"), firstLocation(QStandardPaths::DownloadLocation));
    m_paths.insert(QStringLiteral("wrapperRootPath"), wrapperRoot);
    m_paths.insert(QStringLiteral("wrapperAccessPath"), wrapperRoot);
    m_paths.insert(QStringLiteral("contentsPath"), appData + QStringLiteral("/contents"));
    m_paths.insert(QStringLiteral("wrapperIndexPath"), indexPath);
    m_paths.insert(QStringLiteral("wrapperArchivePath"), programDir + QStringLiteral("/data.bin"));
    m_paths.insert(QStringLiteral("configPath"), programDir + QStringLiteral("/vazovazo.config"));
    m_paths.insert(QStringLiteral("localStorageRootPath"), appData);
    m_paths.insert(QStringLiteral("wrapperStartupPath"),
                   QStringLiteral("file://") + indexPath + QStringLiteral("?backend=desktop&platform=win"));
    m_paths.insert(QStringLiteral("logsPath"), appLocalData + QStringLiteral("/appLogs.txt"));
}

PathsManager* PathsManager::instance()
{
    return ProcessWide<PathsManager>::instance();
}

void PathsManager::set(const QString& key, const QString& path)
{
    m_paths.insert(key, path);
}

QString PathsManager::get(const QString& key, const QString& defValue) const
{
    return m_paths.value(key, defValue);
}

QString PathsManager::get(const QString& key) const
{
    return m_paths.value(key, QString());
}
