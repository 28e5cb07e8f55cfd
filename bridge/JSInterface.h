#pragma once

#include "CApplication.h"
#include "FileDownloader.h"
#include "ItemCopier.h"
#include "QMLEvent.h"
#include "Storage.h"
#include "Zip.h"
#include "ZipExtractionThread.h"

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
    // Implemented in JSInterfaceApplication.cpp.
    Q_INVOKABLE void initialize(QString uuid);
    Q_INVOKABLE void finalize(QString uuid);
    Q_INVOKABLE void applicationInfo(QString uuid);
    Q_INVOKABLE void getApplicationState(QString uuid);
    Q_INVOKABLE void getOpenFileName(QString uuid, QString title, QString dir, QString filter);
    Q_INVOKABLE void getSaveFileName(QString uuid, QString title, QString dir, QString filter);
    Q_INVOKABLE void initializePlugin(QString uuid, QString pluginName, QVariantMap params);

    // --- file system ---
    Q_INVOKABLE void fsItemsInfo(QString uuid, QVariantMap paths);
    Q_INVOKABLE void fsItemsDelete(QString uuid, QVariantMap paths);
    Q_INVOKABLE void fsItemsCopy(QString uuid, QVariantMap paths);
    Q_INVOKABLE void fsContentsRootPath(QString uuid);

    // SERVICE SECTIONS: each service family declares its commands, relay
    // slots and members in its own section below and implements them in
    // JSInterface<Family>.cpp.

    // --- storage --- (JSInterfaceStorage.cpp)
    Q_INVOKABLE void saveDBItem(QString uuid, QString key, QString value);
    Q_INVOKABLE void saveDBItems(QString uuid, QVariantMap items);
    Q_INVOKABLE void loadDBItem(QString uuid, QString key);
    Q_INVOKABLE void loadDBItems(QString uuid, QStringList keys);
    Q_INVOKABLE void removeDBItems(QString uuid, QStringList keys);
    Q_INVOKABLE void getDBKeys(QString uuid, QString pattern);
    Q_INVOKABLE void dbSql(QString uuid, QString query, QVariantList data);
    Q_INVOKABLE void dbSqlBatch(QString uuid, QString query, QVariantList data);
    Q_INVOKABLE void dbTransaction(QString uuid);
    Q_INVOKABLE void dbCommit(QString uuid);
    Q_INVOKABLE void dbRollback(QString uuid);
    Storage* storage() { return &m_storage; }

    // --- downloads and zip --- (JSInterfaceDownloads.cpp, JSInterfaceZip.cpp)
    // The constructor calls connectDownloadsAndZip(); the destructor calls
    // destroyDownloadsAndZip() before anything else.
    Q_INVOKABLE void downloadFile(QString uuid, QString url, QString relFilePath, QString fileName);
    Q_INVOKABLE void abortDownloadFile(QString uuid);
    Q_INVOKABLE void archiveUnzip(QString uuid, QString relFilePath, QString targetPath);
    Q_INVOKABLE void abortArchiveUnzip(QString uuid);
    Q_INVOKABLE void zipAddFiles(QString uuid, QString archivePath, QString mode, QVariantMap files);
    Q_INVOKABLE void zipReadFiles(QString uuid, QString archivePath, QVariantMap filesPaths);
    Q_INVOKABLE void zipCompressDirectory(QString uuid, QString archivePath, QString dirPath);
    Q_INVOKABLE void zipListContents(QString uuid, QString archivePath);
    Q_INVOKABLE void zipExtractFiles(QString uuid, QString archivePath, QVariantMap paths);
    IFileDownloader* downloader() const { return m_downloader; }
    ZipExtractionThread* extractionThread() { return &m_extractionThread; }
private slots:
    void _fileDownloadStart(int total);
    void _fileDownloadProgress(int total, int progress);
    void _fileDownloadFinish(QByteArray data);
    void _fileDownloadFinish(QString filePath);
    void _fileDownloadError(QNetworkReply::NetworkError code);
    void _fileDownloadAbort();
    void _zipProgress(int total, int progress);
    void _zipError(ZipExtractionThread::ExtractionError code);
    void _zipFinish(QString path);
    void _zipAbort();
private:
    void connectDownloadsAndZip();
    void destroyDownloadsAndZip();
    // The fields every event of the current download or extraction carries,
    // read back from the service object's dynamic properties.
    QVariantMap downloadContext(const QString& uuidProperty) const;
    QVariantMap extractionContext(const QString& uuidProperty) const;
    // Makes the target directories and clears the target path of a
    // finished download; returns that path.
    QString prepareDownloadTarget() const;
    void emitDownloadPlaced(bool placed);


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

    // A new event data map holding "uuid".
    static QVariantMap withUuid(const QString& uuid);
    // The contents directory, base of the page's relative paths.
    static QString contentsPath();

    // Emits a page event; the map is passed by reference as the signal wants.
    void emitEvent(const QString& name, QVariantMap data);

    // The services, in the order they are built; destroyed in reverse.
    // One download at a time; created by connectDownloadsAndZip, deleted
    // first on destruction.
    IFileDownloader* m_downloader = nullptr;
    ZipExtractionThread m_extractionThread;
    // The key-value store and SQL; its worker commands answer through
    // onInvokeJSCall.
    Storage m_storage;
    // The entry-level zip commands, run on the global thread pool.
    Zip m_zip;
    // Temporary copies made by fsItemsCopy, by source path.
    QMap<QString, QSharedPointer<QFile>> m_temporaryCopies;
    ArchiveAccessManager* m_archive;
    QStringList m_pluginNames;
    QSharedPointer<CApplication> m_application;
};
