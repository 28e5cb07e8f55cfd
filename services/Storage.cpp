#include "Storage.h"

#include <QHash>
#include <QLoggingCategory>
#include <QMutexLocker>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QThread>
#include <QtConcurrent>

#include <functional>

Q_LOGGING_CATEGORY(lcStorage, "services.storage")

namespace {

const QString CreateTable =
    QStringLiteral("create table if not exists stored_values(key text primary key, value text)");
const QString ReplaceItem = QStringLiteral("replace into stored_values (key, value) values (?, ?)");
const QString SelectItem = QStringLiteral("select value from stored_values where key = ?");
const QString SelectItems = QStringLiteral("select key, value from stored_values where key IN (%1)");
const QString DeleteItems = QStringLiteral("delete from stored_values where key IN (%1)");
const QString SelectKeys = QStringLiteral("select key from stored_values where key LIKE :pattern");

// Keys are bound as parameters, one placeholder each. SQLite builds may cap
// the number of parameters of one statement at 999, and preparing a statement
// costs time growing with the square of its placeholders, so longer key
// lists are split into statements of this many keys inside one transaction.
constexpr int MaxKeysPerStatement = 250;

QString placeholders(int count)
{
    QString text;
    text.reserve(count * 3);
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            text += QLatin1String(", ");
        text += QLatin1Char('?');
    }
    return text;
}

// Runs `statement` (its %1 replaced by a list of placeholders) once per
// chunk of keys, with the chunk's stored keys bound, and hands every result
// row to onRow. Chunks of the same size share one prepared statement.
bool runForKeys(QSqlQuery& query, const QString& statement, const QStringList& keys,
                const std::function<void(const QSqlQuery&)>& onRow)
{
    query.setForwardOnly(true);
    int preparedFor = -1;
    for (int first = 0; first < keys.size(); first += MaxKeysPerStatement) {
        const int count = qMin(MaxKeysPerStatement, keys.size() - first);
        if (count != preparedFor) {
            if (!query.prepare(statement.arg(placeholders(count))))
                return false;
            preparedFor = count;
        }
        for (int i = 0; i < count; ++i)
            query.bindValue(i, Storage::shiftKey(keys.at(first + i)));
        if (!query.exec())
            return false;
        while (query.next())
            onRow(query);
    }
    return true;
}

QString nonNull(const QString& text)
{
    return text.isNull() ? QStringLiteral("") : text;
}

// Whether `db` is inside a transaction. SQLite refuses BEGIN within one; a
// BEGIN it accepts is deferred, takes no lock, and is ended at once.
bool inTransaction(const QSqlDatabase& db)
{
    QSqlQuery probe(db);
    if (!probe.exec(QStringLiteral("BEGIN")))
        return true;
    probe.exec(QStringLiteral("COMMIT"));
    return false;
}

// A path SQLite opens as a database private to its connection.
bool isPrivateDatabase(const QString& path)
{
    return path.isEmpty() || path == QLatin1String(":memory:");
}

QVariantMap answer(const QString& uuid)
{
    QVariantMap data;
    data.insert(QStringLiteral("uuid"), uuid);
    return data;
}

} // namespace

// The connections of one store. It is shared with the handlers that drop a
// thread's connection when the thread ends, so it outlives the store when a
// thread ends during the store's destruction.
struct Storage::Registry
{
    struct Entry
    {
        QString name;
        quint64 generation = 0;
    };

    QMutex mutex;
    QString path;
    bool opened = false;
    quint64 generation = 0;
    quint64 serial = 0;
    QHash<QThread*, Entry> entries;
    QHash<QThread*, QMetaObject::Connection> watchers;

    // Drops the connection of `thread`, called on that thread (or, for a
    // thread that is not running any operation, by the destructor).
    void dropLocked(QThread* thread)
    {
        const auto it = entries.find(thread);
        if (it == entries.end())
            return;
        const QString name = it->name;
        entries.erase(it);
        QSqlDatabase::removeDatabase(name);
    }
};

Storage::Storage(QObject* parent)
    : QObject(parent)
    , m_cipher(ValueCipher::storeKey())
    , m_registry(std::make_shared<Registry>())
{
}

