#include "CFutureTask.h"

namespace Task {

CFutureTask::CFutureTask(const QFuture<QSharedPointer<IResponse>>& future)
    : m_future(future), m_watcher(new QFutureWatcher<QSharedPointer<IResponse>>())
{
}

CFutureTask::~CFutureTask()
{
    delete m_watcher;
}

void CFutureTask::run()
{
    connect(m_watcher, &QFutureWatcherBase::finished, this,
            [this] { emit onResolved(m_watcher->future().resultAt(0)); }, Qt::DirectConnection);
    if (m_watcher->future() != m_future)
        m_watcher->setFuture(m_future);
}

} // namespace Task
