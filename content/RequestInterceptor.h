#pragma once

#include <QObject>
#include <QWebEngineUrlRequestInterceptor>

class ArchiveAccessManager;
class ItemCopier;
class ServingGuard;

// Archive mode: rewrites file requests for entries of the content archive to
// the "dazuzo" scheme, and sends "dazuzo" requests for missing entries back
// to "file". Called by the web engine on its I/O thread.
class RequestInterceptor : public QWebEngineUrlRequestInterceptor
{
    Q_OBJECT
public:
    enum SchemeTypes { DazUzo = 0 };
    Q_ENUM(SchemeTypes)

    explicit RequestInterceptor(ServingGuard* guard);

    // The scheme's name: its key in lower case ("dazuzo").
    static QByteArray schemeName(SchemeTypes scheme);

    void interceptRequest(QWebEngineUrlRequestInfo& info) override;

private:
    ServingGuard* m_guard;
};

// Picks the serving mode from the configuration ("interceptor" of group
// "wrapper"), creates the interceptor and, in archive mode, installs the
// scheme handler on the default profile. The caller installs the returned
// interceptor. Both objects stay alive for the rest of the process.
QWebEngineUrlRequestInterceptor* createRequestInterceptor(ArchiveAccessManager* archive, ItemCopier* copier);

// Detaches every interceptor and handler from the archive reader and the
// copier they were given, so that both can be destroyed; later requests are
// left unchanged or fail as not found.
void stopRequestInterception();

// Declares the "dazuzo" scheme to the web engine (path syntax, local access).
// Must run before the application object is created.
void declareContentScheme();