Storage::~Storage()
{
    // The interface thread's connection goes first: closing it ends an open
    // page transaction, so a worker waiting for that lock can finish.
    closeConnectionOfCurrentThread();

    QList<QFuture<void>> futures;
    {
        QMutexLocker locker(&m_futuresMutex);
        futures.swap(m_futures);
    }
    for (QFuture<void>& future : futures)
        future.waitForFinished();

    // No operation runs any more; the connections of idle pool threads are
    // closed from here.
    QMutexLocker locker(&m_registry->mutex);
    for (const QMetaObject::Connection& watcher : qAsConst(m_registry->watchers))
        QObject::disconnect(watcher);
    m_registry->watchers.clear();
    const QList<QThread*> threads = m_registry->entries.keys();
    for (QThread* thread : threads)
        m_registry->dropLocked(thread);
    m_registry->opened = false;
}

bool Storage::open(const QString& path)
{
    {
        QMutexLocker locker(&m_registry->mutex);
        ++m_registry->generation;
        m_registry->path = path;
        m_registry->opened = true;
    }
    closeConnectionOfCurrentThread();

    QSqlDatabase db = connection();
    if (!db.isValid() || !db.isOpen()) {
        QMutexLocker locker(&m_registry->mutex);
        m_registry->opened = false;
        return false;
    }
    QSqlQuery query(db);
    if (!query.exec(CreateTable)) {
        qCWarning(lcStorage) << "Cannot create the table of the store:" << query.lastError().text();
        return false;
    }
    return true;
}

bool Storage::isOpen() const
{
    QMutexLocker locker(&m_registry->mutex);
    return m_registry->opened;
}

QString Storage::path() const
{
    QMutexLocker locker(&m_registry->mutex);
    return m_registry->path;
}

QSqlDatabase Storage::connection()
{
    QThread* const thread = QThread::currentThread();
    QMutexLocker locker(&m_registry->mutex);
    if (!m_registry->opened)
        return QSqlDatabase();

    const auto it = m_registry->entries.constFind(thread);
    if (it != m_registry->entries.constEnd()) {
        if (it->generation == m_registry->generation) {
            QSqlDatabase db = QSqlDatabase::database(it->name, false);
            if (db.isValid() && db.isOpen())
                return db;
        }
        // Left from an earlier open(), or closed: this thread drops it.
        m_registry->dropLocked(thread);
    }

    const QString name = QStringLiteral("daveri-storage-%1-%2-%3")
                             .arg(quintptr(this), 0, 16)
                             .arg(m_registry->generation)
                             .arg(++m_registry->serial);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(m_registry->path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(BusyTimeoutMs));
        if (!db.open()) {
            qCWarning(lcStorage) << "Cannot open" << m_registry->path << db.lastError().text();
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(name);
            return QSqlDatabase();
        }
    }
    m_registry->entries.insert(thread, Registry::Entry{name, m_registry->generation});

    // A pool thread that ends takes its connection with it; the handler runs
    // on the ending thread, the connection's own.
    if (!m_registry->watchers.contains(thread)) {
        std::weak_ptr<Registry> weak = m_registry;
        m_registry->watchers.insert(
            thread, QObject::connect(thread, &QThread::finished, thread, [weak, thread]() {
                const std::shared_ptr<Registry> registry = weak.lock();
                if (!registry)
                    return;
                QMutexLocker locker(&registry->mutex);
                registry->watchers.remove(thread);
                registry->dropLocked(thread);
            }, Qt::DirectConnection));
    }
    return QSqlDatabase::database(name, false);
}

void Storage::closeConnectionOfCurrentThread()
{
    QMutexLocker locker(&m_registry->mutex);
    m_registry->dropLocked(QThread::currentThread());
}

QString Storage::shiftKey(const QString& key)
{
    QString stored = key;
    for (QChar& c : stored)
        c = QChar(ushort(c.unicode() + 3));
    return stored;
}

QString Storage::unshiftKey(const QString& stored)
{
    QString key = stored;
    for (QChar& c : key)
        c = QChar(ushort(c.unicode() - 3));
    return key;
}

bool Storage::saveDBItem(const QString& key, const QString& value)
{
    QSqlDatabase db = connection();
    if (!db.isValid())
        return false;
    QSqlQuery query(db);
    if (!query.prepare(ReplaceItem))
        return false;
    query.addBindValue(shiftKey(key));
    query.addBindValue(m_cipher.encryptText(value));
    return query.exec();
}

QString Storage::loadDBItem(const QString& key)
{
    QSqlDatabase db = connection();
    if (!db.isValid())
        return QString();
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.prepare(SelectItem))
        return QString();
    query.addBindValue(shiftKey(key));
    if (!query.exec() || !query.next())
        return QString();
    return nonNull(m_cipher.decryptText(query.value(0).toString()));
}

