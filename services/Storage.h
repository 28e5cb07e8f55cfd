#pragma once

#include "ValueCipher.h"

#include <QFuture>
#include <QMutex>
#include <QObject>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <functional>
#include <memory>

class QThread;

// The page's persistent key-value store and its plain SQL access, over one
// SQLite file.
//
// Threads: every thread that touches the store gets its own connection to
// the same file (Qt allows a QSqlDatabase only on the thread that opened
// it). Connections are named per store, thread and open-generation, are
// opened on first use and carry a busy timeout, so a writer on one thread
// waits for a writer on another instead of failing. A connection left over
// from an earlier open() is dropped by its own thread on its next use, or
// when that thread ends.
//
// The synchronous operations run on the calling thread's connection; for the
// page that is the interface thread, the store's own thread. The worker
// operations (saveDBItems, loadDBItems, getDBKeys) normally run on pool
// threads with their own connections. While the interface thread's
// connection is inside a transaction, and always when the path names no
// shared file (empty, ":memory:"), they run queued on the interface thread's
// connection instead, so that they see what the page sees there and, inside
// a page transaction, commit or roll back with it. A worker write on a pool
// thread that meets another connection's write lock waits for it, up to the
// busy timeout, and then reports its Error event.
class Storage : public QObject
{
    Q_OBJECT
public:
    // How long a statement waits for another connection's lock.
    static constexpr int BusyTimeoutMs = 10000;

    explicit Storage(QObject* parent = nullptr);
    ~Storage() override;

    // Opens (or reopens) the store at `path` and creates its table. Connections
    // of the previous open are no longer used.
    bool open(const QString& path);
    bool isOpen() const;
    QString path() const;

    // Synchronous operations, on the calling thread's connection.
    bool saveDBItem(const QString& key, const QString& value);
    // The stored value; a null string when the key is absent, an empty one
    // when the stored value cannot be deciphered.
    QString loadDBItem(const QString& key);
    bool removeDBItems(const QStringList& keys);
    bool dbSql(const QString& query, const QVariantList& params, QVariantList& rows);
    bool dbSqlBatch(const QString& query, const QVariantList& paramLists, QVariantList& results);
    bool dbTransaction();
    bool dbCommit();
    bool dbRollback();

    // Worker operations: each emits its answer with invokeJSCall from the
    // thread it runs on.
    void saveDBItems(const QString& uuid, const QVariantMap& items);
    void loadDBItems(const QString& uuid, const QStringList& keys);
    void getDBKeys(const QString& uuid, const QString& pattern);

    // Start the worker operations with copies of the arguments: on the global
    // thread pool, or queued on the store's thread (see above); either way
    // they answer after the call has returned. The store keeps track of the
    // pool's so that its destructor waits for those still running; a queued
    // one's future finishes only when the store's thread runs it, so that
    // thread must not wait for it.
    QFuture<void> startSaveDBItems(const QString& uuid, const QVariantMap& items);
    QFuture<void> startLoadDBItems(const QString& uuid, const QStringList& keys);
    QFuture<void> startGetDBKeys(const QString& uuid, const QString& pattern);

    // The stored form of a key: every UTF-16 code unit moved up by 3
    // (modulo 65536), and back.
    static QString shiftKey(const QString& key);
    static QString unshiftKey(const QString& stored);

signals:
    void invokeJSCall(QString functionName, QVariantMap params);

private:
    struct Registry;

    QSqlDatabase connection();
    void closeConnectionOfCurrentThread();
    QFuture<void> track(const QFuture<void>& future);
    bool runsOnInterfaceThread();
    QFuture<void> start(const std::function<void()>& work);
    bool runStatement(QSqlDatabase& db, const QString& query, const QVariantList& params,
                      QVariantList& rows);

    ValueCipher m_cipher;
    std::shared_ptr<Registry> m_registry;
    QMutex m_futuresMutex;
    QList<QFuture<void>> m_futures;
};
