#include "BaseHandler.h"

#include <QDataStream>
#include <QVariant>

BaseHandler::BaseHandler(QObject* parent)
    : QWebEngineUrlSchemeHandler(parent)
{
}

void BaseHandler::cleanStream(QObject* object)
{
    if (!object)
        return;
    const QVariant value = object->property("stream");
    if (!value.canConvert<void*>())
        return;
    auto* stream = static_cast<QDataStream*>(value.value<void*>());
    delete stream;
}
