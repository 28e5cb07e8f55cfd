#include "DesktopBridge.h"

#include "ArchiveAccessManager.h"
#include "ArchiveException.h"
#include "ArchiveFatal.h"
#include "JSInterface.h"
#include "PathsManager.h"
#include "RequestInterceptor.h"
#include "SettingsManager.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QUrl>
#include <QWebEngineProfile>
#include <QtQml/qqml.h>

DesktopBridge::DesktopBridge()
    : QObject(nullptr)
{
    registerArgumentConversions();
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
    registerArgumentConversions();
}

void DesktopBridge::registerArgumentConversions()
{
    // The page passes the state of stateChanged as a JSON number; the web
    // channel can hand it to the invokable only with these conversions.
    static const bool registered = [] {
        QMetaType::registerConverter<double, Qt::ApplicationState>(
            [](double value) { return Qt::ApplicationState(int(value)); });
        QMetaType::registerConverter<int, Qt::ApplicationState>(
            [](int value) { return Qt::ApplicationState(value); });
        return true;
    }();
    Q_UNUSED(registered)
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

// --- application and storage commands ---

void DesktopBridge::initialize(QString uuid)
{
    m_dispatcher->initialize(uuid);
}

void DesktopBridge::finalize(QString uuid)
{
    m_dispatcher->finalize(uuid);
}

void DesktopBridge::openUrlPlatformDef(QString uuid, QString url)
{
    // The desktop's default handler (browser, mail program, document viewer)
    // opens it; an unparsable URL is refused.
    const QUrl parsed(url, QUrl::TolerantMode);
    QVariantMap data;
    data.insert(QStringLiteral("uuid"), uuid);
    data.insert(QStringLiteral("result"), parsed.isValid() && QDesktopServices::openUrl(parsed));
    emit invokeJSCall(QStringLiteral("openUrlPlatformDefFinish"), data);
}

void DesktopBridge::setApplicationState(QString uuid, QString state)
{
    // The application state cannot be set from the page.
    Q_UNUSED(state)
    QVariantMap data;
    data.insert(QStringLiteral("uuid"), uuid);
    data.insert(QStringLiteral("result"), false);
    emit invokeJSCall(QStringLiteral("setApplicationStateFinish"), data);
}

void DesktopBridge::getApplicationState(QString uuid)
{
    m_dispatcher->getApplicationState(uuid);
}

void DesktopBridge::dbSql(QString uuid, QString query, QVariantList data)
{
    m_dispatcher->dbSql(uuid, query, data);
}

void DesktopBridge::dbSqlBatch(QString uuid, QString query, QVariantList data)
{
    m_dispatcher->dbSqlBatch(uuid, query, data);
}

void DesktopBridge::dbTransaction(QString uuid)
{
    m_dispatcher->dbTransaction(uuid);
}

void DesktopBridge::dbCommit(QString uuid)
{
    m_dispatcher->dbCommit(uuid);
}

void DesktopBridge::dbRollback(QString uuid)
{
    m_dispatcher->dbRollback(uuid);
}

void DesktopBridge::getOpenFileName(QString uuid, QString title, QString dir, QString filter)
{
    m_dispatcher->getOpenFileName(uuid, title, dir, filter);
}

void DesktopBridge::getSaveFileName(QString uuid, QString title, QString dir, QString filter)
{
    m_dispatcher->getSaveFileName(uuid, title, dir, filter);
}

void DesktopBridge::applicationInfo(QString uuid)
{
    m_dispatcher->applicationInfo(uuid);
}

void DesktopBridge::initializePlugin(QString uuid, QString pluginName, QVariantMap params)
{
    m_dispatcher->initializePlugin(uuid, pluginName, params);
}

void DesktopBridge::saveDBItem(QString uuid, QString key, QString value)
{
    m_dispatcher->saveDBItem(uuid, key, value);
}

void DesktopBridge::saveDBItems(QString uuid, QVariantMap items)
{
    m_dispatcher->saveDBItems(uuid, items);
}

void DesktopBridge::loadDBItem(QString uuid, QString key)
{
    m_dispatcher->loadDBItem(uuid, key);
}

void DesktopBridge::loadDBItems(QString uuid, QStringList keys)
{
    m_dispatcher->loadDBItems(uuid, keys);
}

void DesktopBridge::removeDBItems(QString uuid, QStringList keys)
{
    m_dispatcher->removeDBItems(uuid, keys);
}

void DesktopBridge::getDBKeys(QString uuid, QString pattern)
{
    m_dispatcher->getDBKeys(uuid, pattern);
}

// --- download and zip commands ---

void DesktopBridge::downloadFile(QString uuid, QString url, QString relFilePath, QString fileName)
{
    m_dispatcher->downloadFile(uuid, url, relFilePath, fileName);
}

void DesktopBridge::archiveUnzip(QString uuid, QString relFilePath, QString targetPath)
{
    m_dispatcher->archiveUnzip(uuid, relFilePath, targetPath);
}

void DesktopBridge::abortDownloadFile(QString uuid)
{
    m_dispatcher->abortDownloadFile(uuid);
}

void DesktopBridge::abortArchiveUnzip(QString uuid)
{
    m_dispatcher->abortArchiveUnzip(uuid);
}

void DesktopBridge::zipAddFiles(QString uuid, QString archivePath, QString mode, QVariantMap files)
{
    m_dispatcher->zipAddFiles(uuid, archivePath, mode, files);
}

void DesktopBridge::zipReadFiles(QString uuid, QString archivePath, QVariantMap filesPaths)
{
    m_dispatcher->zipReadFiles(uuid, archivePath, filesPaths);
}

void DesktopBridge::zipCompressDirectory(QString uuid, QString archivePath, QString dirPath)
{
    m_dispatcher->zipCompressDirectory(uuid, archivePath, dirPath);
}

void DesktopBridge::zipListContents(QString uuid, QString archivePath)
{
    m_dispatcher->zipListContents(uuid, archivePath);
}

void DesktopBridge::zipExtractFiles(QString uuid, QString archivePath, QVariantMap paths)
{
    m_dispatcher->zipExtractFiles(uuid, archivePath, paths);
}
