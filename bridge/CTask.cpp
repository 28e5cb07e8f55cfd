#include "CTask.h"

#include <QUuid>

namespace Task {

CTask::CTask()
    : m_id(QUuid::createUuid().toString(QUuid::WithoutBraces))
{
}

void CTask::resolve(QSharedPointer<IResponse> response)
{
    emit onResolved(response);
}

void CTask::reject(QSharedPointer<IResponse> response)
{
    emit onRejected(response);
}

void CTask::progress(QSharedPointer<IResponse> response)
{
    emit onProgress(response);
}

void CTask::cancel()
{
    m_canceled = true;
    emit onCanceled();
}

void CTask::run()
{
}

// Every task of the shell derives from CTask, which declares the signals.
static CTask* asCTask(ITask* task)
{
    return dynamic_cast<CTask*>(task);
}

QMetaObject::Connection connectResolved(ITask* task, QObject* context, ResponseHandler handler)
{
    CTask* t = asCTask(task);
    return t ? QObject::connect(t, &CTask::onResolved, context, std::move(handler), Qt::DirectConnection)
             : QMetaObject::Connection();
}

QMetaObject::Connection connectRejected(ITask* task, QObject* context, ResponseHandler handler)
{
    CTask* t = asCTask(task);
    return t ? QObject::connect(t, &CTask::onRejected, context, std::move(handler), Qt::DirectConnection)
             : QMetaObject::Connection();
}

QMetaObject::Connection connectCanceled(ITask* task, QObject* context, std::function<void()> handler)
{
    CTask* t = asCTask(task);
    return t ? QObject::connect(t, &CTask::onCanceled, context, std::move(handler), Qt::DirectConnection)
             : QMetaObject::Connection();
}

} // namespace Task
