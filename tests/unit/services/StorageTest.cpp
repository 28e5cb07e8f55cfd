#include "Storage.h"
#include "ValueCipher.h"

#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <csignal>

namespace {

// Reads the store's file through a connection of its own, as any other
// program would see it.
class OutsideView
{
public:
    explicit OutsideView(const QString& path)
        : m_name(QStringLiteral("outside-%1").arg(++s_serial))
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
        m_ok = db.open();
    }
    ~OutsideView() { QSqlDatabase::removeDatabase(m_name); }

    bool isOk() const { return m_ok; }

    // Rows of a query, each as a list of its column values.
    QList<QVariantList> rows(const QString& text) const
    {
        QList<QVariantList> result;
        QSqlQuery query(QSqlDatabase::database(m_name, false));
        if (!query.exec(text)) {
            qWarning() << "outside query failed:" << text << query.lastError().text();
            return result;
        }
        while (query.next()) {
            QVariantList row;
            for (int i = 0; i < query.record().count(); ++i)
                row.append(query.value(i));
            result.append(row);
        }
        return result;
    }

    // The stored (shifted key -> cipher text) pairs.
    QMap<QString, QString> storedValues() const
    {
        QMap<QString, QString> result;
        for (const QVariantList& row : rows(QStringLiteral("select key, value from stored_values")))
            result.insert(row.at(0).toString(), row.at(1).toString());
        return result;
    }

private:
    static int s_serial;
    QString m_name;
    bool m_ok = false;
};
int OutsideView::s_serial = 0;

// Collects the store's answers on the test's thread, as the dispatcher does:
// the store emits on pool threads and the connection queues the answers.
class Answers : public QObject
{
    Q_OBJECT
public:
    explicit Answers(Storage* storage)
    {
        connect(storage, &Storage::invokeJSCall, this, &Answers::received);
    }

    struct Answer
    {
        QString name;
        QVariantMap data;
    };

    QList<Answer> all;

    // Waits for the answer of `uuid` (bounded).
    Answer waitFor(const QString& uuid)
    {
        for (int round = 0; round < 200; ++round) {
            for (const Answer& a : qAsConst(all)) {
                if (a.data.value(QStringLiteral("uuid")).toString() == uuid)
                    return a;
            }
            QTest::qWait(50);
        }
        return Answer();
    }

private slots:
    void received(const QString& name, const QVariantMap& data) { all.append(Answer{name, data}); }
};

QVariantMap itemsOf(const QString& prefix, int count)
{
    QVariantMap items;
    for (int i = 0; i < count; ++i)
        items.insert(prefix + QString::number(i), QStringLiteral("value of %1%2").arg(prefix).arg(i));
    return items;
}

} // namespace

class StorageTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void keyShift_data();
    void keyShift();
    void missingAndEmptyValues();
    void fileHoldsShiftedKeysAndCipherText();
    void saveItemsAsWorker();
    void loadItemsReturnsOnlyFoundKeys();
    void getKeysPatterns_data();
    void getKeysPatterns();
    void unusualKeys_data();
    void unusualKeys();
    void longKeyLists();
    void sqlStatements();
    void batchFailureKeepsEarlierRuns();
    void transactions();
    void commandsBeforeOpenFail();
    void workerWriteWaitsForAnotherWriter();
    void workerCommandsJoinPageTransaction_data();
    void workerCommandsJoinPageTransaction();
    void privateDatabaseKeepsWorkersOnInterfaceThread_data();
    void privateDatabaseKeepsWorkersOnInterfaceThread();
    void reopenSwitchesFile();
    void concurrentCommands();
    void killedDuringLargeSave();

private:
    QString m_path;
    QTemporaryDir* m_dir = nullptr;
    Storage* m_storage = nullptr;
};

void StorageTest::init()
{
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
    m_path = m_dir->filePath(QStringLiteral("temp"));
    m_storage = new Storage;
    QVERIFY(m_storage->open(m_path));
}

void StorageTest::cleanup()
{
    delete m_storage;
    m_storage = nullptr;
    delete m_dir;
    m_dir = nullptr;
}

void StorageTest::keyShift_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("stored");

    QTest::newRow("letter") << QStringLiteral("a") << QStringLiteral("d");
    QTest::newRow("dollar becomes quote") << QStringLiteral("$") << QStringLiteral("'");
    QTest::newRow("quote") << QStringLiteral("'") << QStringLiteral("*");
    QTest::newRow("empty") << QStringLiteral("") << QStringLiteral("");
    QTest::newRow("wraps at 65536") << QString(QChar(0xFFFE)) << QString(QChar(0x0001));
    QTest::newRow("non-Latin") << QString::fromUtf8("é") << QString(QChar(0x00EC));
}

