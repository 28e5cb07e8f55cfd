// The dispatcher's store and application commands: which event each answers
// with, whether it answers within the call, and what the event carries.
#include "JSInterface.h"
#include "PathsManager.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <functional>

class StorageCommandsTest : public QObject
{
    Q_OBJECT

private:
    struct Event
    {
        QString name;
        QVariantMap data;
        bool onInterfaceThread;
    };

    QTemporaryDir m_dir;
    QScopedPointer<JSInterface> m_dispatcher;
    QList<Event> m_events;

    // Runs a command and returns the events it emitted before returning.
    QList<Event> within(const std::function<void()>& command)
    {
        m_events.clear();
        command();
        return m_events;
    }

    // The single event answering `uuid`, waiting (bounded) for one that
    // comes later from a worker.
    Event later(const QString& uuid)
    {
        for (int round = 0; round < 200; ++round) {
            for (const Event& e : qAsConst(m_events)) {
                if (e.data.value(QStringLiteral("uuid")) == uuid)
                    return e;
            }
            QTest::qWait(25);
        }
        return Event{};
    }

    QVariantMap uuidOnly(const QString& uuid) { return QVariantMap{{QStringLiteral("uuid"), uuid}}; }

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        PathsManager::instance()->set(QStringLiteral("localStoragePath"), m_dir.path());
        m_dispatcher.reset(new JSInterface(nullptr, nullptr));
        m_events.clear();
        connect(m_dispatcher.data(), &JSInterface::invokeJSCall, this,
                [this](const QString& name, const QVariantMap& data) {
                    m_events.append(Event{name, data, QThread::currentThread() == thread()});
                });
    }

    void cleanup() { m_dispatcher.reset(); }

    void initializeOpensTheDefaultStore()
    {
        QList<Event> events = within([this] { m_dispatcher->initialize(QStringLiteral("i")); });
        QCOMPARE(events.size(), 1);
        QCOMPARE(events.at(0).name, QStringLiteral("initializeDone"));
        QVariantMap expected = uuidOnly(QStringLiteral("i"));
        expected.insert(QStringLiteral("version"), QVariantMap{{QStringLiteral("semver"), QStringLiteral("1.3.0")}});
        QCOMPARE(events.at(0).data, expected);
        QVERIFY(QFileInfo(m_dir.filePath(QStringLiteral("temp"))).isFile());

        PathsManager::instance()->set(QStringLiteral("localStoragePath"), m_dir.filePath(QStringLiteral("missing/dir")));
        events = within([this] { m_dispatcher->initialize(QStringLiteral("j")); });
        QCOMPARE(events.size(), 1);
        QCOMPARE(events.at(0).name, QStringLiteral("initializeError"));
        QCOMPARE(events.at(0).data, uuidOnly(QStringLiteral("j")));
    }

    void initializePluginAnswers_data()
    {
        QTest::addColumn<QString>("plugin");
        QTest::addColumn<QString>("event");
        QTest::addColumn<int>("code");  // 0: no code

        QTest::newRow("wrong letter case") << QStringLiteral("storage") << QStringLiteral("initializePluginFail") << 607;
        QTest::newRow("unknown name") << QStringLiteral("Printer") << QStringLiteral("initializePluginFail") << 607;
        QTest::newRow("empty name") << QString() << QStringLiteral("initializePluginFail") << 607;
        for (const char* ready : {"FileDownloader", "FileSystem", "Hardware", "Zip", "Archive"})
            QTest::newRow(ready) << QString(QLatin1String(ready)) << QStringLiteral("initializePluginDone") << 0;
        // Services that are not part of this shell yet refuse, without a code.
        for (const char* absent : {"AudioRecorder", "Camera", "Network"})
            QTest::newRow(absent) << QString(QLatin1String(absent)) << QStringLiteral("initializePluginFail") << 0;
    }

    void initializePluginAnswers()
    {
        QFETCH(QString, plugin);
        QFETCH(QString, event);
        QFETCH(int, code);
        const QList<Event> events =
            within([&] { m_dispatcher->initializePlugin(QStringLiteral("p"), plugin, QVariantMap()); });
        QCOMPARE(events.size(), 1);
        QCOMPARE(events.at(0).name, event);
        QVariantMap expected = uuidOnly(QStringLiteral("p"));
        if (code)
            expected.insert(QStringLiteral("code"), code);
        QCOMPARE(events.at(0).data, expected);
    }

    void storagePluginOpensTheGivenPath()
    {
        const QString path = m_dir.filePath(QStringLiteral("chosen.db"));
        QList<Event> events = within([&] {
            m_dispatcher->initializePlugin(QStringLiteral("s"), QStringLiteral("Storage"),
                                           QVariantMap{{QStringLiteral("path"), path}});
        });
        QCOMPARE(events.size(), 1);
        QCOMPARE(events.at(0).name, QStringLiteral("initializePluginDone"));
        QCOMPARE(events.at(0).data, uuidOnly(QStringLiteral("s")));
        QCOMPARE(m_dispatcher->storage()->path(), path);

        events = within([&] {
            m_dispatcher->initializePlugin(QStringLiteral("t"), QStringLiteral("Storage"),
                                           QVariantMap{{QStringLiteral("path"), m_dir.filePath(QStringLiteral("no/dir/x"))}});
        });
        QCOMPARE(events.at(0).name, QStringLiteral("initializePluginFail"));
        QCOMPARE(events.at(0).data, uuidOnly(QStringLiteral("t")));

        events = within([&] {
            m_dispatcher->initializePlugin(QStringLiteral("u"), QStringLiteral("Storage"), QVariantMap());
        });
        QCOMPARE(events.at(0).name, QStringLiteral("initializePluginDone"));
        QCOMPARE(m_dispatcher->storage()->path(), m_dir.filePath(QStringLiteral("temp")));
    }

    void synchronousCommandsAnswerWithinTheCall()
    {
        m_dispatcher->initialize(QStringLiteral("i"));
        QList<Event> events = within([this] { m_dispatcher->loadDBItem(QStringLiteral("l"), QStringLiteral("never")); });
        QCOMPARE(events.size(), 1);
        QCOMPARE(events.at(0).name, QStringLiteral("loadDBItemDone"));
        QCOMPARE(events.at(0).data, uuidOnly(QStringLiteral("l")));

        within([this] { m_dispatcher->saveDBItem(QStringLiteral("s"), QStringLiteral("k"), QString()); });
        events = within([this] { m_dispatcher->loadDBItem(QStringLiteral("l2"), QStringLiteral("k")); });
        QVERIFY(events.at(0).data.contains(QStringLiteral("data")));
        QCOMPARE(events.at(0).data.value(QStringLiteral("data")).toString(), QString());

        events = within([this] {
            m_dispatcher->dbSql(QStringLiteral("q"), QStringLiteral("select ? as a"), {QStringLiteral("x")});
        });
        QCOMPARE(events.at(0).name, QStringLiteral("dbSqlDone"));
        QCOMPARE(events.at(0).data.value(QStringLiteral("data")).toList(),
                 (QVariantList{QVariantMap{{QStringLiteral("a"), QStringLiteral("x")}}}));
        events = within([this] { m_dispatcher->dbSqlBatch(QStringLiteral("b"), QStringLiteral("nonsense"), {QVariantList{}}); });
        QCOMPARE(events.at(0).name, QStringLiteral("dbSqlBatchFail"));
        QCOMPARE(events.at(0).data, uuidOnly(QStringLiteral("b")));
        events = within([this] { m_dispatcher->removeDBItems(QStringLiteral("r"), {QStringLiteral("k")}); });
        QCOMPARE(events.at(0).name, QStringLiteral("removeDBItemsFinish"));
        events = within([this] { m_dispatcher->dbCommit(QStringLiteral("c")); });
        QCOMPARE(events.at(0).name, QStringLiteral("dbCommitError"));
    }

    void workerCommandsAnswerLaterOnTheInterfaceThread()
    {
        m_dispatcher->initialize(QStringLiteral("i"));
        QVERIFY(within([this] {
                    m_dispatcher->saveDBItems(QStringLiteral("w"), {{QStringLiteral("k"), 3.5}});
                }).isEmpty());
        Event e = later(QStringLiteral("w"));
        QCOMPARE(e.name, QStringLiteral("saveDBItemsDone"));
        QVERIFY(e.onInterfaceThread);

        QVERIFY(within([this] { m_dispatcher->loadDBItems(QStringLiteral("l"), {QStringLiteral("k")}); }).isEmpty());
        e = later(QStringLiteral("l"));
        QCOMPARE(e.data.value(QStringLiteral("data")).toMap(),
                 (QVariantMap{{QStringLiteral("k"), QStringLiteral("3.5")}}));

        QVERIFY(within([this] { m_dispatcher->getDBKeys(QStringLiteral("g"), QString()); }).isEmpty());
        e = later(QStringLiteral("g"));
        QCOMPARE(e.name, QStringLiteral("getDBKeysFinish"));
        QCOMPARE(e.data.value(QStringLiteral("data")).toStringList(), QStringList{QStringLiteral("k")});
    }

    void workerCommandsJoinThePageTransaction_data()
    {
        QTest::addColumn<bool>("commit");
        QTest::newRow("commit") << true;
        QTest::newRow("rollback") << false;
    }

    void workerCommandsJoinThePageTransaction()
    {
        QFETCH(bool, commit);
        m_dispatcher->initialize(QStringLiteral("i"));
        // The store's file outlives one row: keys of their own for each.
        const QString page = QStringLiteral("page-") + QLatin1String(QTest::currentDataTag());
        const QString worker = QStringLiteral("worker-") + QLatin1String(QTest::currentDataTag());
        QCOMPARE(within([&] { m_dispatcher->dbTransaction(QStringLiteral("t")); }).at(0).name,
                 QStringLiteral("dbTransactionFinish"));
        within([&] { m_dispatcher->saveDBItem(QStringLiteral("s"), page, QStringLiteral("p")); });

        QVERIFY(within([&] {
                    m_dispatcher->saveDBItems(QStringLiteral("w"), {{worker, 1}});
                    m_dispatcher->loadDBItems(QStringLiteral("l"), {page, worker});
                    m_dispatcher->getDBKeys(QStringLiteral("g"), worker);
                }).isEmpty());
        Event e = later(QStringLiteral("w"));
        QCOMPARE(e.name, QStringLiteral("saveDBItemsDone"));
        QCOMPARE(e.data, uuidOnly(QStringLiteral("w")));
        QVERIFY(e.onInterfaceThread);
        e = later(QStringLiteral("l"));
        QCOMPARE(e.name, QStringLiteral("loadDBItemsDone"));
        QCOMPARE(e.data.value(QStringLiteral("data")).toMap(),
                 (QVariantMap{{page, QStringLiteral("p")}, {worker, QStringLiteral("1")}}));
        e = later(QStringLiteral("g"));
        QCOMPARE(e.name, QStringLiteral("getDBKeysFinish"));
        QCOMPARE(e.data.value(QStringLiteral("data")).toStringList(), QStringList{worker});
        QCoreApplication::processEvents();
        QCOMPARE(m_events.size(), 3);

        QList<Event> events = within([&] {
            if (commit)
                m_dispatcher->dbCommit(QStringLiteral("end"));
            else
                m_dispatcher->dbRollback(QStringLiteral("end"));
        });
        QCOMPARE(events.size(), 1);
        QCOMPARE(events.at(0).name, commit ? QStringLiteral("dbCommitFinish") : QStringLiteral("dbRollbackFinish"));

        m_events.clear();
        m_dispatcher->loadDBItems(QStringLiteral("after"), {page, worker});
        QCOMPARE(later(QStringLiteral("after")).data.value(QStringLiteral("data")).toMap().size(), commit ? 2 : 0);
    }

    void workerCommandsSeeAPrivateStore()
    {
        QCOMPARE(within([this] {
                     m_dispatcher->initializePlugin(QStringLiteral("p"), QStringLiteral("Storage"),
                                                    QVariantMap{{QStringLiteral("path"), QStringLiteral(":memory:")}});
                 }).at(0).name,
                 QStringLiteral("initializePluginDone"));
        within([this] { m_dispatcher->saveDBItem(QStringLiteral("s"), QStringLiteral("ui"), QStringLiteral("u")); });
        QVERIFY(within([this] {
                    m_dispatcher->saveDBItems(QStringLiteral("w"), {{QStringLiteral("worker"), QStringLiteral("w")}});
                    m_dispatcher->loadDBItems(QStringLiteral("l"), {QStringLiteral("ui"), QStringLiteral("worker")});
                }).isEmpty());
        QCOMPARE(later(QStringLiteral("w")).name, QStringLiteral("saveDBItemsDone"));
        const Event e = later(QStringLiteral("l"));
        QVERIFY(e.onInterfaceThread);
        QCOMPARE(e.data.value(QStringLiteral("data")).toMap(),
                 (QVariantMap{{QStringLiteral("ui"), QStringLiteral("u")}, {QStringLiteral("worker"), QStringLiteral("w")}}));
    }
};

QTEST_MAIN(StorageCommandsTest)
#include "StorageCommandsTest.moc"
