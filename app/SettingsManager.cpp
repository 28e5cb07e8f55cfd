#include "SettingsManager.h"

#include "PathsManager.h"
#include "ProcessWide.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>

SettingsManager::SettingsManager()
    : SettingsManager(PathsManager::instance()->get(QStringLiteral("configPath"), QString()))
{
}

SettingsManager::SettingsManager(const QString& configPath)
    : m_settings(new QSettings(configPath, QSettings::IniFormat))
{
    m_settings->setIniCodec("UTF-8");
}

SettingsManager* SettingsManager::instance()
{
    return ProcessWide<SettingsManager>::instance();
}

QVariant SettingsManager::get(const QString& group, const QString& key, const QVariant& defValue)
{
    QMutexLocker lock(&m_mutex);
    m_settings->beginGroup(group);
    const QVariant value = m_settings->value(key, defValue);
    m_settings->endGroup();
    return value;
}

QVariant SettingsManager::get(const QString& group, const QString& key)
{
    return get(group, key, QVariant());
}

QVariantMap SettingsManager::getGroup(const QString& group)
{
    QMutexLocker lock(&m_mutex);
    QVariantMap result;
    m_settings->beginGroup(group);
    const QStringList keys = m_settings->allKeys();
    for (const QString& key : keys)
        result.insert(key, QVariant(m_settings->value(key).toString()));
    m_settings->endGroup();
    return result;
}

QString SettingsManager::contentArchivePath()
{
    const QString fallback = PathsManager::instance()->get(QStringLiteral("wrapperArchivePath"), QString());
    const QString configured =
        get(QStringLiteral("wrapper"), QStringLiteral("archivePath"), QVariant(fallback)).toString();
    QFileInfo info(configured);
    if (info.isRelative())
        info.setFile(QDir(QCoreApplication::applicationDirPath()), configured);
    return info.absoluteFilePath();
}