void StorageTest::keyShift()
{
    QFETCH(QString, key);
    QFETCH(QString, stored);
    QCOMPARE(Storage::shiftKey(key), stored);
    QCOMPARE(Storage::unshiftKey(stored), key);
}

void StorageTest::missingAndEmptyValues()
{
    QVERIFY(m_storage->loadDBItem(QStringLiteral("never")).isNull());

    QVERIFY(m_storage->saveDBItem(QStringLiteral("blank"), QStringLiteral("")));
    const QString blank = m_storage->loadDBItem(QStringLiteral("blank"));
    QVERIFY(!blank.isNull());
    QVERIFY(blank.isEmpty());

    // A value that is not cipher text reads as an empty string, not as absent.
    {
        OutsideView outside(m_path);
        outside.rows(QStringLiteral("insert into stored_values values ('iruhljq', 'not cipher text')"));
    }
    const QString foreign = m_storage->loadDBItem(QStringLiteral("foreign"));
    QVERIFY(!foreign.isNull());
    QVERIFY(foreign.isEmpty());
}

void StorageTest::fileHoldsShiftedKeysAndCipherText()
{
    const QString accented = QString::fromUtf8("Grüße, 東京");
    QVERIFY(m_storage->saveDBItem(QStringLiteral("a"), QStringLiteral("first")));
    QVERIFY(m_storage->saveDBItem(QStringLiteral("a"), QStringLiteral("x")));
    QVERIFY(m_storage->saveDBItem(QStringLiteral("b"), accented));

    OutsideView outside(m_path);
    const QMap<QString, QString> stored = outside.storedValues();
    QCOMPARE(stored.keys(), (QStringList{QStringLiteral("d"), QStringLiteral("e")}));
    const QString cipherText = stored.value(QStringLiteral("d"));
    QVERIFY(cipherText != QLatin1String("x"));
    QVERIFY(!QByteArray::fromBase64(cipherText.toLatin1(), QByteArray::AbortOnBase64DecodingErrors)
                 .isEmpty());
    const ValueCipher cipher(ValueCipher::storeKey());
    QCOMPARE(cipher.decryptText(cipherText), QStringLiteral("x"));
    QCOMPARE(m_storage->loadDBItem(QStringLiteral("a")), QStringLiteral("x"));
    QCOMPARE(m_storage->loadDBItem(QStringLiteral("b")), accented);
}

void StorageTest::saveItemsAsWorker()
{
    Answers answers(m_storage);
    QThread* emittingThread = nullptr;
    connect(m_storage, &Storage::invokeJSCall, this,
            [&emittingThread]() { emittingThread = QThread::currentThread(); }, Qt::DirectConnection);

    QVariantMap items;
    items.insert(QStringLiteral("number"), 3.5);
    items.insert(QStringLiteral("text"), QStringLiteral("hello"));
    items.insert(QStringLiteral("whole"), 7);
    m_storage->startSaveDBItems(QStringLiteral("u1"), items);

    const Answers::Answer answer = answers.waitFor(QStringLiteral("u1"));
    QCOMPARE(answer.name, QStringLiteral("saveDBItemsDone"));
    QCOMPARE(answer.data, (QVariantMap{{QStringLiteral("uuid"), QStringLiteral("u1")}}));
    QVERIFY(emittingThread != nullptr);
    QVERIFY(emittingThread != QThread::currentThread());

    QCOMPARE(m_storage->loadDBItem(QStringLiteral("number")), QStringLiteral("3.5"));
    QCOMPARE(m_storage->loadDBItem(QStringLiteral("text")), QStringLiteral("hello"));
    QCOMPARE(m_storage->loadDBItem(QStringLiteral("whole")), QStringLiteral("7"));
}

