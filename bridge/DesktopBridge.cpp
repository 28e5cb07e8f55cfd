#include "DesktopBridge.h"

#include "ArchiveAccessManager.h"
#include "ArchiveException.h"
#include "ArchiveFatal.h"
#include "JSInterface.h"
#include "PathsManager.h"
#include "RequestInterceptor.h"
#include "SettingsManager.h"

#include <QCoreApplication>
#include <QWebEngineProfile>
#include <QtQml/qqml.h>

DesktopBridge::DesktopBridge()
    : QObject(nullptr)
{
    PathsManager::instance();
    SettingsManager* settings = SettingsManager::instance();

    // An archive that cannot be opened ends the program here, with its fatal
    // log line, instead of unwinding through the declarative engine.
    try {
        m_archive = createArchiveManager(settings->contentArchivePath());
    } catch (const ArchiveException& e) {
        endWithArchiveError(e);
    }
    m_dispatcher = new JSInterface(m_archive, this);
    connect(m_dispatcher, &JSInterface::invokeJSCall, this, &DesktopBridge::onInvokeJS);
    connect(this, &DesktopBridge::applicationEvent, m_dispatcher, &JSInterface::applicationEvent);

    QWebEngineUrlRequestInterceptor* interceptor = createRequestInterceptor(m_archive, m_dispatcher);
    QWebEngineProfile::defaultProfile()->setUrlRequestInterceptor(interceptor);
}

DesktopBridge::~DesktopBridge()
{
    // Requests must stop reaching the archive reader before it goes away.
    stopRequestInterception();
    delete m_archive;
    m_archive = nullptr;
    delete m_dispatcher;
    m_dispatcher = nullptr;
}

void DesktopBridge::registerType()
{
    qmlRegisterType<DesktopBridge>("DesktopBridge", 1, 0, "DesktopBridge");
}

void DesktopBridge::onInvokeJS(QString functionName, QVariantMap& params)
{
    emit invokeJSCall(functionName, params);
}

void DesktopBridge::fsItemsInfo(QString uuid, QVariantMap paths)
{
    m_dispatcher->fsItemsInfo(uuid, paths);
}

void DesktopBridge::fsItemsDelete(QString uuid, QVariantMap paths)
{
    m_dispatcher->fsItemsDelete(uuid, paths);
}

void DesktopBridge::fsItemsCopy(QString uuid, QVariantMap paths)
{
    m_dispatcher->fsItemsCopy(uuid, paths);
}

void DesktopBridge::fsContentsRootPath(QString uuid)
{
    m_dispatcher->fsContentsRootPath(uuid);
}

void DesktopBridge::exitApplication(QString uuid, int exitCode)
{
    Q_UNUSED(uuid)
    QCoreApplication::exit(exitCode);
}

void DesktopBridge::stateChanged(Qt::ApplicationState state)
{
    m_dispatcher->stateChanged(state);
}

void DesktopBridge::onWindowClose()
{
    QVariantMap empty;
    emit invokeJSCall(QStringLiteral("onApplicationClose"), empty);
}
