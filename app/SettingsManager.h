#pragma once

#include <QMutex>
#include <QObject>
#include <QSettings>
#include <QSharedPointer>
#include <QVariant>
#include <QVariantMap>

// Read-only access to vazovazo.config. Archive readers read it from the web
// engine's I/O thread, so every use of the settings object (whose current
// group is shared state) is serialised by the mutex.
class SettingsManager : public QObject
{
    Q_OBJECT
public:
    SettingsManager();
    // For tests and tools: a reader over any configuration file.
    explicit SettingsManager(const QString& configPath);

    static SettingsManager* instance();

    Q_INVOKABLE QVariant get(const QString& group, const QString& key, const QVariant& defValue);
    Q_INVOKABLE QVariant get(const QString& group, const QString& key);
    Q_INVOKABLE QVariantMap getGroup(const QString& group);

    // Absolute path of the content archive: "archivePath" of group "wrapper",
    // else the named path "wrapperArchivePath"; relative values count from the
    // program directory. Existence is not tested.
    QString contentArchivePath();

private:
    QSharedPointer<QSettings> m_settings;
    QMutex m_mutex;
};
