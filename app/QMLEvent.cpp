#include "QMLEvent.h"

#include <QEvent>

QMLEventData::QMLEventData(const QMetaObject* metaObject)
    : m_metaObject(metaObject)
{
}

QMLEventData::~QMLEventData() = default;

QString QMLEventData::className() const
{
    return m_metaObject ? QString::fromLatin1(m_metaObject->className()) : QString();
}

QMLFileOpenEvent::QMLFileOpenEvent(const QUrl& url)
    : QMLEventData(&QMLFileOpenEvent::staticMetaObject), m_url(url)
{
}

int QMLFileOpenEvent::type() const
{
    return eventType();
}

int QMLFileOpenEvent::eventType()
{
    static const int registered = QEvent::registerEventType();
    return registered;
}

QMLEvent::QMLEvent(QMLEventData* data)
    : m_data(data)
{
}

QMLEvent::~QMLEvent() = default;

int QMLEvent::type() const
{
    return m_data ? m_data->type() : 0;
}

QString QMLEvent::className() const
{
    return m_data ? m_data->className() : QString();
}
