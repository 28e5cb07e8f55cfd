#include "TaskRegistry.h"

#include "CTask.h"

#include <QTimer>

void startTask(QSharedPointer<Task::ITask> task, TaskRegistry* registry, QObject* context)
{
    const QString id = task->id();
    registry->insert(id, task);

    auto remove = [registry, id, context] {
        QSharedPointer<Task::ITask> held = registry->take(id);
        if (held) {
            // Keep the task alive until control is back in the event loop.
            QTimer::singleShot(0, context, [held] {});
        }
    };
    Task::connectResolved(task.data(), context, [remove](QSharedPointer<IResponse>) { remove(); });
    Task::connectRejected(task.data(), context, [remove](QSharedPointer<IResponse>) { remove(); });
    Task::connectCanceled(task.data(), context, remove);
    task->run();
}
