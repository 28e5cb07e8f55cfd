#pragma once

#include "ITask.h"

#include <QMap>
#include <QSharedPointer>
#include <QString>

using TaskRegistry = QMap<QString, QSharedPointer<Task::ITask>>;

// Registers the task under its id, removes it when it resolves, is rejected
// or is canceled, and runs it. The task is never destroyed inside the signal
// emission that ends it: the registry's reference is released from the
// event loop. `context` guards the registry: when it is destroyed, the
// removal handlers are disconnected.
void startTask(QSharedPointer<Task::ITask> task, TaskRegistry* registry, QObject* context);
