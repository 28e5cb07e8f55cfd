#pragma once

#include "IResponse.h"
#include "QMLEvent.h"

// The Application plugin's initialisation result: carries nothing.
class CApplicationResponse : public IResponse
{
public:
    QVariantMap toVariantMap() const override { return QVariantMap(); }
};

// An application event as a response: its data map holds every property of
// the event data's meta-object, inherited ones first, by property index.
class CApplicationEvent : public IResponse
{
public:
    explicit CApplicationEvent(const QMLEvent& event);
    QVariantMap toVariantMap() const override;

    static QVariantMap toVariantMap(const QMLEvent& event);

private:
    QMLEvent m_event;
};
