#pragma once

#include "QMLEvent.h"

#include <QObject>
#include <QString>
#include <QStringList>
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
    // Conversions the web channel needs for the commands' argument types.
    static void registerArgumentConversions();

    JSInterface* dispatcher() const { return m_dispatcher; }

    // The commands, in catalogue order. Those the bridge handles itself are
    // implemented here; all others forward to the dispatcher unchanged.
    Q_INVOKABLE void initialize(QString uuid);
    Q_INVOKABLE void finalize(QString uuid);
    Q_INVOKABLE void downloadFile(QString uuid, QString url, QString relFilePath, QString fileName);
    Q_INVOKABLE void archiveUnzip(QString uuid, QString relFilePath, QString targetPath);
    Q_INVOKABLE void fsItemsInfo(QString uuid, QVariantMap paths);
    Q_INVOKABLE void fsItemsDelete(QString uuid, QVariantMap paths);
    Q_INVOKABLE void fsItemsCopy(QString uuid, QVariantMap paths);
    Q_INVOKABLE void fsContentsRootPath(QString uuid);
    Q_INVOKABLE void abortDownloadFile(QString uuid);
    Q_INVOKABLE void abortArchiveUnzip(QString uuid);
    Q_INVOKABLE void openUrlPlatformDef(QString uuid, QString url);
    Q_INVOKABLE void exitApplication(QString uuid, int exitCode);
    Q_INVOKABLE void setApplicationState(QString uuid, QString state);
    Q_INVOKABLE void getApplicationState(QString uuid);
    Q_INVOKABLE void stateChanged(Qt::ApplicationState state);
    Q_INVOKABLE void dbSql(QString uuid, QString query, QVariantList data);
    Q_INVOKABLE void dbSqlBatch(QString uuid, QString query, QVariantList data);
    Q_INVOKABLE void dbTransaction(QString uuid);
    Q_INVOKABLE void dbCommit(QString uuid);
    Q_INVOKABLE void dbRollback(QString uuid);
    Q_INVOKABLE void onWindowClose();
    Q_INVOKABLE void getOpenFileName(QString uuid, QString title, QString dir, QString filter);
    Q_INVOKABLE void getSaveFileName(QString uuid, QString title, QString dir, QString filter);
    Q_INVOKABLE void zipAddFiles(QString uuid, QString archivePath, QString mode, QVariantMap files);
    Q_INVOKABLE void zipReadFiles(QString uuid, QString archivePath, QVariantMap filesPaths);
    Q_INVOKABLE void zipCompressDirectory(QString uuid, QString archivePath, QString dirPath);
    Q_INVOKABLE void zipListContents(QString uuid, QString archivePath);
    Q_INVOKABLE void zipExtractFiles(QString uuid, QString archivePath, QVariantMap paths);
    Q_INVOKABLE void applicationInfo(QString uuid);
    Q_INVOKABLE void initializePlugin(QString uuid, QString pluginName, QVariantMap params);
    Q_INVOKABLE void saveDBItem(QString uuid, QString key, QString value);
    Q_INVOKABLE void saveDBItems(QString uuid, QVariantMap items);
    Q_INVOKABLE void loadDBItem(QString uuid, QString key);
    Q_INVOKABLE void loadDBItems(QString uuid, QStringList keys);
    Q_INVOKABLE void removeDBItems(QString uuid, QStringList keys);
    Q_INVOKABLE void getDBKeys(QString uuid, QString pattern);

signals:
    void invokeJSCall(QString name, QVariantMap data);
    void applicationEvent(QMLEvent event);

private slots:
    void onInvokeJS(QString functionName, QVariantMap& params);

private:
    JSInterface* m_dispatcher = nullptr;
    ArchiveAccessManager* m_archive = nullptr;
};
