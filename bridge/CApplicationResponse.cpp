#include "CApplicationResponse.h"

#include <QMetaProperty>

CApplicationEvent::CApplicationEvent(const QMLEvent& event)
    : m_event(event)
{
}

QVariantMap CApplicationEvent::toVariantMap() const
{
    return toVariantMap(m_event);
}

QVariantMap CApplicationEvent::toVariantMap(const QMLEvent& event)
{
    QVariantMap map;
    const QMLEventData* data = event.data();
    if (!data || !data->dataMetaObject())
        return map;
    const QMetaObject* meta = data->dataMetaObject();
    for (int i = 0; i < meta->propertyCount(); ++i) {
        const QMetaProperty property = meta->property(i);
        map.insert(QString::fromLatin1(property.name()), property.readOnGadget(data));
    }
    return map;
}
