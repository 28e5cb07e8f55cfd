#pragma once

#include <QHash>
#include <QObject>
#include <QString>

// Registry of named paths. Filled once from the standard locations and the
// program directory; start-up adds "localStoragePath". Written only on the
// main thread during start-up, read from anywhere afterwards, so no lock.
class PathsManager : public QObject
{
    Q_OBJECT
public:
    PathsManager();

    static PathsManager* instance();

    Q_INVOKABLE void set(const QString& key, const QString& path);
    Q_INVOKABLE QString get(const QString& key, const QString& defValue) const;
    Q_INVOKABLE QString get(const QString& key) const;

private:
    QHash<QString, QString> m_paths;
};
