#pragma once

#include "ITask.h"

#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QUuid>

class IIdentifiable
{
public:
    virtual QString id() const = 0;
};

// A plugin produces the tasks that initialise and finalise it.
class IPlugin : public QObject
{
public:
    virtual QSharedPointer<Task::ITask> initialize() = 0;
    virtual QSharedPointer<Task::ITask> finalize() = 0;
};

// Gives an interface a fixed identity: a brace-less UUID made at construction.
template <typename Interface>
class CIdentifiable : public IIdentifiable, public Interface
{
public:
    CIdentifiable()
        : m_id(QUuid::createUuid().toString(QUuid::WithoutBraces))
    {
    }

    QString id() const override { return m_id; }

private:
    QString m_id;
};