void StorageTest::loadItemsReturnsOnlyFoundKeys()
{
    Answers answers(m_storage);
    QVERIFY(m_storage->saveDBItem(QStringLiteral("one"), QStringLiteral("1")));
    QVERIFY(m_storage->saveDBItem(QStringLiteral("two"), QStringLiteral("")));

    m_storage->startLoadDBItems(QStringLiteral("load"),
                                {QStringLiteral("one"), QStringLiteral("missing"), QStringLiteral("two")});
    Answers::Answer answer = answers.waitFor(QStringLiteral("load"));
    QCOMPARE(answer.name, QStringLiteral("loadDBItemsDone"));
    const QVariantMap expected{{QStringLiteral("one"), QStringLiteral("1")},
                               {QStringLiteral("two"), QStringLiteral("")}};
    QCOMPARE(answer.data.value(QStringLiteral("data")).toMap(), expected);

    m_storage->startLoadDBItems(QStringLiteral("none"), {});
    answer = answers.waitFor(QStringLiteral("none"));
    QCOMPARE(answer.name, QStringLiteral("loadDBItemsDone"));
    QVERIFY(answer.data.contains(QStringLiteral("data")));
    QVERIFY(answer.data.value(QStringLiteral("data")).toMap().isEmpty());
}

void StorageTest::getKeysPatterns_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QStringList>("expected");

    // Keys in the store: see getKeysPatterns().
    QTest::newRow("substring") << QStringLiteral("ab") << QStringList{QStringLiteral("ab"), QStringLiteral("xaby")};
    QTest::newRow("empty pattern, every key")
        << QStringLiteral("")
        << QStringList{QStringLiteral("50%"), QStringLiteral("a_c"), QStringLiteral("ab"), QStringLiteral("a-c"),
                       QStringLiteral("xaby")};
    QTest::newRow("percent is literal") << QStringLiteral("%") << QStringList{QStringLiteral("50%")};
    QTest::newRow("underscore is literal") << QStringLiteral("a_") << QStringList{QStringLiteral("a_c")};
    QTest::newRow("double quote acts as percent")
        << QStringLiteral("a\"c") << QStringList{QStringLiteral("a-c"), QStringLiteral("a_c")};
    QTest::newRow("backslash acts as underscore")
        << QStringLiteral("a\\c") << QStringList{QStringLiteral("a-c"), QStringLiteral("a_c")};
    QTest::newRow("no match") << QStringLiteral("zz") << QStringList{};
}

void StorageTest::getKeysPatterns()
{
    QFETCH(QString, pattern);
    QFETCH(QStringList, expected);

    for (const char* key : {"ab", "xaby", "50%", "a_c", "a-c"})
        QVERIFY(m_storage->saveDBItem(QLatin1String(key), QStringLiteral("v")));

    Answers answers(m_storage);
    m_storage->startGetDBKeys(QStringLiteral("keys"), pattern);
    const Answers::Answer answer = answers.waitFor(QStringLiteral("keys"));
    QCOMPARE(answer.name, QStringLiteral("getDBKeysFinish"));
    QStringList keys = answer.data.value(QStringLiteral("data")).toStringList();
    keys.sort();
    expected.sort();
    QCOMPARE(keys, expected);
}

void StorageTest::unusualKeys_data()
{
    QTest::addColumn<QString>("key");
    QTest::newRow("dollar") << QStringLiteral("price$");
    QTest::newRow("single quote") << QStringLiteral("O'Brien");
    QTest::newRow("empty") << QStringLiteral("");
    QTest::newRow("injection attempt") << QStringLiteral("a$) or 1=1 --");
}

void StorageTest::unusualKeys()
{
    QFETCH(QString, key);
    Answers answers(m_storage);
    QVERIFY(m_storage->saveDBItem(QStringLiteral("bystander"), QStringLiteral("stays")));
    QVERIFY(m_storage->saveDBItem(key, QStringLiteral("v")));
    QCOMPARE(m_storage->loadDBItem(key), QStringLiteral("v"));

    m_storage->startLoadDBItems(QStringLiteral("load"), {key, QStringLiteral("bystander")});
    const Answers::Answer loaded = answers.waitFor(QStringLiteral("load"));
    const QVariantMap expected{{key, QStringLiteral("v")}, {QStringLiteral("bystander"), QStringLiteral("stays")}};
    QCOMPARE(loaded.data.value(QStringLiteral("data")).toMap(), expected);

    QVERIFY(m_storage->removeDBItems({key}));
    QVERIFY(m_storage->loadDBItem(key).isNull());
    QCOMPARE(m_storage->loadDBItem(QStringLiteral("bystander")), QStringLiteral("stays"));
}

