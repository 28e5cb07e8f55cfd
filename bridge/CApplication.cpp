#include "CApplication.h"

#include "CApplicationResponse.h"
#include "CFutureTask.h"

#include <QtConcurrent>

CApplication::CApplication() = default;

CApplication::~CApplication()
{
    for (QFuture<QSharedPointer<IResponse>>& work : m_work)
        work.waitForFinished();
    m_tasks.clear();
    qDeleteAll(m_pendingEvents);
}

QSharedPointer<Task::ITask> CApplication::initialize()
{
    QFuture<QSharedPointer<IResponse>> future = QtConcurrent::run([this]() {
        m_ready.storeRelease(1);
        return QSharedPointer<IResponse>(new CApplicationResponse());
    });
    // Forget finished work so the list stays short.
    for (int i = m_work.size() - 1; i >= 0; --i) {
        if (m_work.at(i).isFinished())
            m_work.removeAt(i);
    }
    m_work.append(future);

    QSharedPointer<Task::ITask> task(new Task::CFutureTask(future), &QObject::deleteLater);
    Task::connectResolved(task.data(), this, [this](QSharedPointer<IResponse>) { flushPendingEvents(); });
    return task;
}

QSharedPointer<Task::ITask> CApplication::finalize()
{
    return QSharedPointer<Task::ITask>();
}

void CApplication::applicationEvent(QMLEvent event)
{
    if (isReady()) {
        emit invokeJSCall(QStringLiteral("applicationEvent"), CApplicationEvent(event).toVariantMap());
        return;
    }
    m_pendingEvents.append(new QMLEvent(event));
}

void CApplication::flushPendingEvents()
{
    while (!m_pendingEvents.isEmpty()) {
        QMLEvent* event = m_pendingEvents.first();
        emit invokeJSCall(QStringLiteral("applicationEvent"), CApplicationEvent(*event).toVariantMap());
        m_pendingEvents.removeFirst();
        delete event;
    }
}
