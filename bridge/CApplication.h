#pragma once

#include "IPlugin.h"
#include "QMLEvent.h"
#include "TaskRegistry.h"

#include <QAtomicInt>
#include <QFuture>
#include <QList>
#include <QVariantMap>

// The Application plugin: turns application events into "applicationEvent"
// page events, holding them back until the page has initialised it.
class CApplication : public CIdentifiable<IPlugin>
{
    Q_OBJECT
public:
    CApplication();
    ~CApplication() override;

    QSharedPointer<Task::ITask> initialize() override;
    QSharedPointer<Task::ITask> finalize() override;

    TaskRegistry* tasks() { return &m_tasks; }
    bool isReady() const { return m_ready.loadAcquire() != 0; }

signals:
    void invokeJSCall(QString functionName, QVariantMap params);

public slots:
    void applicationEvent(QMLEvent event);

private:
    void flushPendingEvents();

    TaskRegistry m_tasks;
    QAtomicInt m_ready;
    QList<QMLEvent*> m_pendingEvents;
    // Initialisation work still running on the pool; waited for on destruction
    // because it writes to this object.
    QList<QFuture<QSharedPointer<IResponse>>> m_work;
};