void StorageTest::longKeyLists()
{
    // More keys than one statement may bind: split statements, same result.
    const QVariantMap items = itemsOf(QStringLiteral("k"), 2500);
    Answers answers(m_storage);
    m_storage->startSaveDBItems(QStringLiteral("save"), items);
    QCOMPARE(answers.waitFor(QStringLiteral("save")).name, QStringLiteral("saveDBItemsDone"));

    QStringList keys = items.keys();
    keys.append(QStringLiteral("missing"));
    m_storage->startLoadDBItems(QStringLiteral("load"), keys);
    QCOMPARE(answers.waitFor(QStringLiteral("load")).data.value(QStringLiteral("data")).toMap(), items);

    keys.removeLast();
    const QStringList removed = keys.mid(0, 2000);
    QVERIFY(m_storage->removeDBItems(removed));
    OutsideView outside(m_path);
    QCOMPARE(outside.rows(QStringLiteral("select count(*) from stored_values")).value(0).value(0).toInt(), 500);
    QVERIFY(m_storage->loadDBItem(removed.last()).isNull());
    QCOMPARE(m_storage->loadDBItem(keys.last()), items.value(keys.last()).toString());
}

void StorageTest::sqlStatements()
{
    QVariantList rows;
    QVERIFY(m_storage->dbSql(QStringLiteral("select 1 as one"), {}, rows));
    QCOMPARE(rows, (QVariantList{QVariantMap{{QStringLiteral("one"), 1}}}));

    rows.clear();
    QVERIFY(m_storage->dbSql(QStringLiteral("create table notes(id integer primary key, body text)"), {}, rows));
    QVERIFY(rows.isEmpty());
    QVERIFY(m_storage->dbSql(QStringLiteral("insert into notes values (?, ?)"), {1, QStringLiteral("it's")}, rows));
    QVERIFY(m_storage->dbSql(QStringLiteral("insert into notes values (?, ?)"), {2, QVariant()}, rows));
    QVERIFY(m_storage->dbSql(QStringLiteral("select id, body from notes where id >= ? order by id"), {1}, rows));
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows.at(0).toMap(), (QVariantMap{{QStringLiteral("id"), 1}, {QStringLiteral("body"), QStringLiteral("it's")}}));
    QVERIFY(rows.at(1).toMap().value(QStringLiteral("body")).isNull());

    rows.clear();
    QVERIFY(!m_storage->dbSql(QStringLiteral("selec nothing"), {}, rows));
    QVERIFY(!m_storage->dbSql(QStringLiteral("select * from missing_table"), {}, rows));
    QVERIFY(rows.isEmpty());

    QVariantList results;
    QVERIFY(m_storage->dbSqlBatch(QStringLiteral("select body from notes where id = ?"),
                                  {QVariantList{1}, QVariantList{3}}, results));
    QCOMPARE(results, (QVariantList{QVariantList{QVariantMap{{QStringLiteral("body"), QStringLiteral("it's")}}},
                                    QVariantList{}}));
}

void StorageTest::batchFailureKeepsEarlierRuns()
{
    QVariantList rows;
    QVERIFY(m_storage->dbSql(QStringLiteral("create table t(id integer primary key)"), {}, rows));
    QVariantList results;
    QVERIFY(!m_storage->dbSqlBatch(QStringLiteral("insert into t values (?)"),
                                   {QVariantList{1}, QVariantList{1}, QVariantList{2}}, results));

    OutsideView outside(m_path);
    QCOMPARE(outside.rows(QStringLiteral("select id from t")), (QList<QVariantList>{QVariantList{1}}));
}

void StorageTest::transactions()
{
    QVariantList rows;
    QVERIFY(m_storage->dbSql(QStringLiteral("create table t(id integer)"), {}, rows));

    QVERIFY(m_storage->dbTransaction());
    QVERIFY(m_storage->dbSql(QStringLiteral("insert into t values (1)"), {}, rows));
    QVERIFY(m_storage->saveDBItem(QStringLiteral("k"), QStringLiteral("in transaction")));
    QVERIFY(m_storage->dbRollback());
    QVERIFY(!m_storage->dbRollback());
    QVERIFY(!m_storage->dbCommit());

    {
        OutsideView outside(m_path);
        QVERIFY(outside.rows(QStringLiteral("select id from t")).isEmpty());
        QVERIFY(outside.storedValues().isEmpty());
    }

    QVERIFY(m_storage->dbTransaction());
    QVERIFY(m_storage->dbSql(QStringLiteral("insert into t values (2)"), {}, rows));
    QVERIFY(m_storage->saveDBItem(QStringLiteral("k"), QStringLiteral("committed")));
    QVERIFY(m_storage->dbCommit());

    OutsideView outside(m_path);
    QCOMPARE(outside.rows(QStringLiteral("select id from t")), (QList<QVariantList>{QVariantList{2}}));
    QCOMPARE(m_storage->loadDBItem(QStringLiteral("k")), QStringLiteral("committed"));
}

