#pragma once

#include "CTask.h"

#include <QFuture>
#include <QFutureWatcher>

namespace Task {

// A task over work already started on the thread pool: it resolves with the
// future's first result once the future has finished, also when it finished
// before run() was called.
class CFutureTask : public CTask
{
    Q_OBJECT
public:
    explicit CFutureTask(const QFuture<QSharedPointer<IResponse>>& future);
    ~CFutureTask() override;

    void run() override;

private:
    QFuture<QSharedPointer<IResponse>> m_future;
    QFutureWatcher<QSharedPointer<IResponse>>* m_watcher;
};

} // namespace Task