void Storage::saveDBItems(const QString& uuid, const QVariantMap& items)
{
    bool ok = false;
    QSqlDatabase db = connection();
    if (db.isValid()) {
        QVariantList keys;
        QVariantList values;
        keys.reserve(items.size());
        values.reserve(items.size());
        for (auto it = items.constBegin(); it != items.constEnd(); ++it) {
            keys.append(shiftKey(it.key()));
            values.append(m_cipher.encryptText(it.value().toString()));
        }

        // Outside a transaction the whole batch is one transaction of its
        // own: after a crash either all of it is stored or none, and what was
        // stored before is untouched. It takes the write lock up front, so it
        // waits (busy timeout) for another writer rather than failing
        // half-way through. Inside a transaction the page holds on this
        // connection it is a savepoint instead: a failing batch is undone
        // whole, and the page's commit or rollback decides about the rest.
        QSqlQuery begin(db);
        bool nested = false;
        bool begun = begin.exec(QStringLiteral("BEGIN IMMEDIATE"));
        if (!begun && inTransaction(db)) {
            nested = true;
            begun = begin.exec(QStringLiteral("SAVEPOINT save_items"));
        }
        if (begun) {
            QSqlQuery query(db);
            ok = query.prepare(ReplaceItem);
            if (ok) {
                query.addBindValue(keys);
                query.addBindValue(values);
                ok = query.execBatch(QSqlQuery::ValuesAsRows);
            }
            const QString error = query.lastError().text();
            query.finish();
            QSqlQuery end(db);
            if (nested) {
                if (!ok)
                    end.exec(QStringLiteral("ROLLBACK TO save_items"));
                ok = end.exec(QStringLiteral("RELEASE save_items")) && ok;
            } else {
                if (ok)
                    ok = end.exec(QStringLiteral("COMMIT"));
                if (!ok)
                    QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
            }
            if (!ok)
                qCDebug(lcStorage) << "saveDBItems failed:" << error << end.lastError().text();
        } else {
            qCDebug(lcStorage) << "saveDBItems cannot begin:" << begin.lastError().text();
        }
    }
    emit invokeJSCall(ok ? QStringLiteral("saveDBItemsDone") : QStringLiteral("saveDBItemsError"),
                      answer(uuid));
}

void Storage::loadDBItems(const QString& uuid, const QStringList& keys)
{
    QVariantMap found;
    QSqlDatabase db = connection();
    if (db.isValid() && !keys.isEmpty()) {
        // Several statements read one snapshot. A savepoint nests inside a
        // transaction the page may have open on this connection.
        const bool chunked = keys.size() > MaxKeysPerStatement;
        QSqlQuery query(db);
        if (chunked)
            query.exec(QStringLiteral("SAVEPOINT load_items"));
        const bool ok = runForKeys(query, SelectItems, keys, [&](const QSqlQuery& row) {
            found.insert(unshiftKey(row.value(0).toString()),
                         nonNull(m_cipher.decryptText(row.value(1).toString())));
        });
        if (!ok)
            found.clear();
        query.finish();
        if (chunked)
            QSqlQuery(db).exec(QStringLiteral("RELEASE load_items"));
    }
    QVariantMap data = answer(uuid);
    data.insert(QStringLiteral("data"), found);
    emit invokeJSCall(QStringLiteral("loadDBItemsDone"), data);
}

bool Storage::removeDBItems(const QStringList& keys)
{
    QSqlDatabase db = connection();
    if (!db.isValid())
        return false;
    if (keys.isEmpty())
        return true;

    // A savepoint keeps a split removal atomic and nests inside a transaction
    // the page may have open on this connection.
    const bool chunked = keys.size() > MaxKeysPerStatement;
    QSqlQuery query(db);
    if (chunked && !query.exec(QStringLiteral("SAVEPOINT remove_items")))
        return false;
    bool ok = runForKeys(query, DeleteItems, keys, [](const QSqlQuery&) {});
    query.finish();
    if (chunked) {
        QSqlQuery end(db);
        if (!ok)
            end.exec(QStringLiteral("ROLLBACK TO remove_items"));
        ok = end.exec(QStringLiteral("RELEASE remove_items")) && ok;
    }
    return ok;
}

void Storage::getDBKeys(const QString& uuid, const QString& pattern)
{
    bool ok = false;
    QStringList keys;
    QSqlDatabase db = connection();
    if (db.isValid()) {
        QSqlQuery query(db);
        query.setForwardOnly(true);
        if (query.prepare(SelectKeys)) {
            query.bindValue(QStringLiteral(":pattern"),
                            QString(QLatin1Char('%') + shiftKey(pattern) + QLatin1Char('%')));
            ok = query.exec();
            while (ok && query.next())
                keys.append(unshiftKey(query.value(0).toString()));
        }
    }
    QVariantMap data = answer(uuid);
    if (ok)
        data.insert(QStringLiteral("data"), keys);
    emit invokeJSCall(ok ? QStringLiteral("getDBKeysFinish") : QStringLiteral("getDBKeysError"), data);
}