void StorageTest::commandsBeforeOpenFail()
{
    Storage closed;
    QVERIFY(!closed.isOpen());
    QVERIFY(!closed.dbTransaction());
    QVERIFY(!closed.dbCommit());
    QVERIFY(!closed.dbRollback());
    QVERIFY(!closed.saveDBItem(QStringLiteral("a"), QStringLiteral("b")));
    QVERIFY(closed.loadDBItem(QStringLiteral("a")).isNull());
    QVERIFY(!closed.removeDBItems({QStringLiteral("a")}));
    QVariantList rows;
    QVERIFY(!closed.dbSql(QStringLiteral("select 1"), {}, rows));
    QVERIFY(!closed.dbSqlBatch(QStringLiteral("select 1"), {QVariantList{}}, rows));

    Answers answers(&closed);
    closed.startSaveDBItems(QStringLiteral("s"), {{QStringLiteral("a"), 1}});
    closed.startLoadDBItems(QStringLiteral("l"), {QStringLiteral("a")});
    closed.startGetDBKeys(QStringLiteral("g"), QString());
    QCOMPARE(answers.waitFor(QStringLiteral("s")).name, QStringLiteral("saveDBItemsError"));
    const Answers::Answer loaded = answers.waitFor(QStringLiteral("l"));
    QCOMPARE(loaded.name, QStringLiteral("loadDBItemsDone"));
    QVERIFY(loaded.data.value(QStringLiteral("data")).toMap().isEmpty());
    const Answers::Answer keys = answers.waitFor(QStringLiteral("g"));
    QCOMPARE(keys.name, QStringLiteral("getDBKeysError"));
    QVERIFY(!keys.data.contains(QStringLiteral("data")));

    // A failed open leaves the store closed, also when it was open before.
    QVERIFY(!m_storage->open(m_dir->filePath(QStringLiteral("no/such/dir/temp"))));
    QVERIFY(!m_storage->isOpen());
    QVERIFY(!m_storage->dbTransaction());
    QVERIFY(!m_storage->saveDBItem(QStringLiteral("a"), QStringLiteral("b")));
}

void StorageTest::workerWriteWaitsForAnotherWriter()
{
    Answers answers(m_storage);
    const QString other = QStringLiteral("other-writer");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), other);
        db.setDatabaseName(m_path);
        QVERIFY(db.open());
        QSqlQuery query(db);
        QVERIFY(query.exec(QStringLiteral("BEGIN IMMEDIATE")));
        QVERIFY(query.exec(QStringLiteral("insert into stored_values values ('vrphrqh', 'x')")));
    }

    m_storage->startSaveDBItems(QStringLiteral("worker"), itemsOf(QStringLiteral("w"), 10));
    // While the other connection holds the write lock the worker waits; it
    // must not give up with an error.
    QTest::qWait(300);
    QVERIFY(answers.all.isEmpty());

    QVERIFY(QSqlQuery(QSqlDatabase::database(other, false)).exec(QStringLiteral("COMMIT")));
    QSqlDatabase::removeDatabase(other);
    QCOMPARE(answers.waitFor(QStringLiteral("worker")).name, QStringLiteral("saveDBItemsDone"));
    QVERIFY(!m_storage->loadDBItem(QStringLiteral("someone")).isNull());
    QCOMPARE(m_storage->loadDBItem(QStringLiteral("w9")), QStringLiteral("value of w9"));
}

void StorageTest::workerCommandsJoinPageTransaction_data()
{
    QTest::addColumn<bool>("byStatement");  // begun and ended with dbSql
    QTest::addColumn<bool>("commit");

    QTest::newRow("commit") << false << true;
    QTest::newRow("rollback") << false << false;
    QTest::newRow("statements, commit") << true << true;
    QTest::newRow("statements, rollback") << true << false;
}

