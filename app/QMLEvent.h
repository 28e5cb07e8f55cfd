#pragma once

#include <QExplicitlySharedDataPointer>
#include <QMetaType>
#include <QObject>
#include <QSharedData>
#include <QString>
#include <QUrl>

// Abstract base of the data of an application event. Concrete classes pass
// their own meta-object, so that className and the property list describe
// the concrete type.
class QMLEventData : public QSharedData
{
    Q_GADGET
    Q_PROPERTY(int type READ type)
    Q_PROPERTY(QString className READ className)
public:
    explicit QMLEventData(const QMetaObject* metaObject);
    virtual ~QMLEventData();

    virtual int type() const = 0;
    QString className() const;
    const QMetaObject* dataMetaObject() const { return m_metaObject; }

private:
    const QMetaObject* m_metaObject;
};

// A request of the operating system to open a URL.
class QMLFileOpenEvent : public QMLEventData
{
    Q_GADGET
    Q_PROPERTY(QUrl url READ url)
public:
    explicit QMLFileOpenEvent(const QUrl& url);

    int type() const override;
    QUrl url() const { return m_url; }

    // Registered once per process on first use, then returned unchanged.
    static int eventType();

private:
    QUrl m_url;
};

// The application event record carried by signals; copies share one data
// object, deleted with the last copy.
class QMLEvent
{
    Q_GADGET
    Q_PROPERTY(int type READ type)
    Q_PROPERTY(QString className READ className)
public:
    QMLEvent() = default;
    explicit QMLEvent(QMLEventData* data);
    virtual ~QMLEvent();

    int type() const;
    QString className() const;
    const QMLEventData* data() const { return m_data.data(); }

private:
    QExplicitlySharedDataPointer<QMLEventData> m_data;
};

Q_DECLARE_METATYPE(QMLEvent)