bool Storage::runStatement(QSqlDatabase& db, const QString& text, const QVariantList& params,
                           QVariantList& rows)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    bool ok = query.prepare(text);
    if (ok) {
        for (const QVariant& param : params)
            query.addBindValue(param);
        ok = query.exec();
    }
    if (!ok) {
        qDebug().noquote() << query.lastError().text();
        return false;
    }
    while (query.next()) {
        const QSqlRecord record = query.record();
        QVariantMap row;
        for (int i = 0; i < record.count(); ++i)
            row.insert(record.fieldName(i), record.value(i));
        rows.append(row);
    }
    return true;
}

bool Storage::dbSql(const QString& query, const QVariantList& params, QVariantList& rows)
{
    QSqlDatabase db = connection();
    if (!db.isValid())
        return false;
    return runStatement(db, query, params, rows);
}

bool Storage::dbSqlBatch(const QString& query, const QVariantList& paramLists, QVariantList& results)
{
    QSqlDatabase db = connection();
    if (!db.isValid())
        return false;
    for (const QVariant& params : paramLists) {
        QVariantList rows;
        if (!runStatement(db, query, params.toList(), rows))
            return false;
        results.append(QVariant(rows));
    }
    return true;
}

bool Storage::dbTransaction()
{
    QSqlDatabase db = connection();
    return db.isValid() && db.transaction();
}

bool Storage::dbCommit()
{
    QSqlDatabase db = connection();
    return db.isValid() && db.commit();
}

bool Storage::dbRollback()
{
    QSqlDatabase db = connection();
    return db.isValid() && db.rollback();
}

QFuture<void> Storage::track(const QFuture<void>& future)
{
    QMutexLocker locker(&m_futuresMutex);
    m_futures.erase(std::remove_if(m_futures.begin(), m_futures.end(),
                                   [](const QFuture<void>& f) { return f.isFinished(); }),
                    m_futures.end());
    m_futures.append(future);
    return future;
}

// Where a worker operation runs. Normally on the global thread pool, with the
// pool thread's own connection. On the store's own (interface) thread's
// connection instead, queued there so that it still answers after the call
// that started it has returned:
// - when the path names no shared file (empty, ":memory:"): every connection
//   has a database of its own, and only the interface thread's holds the
//   page's data;
// - while the interface thread's connection is inside a transaction the
//   page began: the operation then belongs to that transaction, sees its
//   uncommitted rows, and its writes are committed or rolled back with it.
// A call from another thread cannot look at the interface thread's
// connection; unless the database is private it goes to the pool.
bool Storage::runsOnInterfaceThread()
{
    {
        QMutexLocker locker(&m_registry->mutex);
        if (!m_registry->opened)
            return false;
        if (isPrivateDatabase(m_registry->path))
            return true;
    }
    if (QThread::currentThread() != thread())
        return false;
    const QSqlDatabase db = connection();
    return db.isValid() && inTransaction(db);
}

QFuture<void> Storage::start(const std::function<void()>& work)
{
    if (!runsOnInterfaceThread())
        return track(QtConcurrent::run(work));

    // The future finishes when the queued call has run, or is cancelled when
    // the store is destroyed first and the call is dropped with it.
    struct Completion
    {
        QFutureInterface<void> future;
        bool ran = false;
        Completion() { future.reportStarted(); }
        ~Completion()
        {
            if (!ran)
                future.reportCanceled();
            future.reportFinished();
        }
    };
    const auto completion = std::make_shared<Completion>();
    QMetaObject::invokeMethod(
        this,
        [work, completion]() {
            work();
            completion->ran = true;
        },
        Qt::QueuedConnection);
    return completion->future.future();
}

QFuture<void> Storage::startSaveDBItems(const QString& uuid, const QVariantMap& items)
{
    return start([this, uuid, items]() { saveDBItems(uuid, items); });
}

QFuture<void> Storage::startLoadDBItems(const QString& uuid, const QStringList& keys)
{
    return start([this, uuid, keys]() { loadDBItems(uuid, keys); });
}

QFuture<void> Storage::startGetDBKeys(const QString& uuid, const QString& pattern)
{
    return start([this, uuid, pattern]() { getDBKeys(uuid, pattern); });
}