void StorageTest::workerCommandsJoinPageTransaction()
{
    QFETCH(bool, byStatement);
    QFETCH(bool, commit);

    Answers answers(m_storage);
    QList<QThread*> emittingThreads;
    connect(m_storage, &Storage::invokeJSCall, this,
            [&emittingThreads]() { emittingThreads.append(QThread::currentThread()); }, Qt::DirectConnection);
    QVariantList rows;
    // Refuses one key, so that a batch holding it fails after its first row.
    QVERIFY(m_storage->dbSql(QStringLiteral("create trigger refuse before insert on stored_values "
                                            "when new.key = '%1' begin select raise(abort, 'refused'); end")
                                 .arg(Storage::shiftKey(QStringLiteral("refused"))),
                             {}, rows));
    QVERIFY(m_storage->saveDBItem(QStringLiteral("before"), QStringLiteral("b")));

    if (byStatement)
        QVERIFY(m_storage->dbSql(QStringLiteral("begin"), {}, rows));
    else
        QVERIFY(m_storage->dbTransaction());
    QVERIFY(m_storage->saveDBItem(QStringLiteral("page"), QStringLiteral("p")));

    const QVariantMap items = itemsOf(QStringLiteral("w"), 3);
    QFuture<void> save = m_storage->startSaveDBItems(QStringLiteral("save"), items);
    m_storage->startSaveDBItems(QStringLiteral("failing"),
                                {{QStringLiteral("a-first"), 1}, {QStringLiteral("refused"), 2}});
    m_storage->startLoadDBItems(QStringLiteral("load"), {QStringLiteral("page"), QStringLiteral("w2"),
                                                         QStringLiteral("a-first"), QStringLiteral("before")});
    m_storage->startGetDBKeys(QStringLiteral("keys"), QString());
    // Queued: nothing has answered within the calls.
    QVERIFY(answers.all.isEmpty());
    QVERIFY(!save.isFinished());

    QCOMPARE(answers.waitFor(QStringLiteral("save")).name, QStringLiteral("saveDBItemsDone"));
    QVERIFY(save.isFinished());
    QCOMPARE(answers.waitFor(QStringLiteral("failing")).name, QStringLiteral("saveDBItemsError"));
    const Answers::Answer loaded = answers.waitFor(QStringLiteral("load"));
    QCOMPARE(loaded.name, QStringLiteral("loadDBItemsDone"));
    QCOMPARE(loaded.data.value(QStringLiteral("data")).toMap(),
             (QVariantMap{{QStringLiteral("page"), QStringLiteral("p")},
                          {QStringLiteral("w2"), QStringLiteral("value of w2")},
                          {QStringLiteral("before"), QStringLiteral("b")}}));
    const Answers::Answer keys = answers.waitFor(QStringLiteral("keys"));
    QCOMPARE(keys.name, QStringLiteral("getDBKeysFinish"));
    QStringList keyList = keys.data.value(QStringLiteral("data")).toStringList();
    keyList.sort();
    QCOMPARE(keyList, (QStringList{QStringLiteral("before"), QStringLiteral("page"), QStringLiteral("w0"),
                                   QStringLiteral("w1"), QStringLiteral("w2")}));
    QCoreApplication::processEvents();
    QCOMPARE(answers.all.size(), 4);
    QCOMPARE(emittingThreads.size(), 4);
    QCOMPARE(emittingThreads.count(QThread::currentThread()), 4);

    // Still inside the page's transaction: nothing is visible outside yet.
    {
        OutsideView outside(m_path);
        QCOMPARE(outside.storedValues().keys(), QStringList{Storage::shiftKey(QStringLiteral("before"))});
    }
    if (byStatement)
        QVERIFY(m_storage->dbSql(commit ? QStringLiteral("commit") : QStringLiteral("rollback"), {}, rows));
    else
        QVERIFY(commit ? m_storage->dbCommit() : m_storage->dbRollback());

    QStringList expected{QStringLiteral("before")};
    if (commit)
        expected << QStringLiteral("page") << items.keys();
    {
        OutsideView outside(m_path);
        QStringList stored;
        for (const QString& key : outside.storedValues().keys())
            stored.append(Storage::unshiftKey(key));
        stored.sort();
        QCOMPARE(stored, expected);
    }

    // Outside a transaction the worker commands are back on the pool.
    emittingThreads.clear();
    m_storage->startLoadDBItems(QStringLiteral("after"), {QStringLiteral("w0")});
    QCOMPARE(answers.waitFor(QStringLiteral("after")).data.value(QStringLiteral("data")).toMap().size(),
             commit ? 1 : 0);
    QCOMPARE(emittingThreads.size(), 1);
    QVERIFY(emittingThreads.at(0) != QThread::currentThread());
}

void StorageTest::privateDatabaseKeepsWorkersOnInterfaceThread_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("empty path") << QString();
    QTest::newRow("in memory") << QStringLiteral(":memory:");
}

