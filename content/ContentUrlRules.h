#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

// The URL rules of content serving, as plain functions so that they can be
// checked without a web engine.
namespace ContentUrlRules {

// "dazuzo": the custom scheme archive content is served on.
QByteArray schemeName();

// Whether the interceptor looks at a request at all: methods HEAD and GET,
// schemes "dazuzo" and "file".
bool isInterceptedRequest(const QByteArray& method, const QString& scheme);

// Entry path of a request path: drops a leading drive part ("/C:") and the
// leading slash. /wrapper/wrapper/index.html -> wrapper/wrapper/index.html.
QString entryPathFromRequestPath(const QString& decodedPath);

// The "dazuzo" URL a file request for an archive entry is redirected to:
// the entry path and the query (an empty query keeps its "?"), no fragment.
QUrl archiveRedirect(const QString& entryPath, const QUrl& requestUrl);

// Whether a MIME type name is served through a temporary copy.
bool isMediaMimeType(const QString& mimeName);

// Directory mode: the URL a request for a missing local file is forwarded
// to (base directory + path, drive letter dropped), fragment and query kept.
QUrl forwardedUrl(const QString& baseDirectory, const QString& localPath, const QUrl& requestUrl);

// The 8-byte marker that prefixes media files in a content directory.
QByteArray mediaMarker();

} // namespace ContentUrlRules
