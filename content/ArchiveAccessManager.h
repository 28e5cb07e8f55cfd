#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QIODevice;
class SettingsManager;

// Read access to the entries of the content archive. Entry paths are
// relative to the archive root with "/" separators and no leading slash; the
// readers pass them on exactly as given. Called from the user interface
// thread and from the web engine's request interceptor thread at once.
class ArchiveAccessManager : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // True if the archive holds a file under that entry path.
    virtual bool fileExists(const QString& path) = 0;
    // The whole content of the entry.
    virtual QByteArray readFile(const QString& path) = 0;
    // A new device open for reading at the start of the entry's content, or
    // null. The caller owns it.
    virtual QIODevice* openFile(const QString& path) = 0;
};

// The reader for the content archive at archivePath: ZidOziArchiveManager
// when "archiveManager" of group "wrapper" is exactly "zidozi", otherwise
// ZipArchiveAccessManager. The caller owns the result. Throws
// ArchiveException when the archive cannot be opened.
ArchiveAccessManager* createArchiveManager(const QString& archivePath);
// The same, reading the configuration from settings (tests and tools).
ArchiveAccessManager* createArchiveManager(const QString& archivePath, SettingsManager* settings);