void StorageTest::privateDatabaseKeepsWorkersOnInterfaceThread()
{
    QFETCH(QString, path);
    QVERIFY(m_storage->open(path));
    Answers answers(m_storage);
    QList<QThread*> emittingThreads;
    connect(m_storage, &Storage::invokeJSCall, this,
            [&emittingThreads]() { emittingThreads.append(QThread::currentThread()); }, Qt::DirectConnection);

    QVERIFY(m_storage->saveDBItem(QStringLiteral("ui"), QStringLiteral("u")));
    m_storage->startSaveDBItems(QStringLiteral("save"), {{QStringLiteral("worker"), QStringLiteral("w")}});
    m_storage->startLoadDBItems(QStringLiteral("load"), {QStringLiteral("ui"), QStringLiteral("worker")});
    m_storage->startGetDBKeys(QStringLiteral("keys"), QString());
    QVERIFY(answers.all.isEmpty());

    QCOMPARE(answers.waitFor(QStringLiteral("save")).name, QStringLiteral("saveDBItemsDone"));
    QCOMPARE(answers.waitFor(QStringLiteral("load")).data.value(QStringLiteral("data")).toMap(),
             (QVariantMap{{QStringLiteral("ui"), QStringLiteral("u")}, {QStringLiteral("worker"), QStringLiteral("w")}}));
    QStringList keys = answers.waitFor(QStringLiteral("keys")).data.value(QStringLiteral("data")).toStringList();
    keys.sort();
    QCOMPARE(keys, (QStringList{QStringLiteral("ui"), QStringLiteral("worker")}));
    QCOMPARE(m_storage->loadDBItem(QStringLiteral("worker")), QStringLiteral("w"));
    QCoreApplication::processEvents();
    QCOMPARE(emittingThreads.size(), 3);
    QCOMPARE(emittingThreads.count(QThread::currentThread()), 3);
}

void StorageTest::reopenSwitchesFile()
{
    Answers answers(m_storage);
    // Let pool threads hold connections to the first file.
    m_storage->startSaveDBItems(QStringLiteral("first"), {{QStringLiteral("a"), QStringLiteral("1")}});
    QCOMPARE(answers.waitFor(QStringLiteral("first")).name, QStringLiteral("saveDBItemsDone"));

    const QString second = m_dir->filePath(QStringLiteral("second"));
    QVERIFY(m_storage->open(second));
    QCOMPARE(m_storage->path(), second);
    for (int i = 0; i < 4; ++i)
        m_storage->startSaveDBItems(QStringLiteral("s%1").arg(i), {{QStringLiteral("b%1").arg(i), i}});
    for (int i = 0; i < 4; ++i)
        QCOMPARE(answers.waitFor(QStringLiteral("s%1").arg(i)).name, QStringLiteral("saveDBItemsDone"));
    QVERIFY(m_storage->loadDBItem(QStringLiteral("a")).isNull());

    OutsideView first(m_path);
    QCOMPARE(first.storedValues().keys(), QStringList{QStringLiteral("d")});
    OutsideView other(second);
    QCOMPARE(other.storedValues().size(), 4);
}

