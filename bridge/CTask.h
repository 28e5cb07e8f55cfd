#pragma once

#include "ITask.h"

#include <functional>

namespace Task {

// The task implementation: a fixed brace-less UUID id and signals that
// resolve, reject, progress and cancel emit.
class CTask : public ITask
{
    Q_OBJECT
public:
    CTask();

    QString id() const override { return m_id; }
    void resolve(QSharedPointer<IResponse> response) override;
    void reject(QSharedPointer<IResponse> response) override;
    void progress(QSharedPointer<IResponse> response) override;
    void cancel() override;
    void run() override;

    bool isCanceled() const { return m_canceled; }

signals:
    void onResolved(QSharedPointer<IResponse> response) override;
    void onRejected(QSharedPointer<IResponse> response) override;
    void onProgress(QSharedPointer<IResponse> response) override;
    void onCanceled() override;

private:
    QString m_id;
    bool m_canceled = false;
};

using ResponseHandler = std::function<void(QSharedPointer<IResponse>)>;

// Direct connections to a task's signals from code that holds an ITask.
QMetaObject::Connection connectResolved(ITask* task, QObject* context, ResponseHandler handler);
QMetaObject::Connection connectRejected(ITask* task, QObject* context, ResponseHandler handler);
QMetaObject::Connection connectCanceled(ITask* task, QObject* context, std::function<void()> handler);

} // namespace Task
