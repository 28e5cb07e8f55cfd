#include "ContentUrlRules.h"

namespace ContentUrlRules {

QByteArray schemeName()
{
    return QByteArrayLiteral("dazuzo");
}

bool isInterceptedRequest(const QByteArray& method, const QString& scheme)
{
    const bool methodOk = method == "HEAD" || method == "GET";
    const bool schemeOk = scheme == QLatin1String("dazuzo") || scheme == QLatin1String("file");
    return methodOk && schemeOk;
}

QString entryPathFromRequestPath(const QString& decodedPath)
{
    // Both indexes are taken in the full path, as the page's URLs give them.
    const int colon = decodedPath.indexOf(QLatin1Char(':'));
    const int slash = decodedPath.indexOf(QLatin1Char('/'));
    QString entry = decodedPath.mid(colon + 1);
    entry = entry.mid(slash + 1);
    return entry;
}

QUrl archiveRedirect(const QString& entryPath, const QUrl& requestUrl)
{
    const QString text = QLatin1Char('/') + entryPath + QLatin1Char('?')
        + requestUrl.query(QUrl::PrettyDecoded);
    QUrl url(text, QUrl::TolerantMode);
    url.setScheme(QString::fromLatin1(schemeName()));
    return url;
}

bool isMediaMimeType(const QString& mimeName)
{
    return mimeName.startsWith(QLatin1String("audio"), Qt::CaseInsensitive)
        || mimeName.startsWith(QLatin1String("video"), Qt::CaseInsensitive);
}

QUrl forwardedUrl(const QString& baseDirectory, const QString& localPath, const QUrl& requestUrl)
{
    QString path = localPath;
    const int drive = path.indexOf(QLatin1String(":/"));
    if (drive > 0)
        path = path.mid(drive + 1);
    QUrl url = QUrl::fromLocalFile(baseDirectory + path);
    url.setQuery(requestUrl.query(QUrl::FullyEncoded), QUrl::StrictMode);
    url.setFragment(requestUrl.fragment(QUrl::FullyEncoded), QUrl::StrictMode);
    if (!requestUrl.hasQuery())
        url.setQuery(QString());
    if (!requestUrl.hasFragment())
        url.setFragment(QString());
    return url;
}

QByteArray mediaMarker()
{
    return QByteArray::fromHex("308DFF1742688B4D");
}

} // namespace ContentUrlRules