void StorageTest::concurrentCommands()
{
    Answers answers(m_storage);
    QVariantList rows;
    QVERIFY(m_storage->dbSql(QStringLiteral("create table log(n integer)"), {}, rows));

    // Worker commands and interface-thread commands at the same time.
    constexpr int Rounds = 40;
    QStringList uuids;
    for (int r = 0; r < Rounds; ++r) {
        const QString prefix = QStringLiteral("r%1-").arg(r);
        uuids << prefix + QStringLiteral("save") << prefix + QStringLiteral("load") << prefix + QStringLiteral("keys");
        m_storage->startSaveDBItems(prefix + QStringLiteral("save"), itemsOf(prefix, 50));
        m_storage->startLoadDBItems(prefix + QStringLiteral("load"), {prefix + QStringLiteral("0")});
        m_storage->startGetDBKeys(prefix + QStringLiteral("keys"), prefix);

        QVERIFY(m_storage->saveDBItem(QStringLiteral("ui-%1").arg(r), QString::number(r)));
        QCOMPARE(m_storage->loadDBItem(QStringLiteral("ui-%1").arg(r)), QString::number(r));
        QVERIFY(m_storage->dbSql(QStringLiteral("insert into log values (?)"), {r}, rows));
        if (r % 2 == 1)
            QVERIFY(m_storage->removeDBItems({QStringLiteral("ui-%1").arg(r)}));
        QCoreApplication::processEvents();
    }
    for (const QString& uuid : qAsConst(uuids)) {
        const Answers::Answer answer = answers.waitFor(uuid);
        QVERIFY2(answer.name.endsWith(QLatin1String("Done")) || answer.name.endsWith(QLatin1String("Finish")),
                 qPrintable(uuid + QLatin1Char(' ') + answer.name));
    }
    QCoreApplication::processEvents();
    QCOMPARE(answers.all.size(), uuids.size());

    OutsideView outside(m_path);
    QCOMPARE(outside.rows(QStringLiteral("select count(*) from log")).value(0).value(0).toInt(), Rounds);
    const QMap<QString, QString> stored = outside.storedValues();
    QCOMPARE(stored.size(), Rounds * 50 + Rounds / 2);
    const ValueCipher cipher(ValueCipher::storeKey());
    for (int r = 0; r < Rounds; ++r) {
        const QString prefix = QStringLiteral("r%1-").arg(r);
        const QString key = prefix + QStringLiteral("49");
        QCOMPARE(cipher.decryptText(stored.value(Storage::shiftKey(key))), QStringLiteral("value of ") + key);
    }
}

void StorageTest::killedDuringLargeSave()
{
    const QString helper = QStringLiteral(DAVERI_STORAGE_CRASH_HELPER);
    delete m_storage;
    m_storage = nullptr;

    QCOMPARE(QProcess::execute(helper, {m_path, QStringLiteral("seed"), QStringLiteral("500")}), 0);

    QProcess flood;
    flood.start(helper, {m_path, QStringLiteral("flood"), QStringLiteral("30000")});
    QVERIFY(flood.waitForStarted());
    // Kill it while its third batch is being written: its transaction has a
    // journal on disk from the first written page until the commit.
    const QString journal = m_path + QStringLiteral("-journal");
    bool sawThirdBatch = false;
    while (!sawThirdBatch && flood.state() == QProcess::Running) {
        flood.waitForReadyRead(10000);
        while (flood.canReadLine())
            sawThirdBatch = sawThirdBatch || flood.readLine().trimmed() == "begin 2";
    }
    QVERIFY(sawThirdBatch);
    QDeadlineTimer deadline(20000);
    while (!QFile::exists(journal) && !deadline.hasExpired())
        QThread::usleep(200);
    ::kill(pid_t(flood.processId()), SIGKILL);
    QVERIFY(flood.waitForFinished());
    QCOMPARE(flood.exitStatus(), QProcess::CrashExit);
    const bool interruptedWrite = QFile::exists(journal);
    if (!interruptedWrite)
        qWarning("the helper was killed between two transactions");

    Storage reopened;
    QVERIFY(reopened.open(m_path));
    QVariantList rows;
    QVERIFY(reopened.dbSql(QStringLiteral("PRAGMA integrity_check"), {}, rows));
    QCOMPARE(rows, (QVariantList{QVariantMap{{QStringLiteral("integrity_check"), QStringLiteral("ok")}}}));
    QCOMPARE(reopened.loadDBItem(QStringLiteral("seed-0")), QStringLiteral("value-0"));
    QCOMPARE(reopened.loadDBItem(QStringLiteral("seed-499")), QStringLiteral("value-499"));

    // Each batch is there whole or not at all; the two finished ones are whole.
    OutsideView outside(m_path);
    const QMap<QString, QString> stored = outside.storedValues();
    int seeds = 0;
    QMap<int, int> perBatch;
    for (auto it = stored.constBegin(); it != stored.constEnd(); ++it) {
        const QString key = Storage::unshiftKey(it.key());
        if (key.startsWith(QLatin1String("seed-")))
            ++seeds;
        else
            ++perBatch[key.section(QLatin1Char('-'), 1, 1).toInt()];
    }
    QCOMPARE(seeds, 500);
    QVERIFY(perBatch.value(0) == 30000 && perBatch.value(1) == 30000);
    for (auto it = perBatch.constBegin(); it != perBatch.constEnd(); ++it)
        QVERIFY2(it.value() == 30000, qPrintable(QStringLiteral("batch %1 has %2 items").arg(it.key()).arg(it.value())));
    if (interruptedWrite)
        QVERIFY(!perBatch.contains(2));
}

QTEST_GUILESS_MAIN(StorageTest)
#include "StorageTest.moc"
