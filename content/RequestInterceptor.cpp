#include "RequestInterceptor.h"

#include "ArchiveAccessManager.h"
#include "ContentUrlRules.h"
#include "ForwardRequestInterceptor.h"
#include "PathsManager.h"
#include "ServingGuard.h"
#include "ServingLog.h"
#include "SettingsManager.h"
#include "ZipHandler.h"

#include <QDir>
#include <QFileInfo>
#include <QList>
#include <QMetaEnum>
#include <QMutex>
#include <QWebEngineProfile>
#include <QWebEngineUrlRequestInfo>
#include <QWebEngineUrlScheme>

Q_LOGGING_CATEGORY(lcServing, "content.serving")

namespace {

// Guards of every interceptor made in this process; stopRequestInterception
// detaches them all.
QMutex g_guardsMutex;
QList<ServingGuard*> g_guards;

} // namespace

RequestInterceptor::RequestInterceptor(ServingGuard* guard)
    : m_guard(guard)
{
}

QByteArray RequestInterceptor::schemeName(SchemeTypes scheme)
{
    const QMetaEnum meta = QMetaEnum::fromType<SchemeTypes>();
    return QByteArray(meta.valueToKey(scheme)).toLower();
}

void RequestInterceptor::interceptRequest(QWebEngineUrlRequestInfo& info)
{
    const QUrl url = info.requestUrl();
    const QString scheme = url.scheme();
    if (!ContentUrlRules::isInterceptedRequest(info.requestMethod(), scheme))
        return;

    const QString entryPath = ContentUrlRules::entryPathFromRequestPath(url.path(QUrl::FullyDecoded));
    bool exists = false;
    {
        QReadLocker lock(m_guard->lock());
        if (!m_guard->archive())
            return;
        exists = m_guard->archive()->fileExists(entryPath);
    }

    if (exists) {
        if (scheme == QLatin1String("file"))
            info.redirect(ContentUrlRules::archiveRedirect(entryPath, url));
        return;
    }
    if (scheme == QLatin1String("dazuzo")) {
        QUrl fileUrl = url;
        fileUrl.setScheme(QStringLiteral("file"));
        info.redirect(fileUrl);
    }
}

QWebEngineUrlRequestInterceptor* createRequestInterceptor(ArchiveAccessManager* archive, ItemCopier* copier)
{
    const QString mode = SettingsManager::instance()
                             ->get(QStringLiteral("wrapper"), QStringLiteral("interceptor"),
                                   QStringLiteral("RequestInterceptor"))
                             .toString();
    if (mode == QLatin1String("ForwardRequestInterceptor")) {
        const QString archivePath = PathsManager::instance()->get(QStringLiteral("wrapperArchivePath"), QString());
        const QString base = QFileInfo(archivePath).absoluteDir().absolutePath();
        return new ForwardRequestInterceptor(base);
    }

    auto* guard = new ServingGuard(archive, copier);
    {
        QMutexLocker lock(&g_guardsMutex);
        g_guards.append(guard);
    }
    auto* interceptor = new RequestInterceptor(guard);
    auto* handler = new ZipHandler(guard);
    QWebEngineProfile* profile = QWebEngineProfile::defaultProfile();
    const QByteArray scheme = RequestInterceptor::schemeName(RequestInterceptor::DazUzo);
    // A later bridge in the same process replaces the earlier handler.
    if (profile->urlSchemeHandler(scheme))
        profile->removeUrlScheme(scheme);
    profile->installUrlSchemeHandler(scheme, handler);
    return interceptor;
}

void stopRequestInterception()
{
    QMutexLocker lock(&g_guardsMutex);
    for (ServingGuard* guard : qAsConst(g_guards))
        guard->detach();
}

void declareContentScheme()
{
    QWebEngineUrlScheme scheme(ContentUrlRules::schemeName());
    scheme.setSyntax(QWebEngineUrlScheme::Syntax::Path);
    scheme.setFlags(QWebEngineUrlScheme::LocalScheme | QWebEngineUrlScheme::LocalAccessAllowed);
    QWebEngineUrlScheme::registerScheme(scheme);
}
