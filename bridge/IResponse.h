#pragma once

#include <QMetaType>
#include <QSharedPointer>
#include <QVariantMap>

// The outcome a task reports; always held by QSharedPointer.
class IResponse
{
public:
    virtual ~IResponse() = default;
    virtual QVariantMap toVariantMap() const = 0;
};

Q_DECLARE_METATYPE(QSharedPointer<IResponse>)
