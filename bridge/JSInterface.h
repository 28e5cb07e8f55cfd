#pragma once

#include "CApplication.h"
#include "ItemCopier.h"
#include "QMLEvent.h"

#include <QFile>
#include <QMap>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

class ArchiveAccessManager;

// The dispatcher between the bridge and the native services. Owns every
// service, runs each command on the spot, in a service or on the thread pool,
// and turns what the services report into page events (invokeJSCall).
// Lives on the interface thread; all page events are emitted there.
//
// The class is implemented in several files, one per family of commands:
// JSInterface.cpp (construction, relay of plugin events, Application plugin),
// JSInterfaceFileSystem.cpp, and one file per service family below.
class JSInterface : public QObject, public ItemCopier
{
    Q_OBJECT
public:
    JSInterface(ArchiveAccessManager* archive, QObject* parent);
    ~JSInterface() override;

    // Result of copying one item (fsItemsCopy); also used to serve archive
    // media through temporary copies.
    int copyItem(const QString& registryKey, const QString& from, const QString& to,
                 const QString& location, const QString& type, QVariantMap& result) override;

    // The known plugin names, in their fixed order.
    QStringList pluginNames() const { return m_pluginNames; }
    CApplication* applicationPlugin() const { return m_application.data(); }

    // --- application ---
    // Tells the page the application's new state; a plain method.
    void stateChanged(Qt::ApplicationState state);

    // --- file system ---
    Q_INVOKABLE void fsItemsInfo(QString uuid, QVariantMap paths);
    Q_INVOKABLE void fsItemsDelete(QString uuid, QVariantMap paths);
    Q_INVOKABLE void fsItemsCopy(QString uuid, QVariantMap paths);
    Q_INVOKABLE void fsContentsRootPath(QString uuid);

    // SERVICE SECTIONS: each service family declares its commands, relay
    // slots and members in its own section below and implements them in
    // JSInterface<Family>.cpp.

signals:
    void closeWrapper();
    void invokeJSCall(QString functionName, QVariantMap& params);
    void setWebViewVisibility(bool visible);
    void applicationEvent(QMLEvent event);

public slots:
    void onInvokeJSCall(QString functionName, QVariantMap params);

private:
    // Opens the source of a copy: an archive entry when `from` begins with
    // the wrapper root path and the archive holds it, else a plain file.
    QIODevice* openCopySource(const QString& from);

    // Emits a page event; the map is passed by reference as the signal wants.
    void emitEvent(const QString& name, QVariantMap data);

    QMap<QString, QSharedPointer<QFile>> m_temporaryCopies;
    ArchiveAccessManager* m_archive;
    QStringList m_pluginNames;
    QSharedPointer<CApplication> m_application;
};
