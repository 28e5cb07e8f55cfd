#pragma once

#include "IResponse.h"

#include <QObject>
#include <QSharedPointer>
#include <QString>

namespace Task {

// A unit of work that reports its outcome with signals carrying a response.
// The four signals are declared here as pure virtual functions and become
// real signals in CTask; connect to them through Task::connectTo... below.
class ITask : public QObject
{
public:
    virtual QString id() const = 0;
    virtual void resolve(QSharedPointer<IResponse> response) = 0;
    virtual void reject(QSharedPointer<IResponse> response) = 0;
    virtual void progress(QSharedPointer<IResponse> response) = 0;
    virtual void cancel() = 0;
    virtual void run() = 0;

    virtual void onResolved(QSharedPointer<IResponse> response) = 0;
    virtual void onRejected(QSharedPointer<IResponse> response) = 0;
    virtual void onProgress(QSharedPointer<IResponse> response) = 0;
    virtual void onCanceled() = 0;
};

} // namespace Task
