#pragma once

#include "QMLEvent.h"

#include <QObject>
#include <QString>
#include <QVariantList>
#include <QVariantMap>

class ArchiveAccessManager;
class JSInterface;

// The one object the page talks to, published on the web channel as
// "shellInterface". Its invokable methods are the commands; every answer and
// notification reaches the page through invokeJSCall. Construction builds
// the content archive reader, the dispatcher and the request interceptor.
class DesktopBridge : public QObject
{
    Q_OBJECT
public:
    DesktopBridge();
    ~DesktopBridge() override;

    // Registers the element type "DesktopBridge" 1.0 with the declarative engine.
    static void registerType();

    JSInterface* dispatcher() const { return m_dispatcher; }

    // The commands, in catalogue order. Those the bridge handles itself are
    // implemented here; all others forward to the dispatcher unchanged.
    Q_INVOKABLE void fsItemsInfo(QString uuid, QVariantMap paths);
    Q_INVOKABLE void fsItemsDelete(QString uuid, QVariantMap paths);
    Q_INVOKABLE void fsItemsCopy(QString uuid, QVariantMap paths);
    Q_INVOKABLE void fsContentsRootPath(QString uuid);
    Q_INVOKABLE void exitApplication(QString uuid, int exitCode);
    Q_INVOKABLE void stateChanged(Qt::ApplicationState state);
    Q_INVOKABLE void onWindowClose();

signals:
    void invokeJSCall(QString name, QVariantMap data);
    void applicationEvent(QMLEvent event);

private slots:
    void onInvokeJS(QString functionName, QVariantMap& params);

private:
    JSInterface* m_dispatcher = nullptr;
    ArchiveAccessManager* m_archive = nullptr;
};
