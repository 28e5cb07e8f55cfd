// The task framework and the Application plugin: ids, future tasks, the
// registry, and application events held back until initialisation.

#include "CApplication.h"
#include "CApplicationResponse.h"
#include "CFutureTask.h"
#include "TaskRegistry.h"

#include <QSignalSpy>
#include <QUrl>
#include <QtConcurrent>
#include <QtTest>

namespace {

QMLEvent fileOpen(const QString& url)
{
    return QMLEvent(new QMLFileOpenEvent(QUrl(url)));
}

// Page events of the plugin as (name, url) pairs, in order.
struct Recorder
{
    QStringList log;
    void attach(CApplication* app, QObject* context)
    {
        QObject::connect(app, &CApplication::invokeJSCall, context, [this](QString name, QVariantMap data) {
            log << name + QLatin1Char(' ') + data.value(QStringLiteral("url")).toUrl().toString();
        });
    }
};

} // namespace

class TasksTest : public QObject
{
    Q_OBJECT
private slots:
    void idsAreUniqueBracelessUuids()
    {
        QSet<QString> ids;
        for (int i = 0; i < 50; ++i) {
            Task::CTask task;
            CApplication plugin;
            for (const QString& id : {task.id(), plugin.id()}) {
                QCOMPARE(id.size(), 36);
                QVERIFY(!id.contains(QLatin1Char('{')) && !id.contains(QLatin1Char('}')));
                QVERIFY(!ids.contains(id));
                ids.insert(id);
            }
            QCOMPARE(task.id(), task.id());
        }
    }

    void taskSignals()
    {
        Task::CTask task;
        QSignalSpy resolved(&task, &Task::CTask::onResolved);
        QSignalSpy canceled(&task, &Task::CTask::onCanceled);
        QVERIFY(!task.isCanceled());
        task.resolve(QSharedPointer<IResponse>(new CApplicationResponse()));
        task.cancel();
        QCOMPARE(resolved.count(), 1);
        QCOMPARE(canceled.count(), 1);
        QVERIFY(task.isCanceled());
    }

    // A future that finished before run() still resolves the task, once.
    void futureTaskResolvesForFinishedFuture()
    {
        auto future = QtConcurrent::run([] { return QSharedPointer<IResponse>(new CApplicationResponse()); });
        future.waitForFinished();
        Task::CFutureTask task(future);
        QSignalSpy resolved(&task, &Task::CTask::onResolved);
        task.run();
        QTRY_COMPARE(resolved.count(), 1);
        QVERIFY(resolved.at(0).at(0).value<QSharedPointer<IResponse>>());
    }

    // The registry drops a task when it ends, and the task survives the
    // signal emission that ended it.
    void registryDropsEndedTasks()
    {
        TaskRegistry registry;
        QObject context;
        QPointer<Task::CTask> watched;
        {
            QSharedPointer<Task::ITask> task(new Task::CTask(), &QObject::deleteLater);
            watched = static_cast<Task::CTask*>(task.data());
            startTask(task, &registry, &context);
            QVERIFY(registry.contains(task->id()));
        }
        QVERIFY(watched);
        watched->reject(QSharedPointer<IResponse>());
        QVERIFY(registry.isEmpty());
        QVERIFY(watched); // still alive inside and right after its emission
        QTRY_VERIFY(!watched);
    }

    void eventsHeldBackUntilInitialised()
    {
        CApplication plugin;
        Recorder recorder;
        QObject context;
        recorder.attach(&plugin, &context);
        plugin.applicationEvent(fileOpen(QStringLiteral("lesson://a")));
        plugin.applicationEvent(fileOpen(QStringLiteral("lesson://b")));
        QCoreApplication::processEvents();
        QVERIFY(recorder.log.isEmpty());

        // Driven as the dispatcher does: its answer is connected after the
        // plugin's own flush, and must come after every held-back event.
        QSharedPointer<Task::ITask> task = plugin.initialize();
        Task::connectResolved(task.data(), &context, [&recorder](QSharedPointer<IResponse>) {
            recorder.log << QStringLiteral("initializePluginDone");
        });
        startTask(task, plugin.tasks(), &plugin);
        QTRY_COMPARE(recorder.log.size(), 3);
        QCOMPARE(recorder.log, (QStringList{QStringLiteral("applicationEvent lesson://a"),
                                            QStringLiteral("applicationEvent lesson://b"),
                                            QStringLiteral("initializePluginDone")}));
        QVERIFY(plugin.tasks()->isEmpty());

        // Once ready, events pass straight through.
        plugin.applicationEvent(fileOpen(QStringLiteral("lesson://c")));
        QCOMPARE(recorder.log.last(), QStringLiteral("applicationEvent lesson://c"));

        // A second initialisation answers again with nothing left to flush.
        QSharedPointer<Task::ITask> again = plugin.initialize();
        startTask(again, plugin.tasks(), &plugin);
        QTRY_VERIFY(plugin.tasks()->isEmpty());
        QCOMPARE(recorder.log.size(), 4);
    }

    void eventDataMap()
    {
        const QVariantMap map = CApplicationEvent(fileOpen(QStringLiteral("lesson://x"))).toVariantMap();
        QCOMPARE(map.keys(), (QStringList{QStringLiteral("className"), QStringLiteral("type"), QStringLiteral("url")}));
        QCOMPARE(map.value(QStringLiteral("className")).toString(), QStringLiteral("QMLFileOpenEvent"));
        QCOMPARE(map.value(QStringLiteral("type")).toInt(), QMLFileOpenEvent::eventType());
        QCOMPARE(map.value(QStringLiteral("url")).toUrl(), QUrl(QStringLiteral("lesson://x")));
        const QVariantMap other = CApplicationEvent(fileOpen(QStringLiteral("b:c"))).toVariantMap();
        QCOMPARE(other.value(QStringLiteral("type")), map.value(QStringLiteral("type")));
    }

    // Destroying a plugin with pending events and running work is safe.
    void destroyWhileWorking()
    {
        for (int i = 0; i < 20; ++i) {
            auto* plugin = new CApplication();
            plugin->applicationEvent(fileOpen(QStringLiteral("lesson://never")));
            QSharedPointer<Task::ITask> task = plugin->initialize();
            startTask(task, plugin->tasks(), plugin);
            delete plugin;
        }
        QCoreApplication::processEvents();
    }
};

QTEST_GUILESS_MAIN(TasksTest)
#include "TasksTest.moc"
