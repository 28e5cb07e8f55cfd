#pragma once

#include <QMimeDatabase>
#include <QWebEngineUrlSchemeHandler>

// Common part of the shell's scheme handlers: MIME lookup, and deleting the
// data stream that a reply left on its job.
class BaseHandler : public QWebEngineUrlSchemeHandler
{
    Q_OBJECT
public:
    explicit BaseHandler(QObject* parent = nullptr);

public slots:
    void cleanStream(QObject* object);

protected:
    QMimeDatabase m_mimeDatabase;
};
