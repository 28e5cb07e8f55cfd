// The key-value store and SQL commands of the dispatcher. The synchronous
// commands answer before they return; saveDBItems, loadDBItems and getDBKeys
// are started by the store (on the global thread pool, or queued on this
// thread inside a page transaction) and answer later through onInvokeJSCall.
#include "JSInterface.h"

void JSInterface::saveDBItem(QString uuid, QString key, QString value)
{
    const bool ok = m_storage.saveDBItem(key, value);
    emitEvent(ok ? QStringLiteral("saveDBItemDone") : QStringLiteral("saveDBItemError"), withUuid(uuid));
}

void JSInterface::saveDBItems(QString uuid, QVariantMap items)
{
    m_storage.startSaveDBItems(uuid, items);
}

void JSInterface::loadDBItem(QString uuid, QString key)
{
    QVariantMap data = withUuid(uuid);
    const QString value = m_storage.loadDBItem(key);
    if (!value.isNull())
        data.insert(QStringLiteral("data"), value);
    emitEvent(QStringLiteral("loadDBItemDone"), data);
}

void JSInterface::loadDBItems(QString uuid, QStringList keys)
{
    m_storage.startLoadDBItems(uuid, keys);
}

void JSInterface::removeDBItems(QString uuid, QStringList keys)
{
    const bool ok = m_storage.removeDBItems(keys);
    emitEvent(ok ? QStringLiteral("removeDBItemsFinish") : QStringLiteral("removeDBItemsError"),
              withUuid(uuid));
}

void JSInterface::getDBKeys(QString uuid, QString pattern)
{
    m_storage.startGetDBKeys(uuid, pattern);
}

void JSInterface::dbSql(QString uuid, QString query, QVariantList data)
{
    QVariantList rows;
    QVariantMap answer = withUuid(uuid);
    if (m_storage.dbSql(query, data, rows)) {
        answer.insert(QStringLiteral("data"), rows);
        emitEvent(QStringLiteral("dbSqlDone"), answer);
    } else {
        emitEvent(QStringLiteral("dbSqlFail"), answer);
    }
}

void JSInterface::dbSqlBatch(QString uuid, QString query, QVariantList data)
{
    QVariantList results;
    QVariantMap answer = withUuid(uuid);
    if (m_storage.dbSqlBatch(query, data, results)) {
        answer.insert(QStringLiteral("data"), results);
        emitEvent(QStringLiteral("dbSqlBatchDone"), answer);
    } else {
        emitEvent(QStringLiteral("dbSqlBatchFail"), answer);
    }
}

void JSInterface::dbTransaction(QString uuid)
{
    emitEvent(m_storage.dbTransaction() ? QStringLiteral("dbTransactionFinish")
                                        : QStringLiteral("dbTransactionError"),
              withUuid(uuid));
}

void JSInterface::dbCommit(QString uuid)
{
    emitEvent(m_storage.dbCommit() ? QStringLiteral("dbCommitFinish") : QStringLiteral("dbCommitError"),
              withUuid(uuid));
}

void JSInterface::dbRollback(QString uuid)
{
    emitEvent(m_storage.dbRollback() ? QStringLiteral("dbRollbackFinish") : QStringLiteral("dbRollbackError"),
              withUuid(uuid));
}
