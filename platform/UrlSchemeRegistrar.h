#pragma once

#include <QString>
#include <QStringList>

// Registers URL schemes with the freedesktop desktop so that opening a link
// of such a scheme starts the program with "--open-uri=<url>": per scheme a
// .desktop file and an "x-scheme-handler/<scheme>" default, both under
// $XDG_DATA_HOME/applications. Failures are not reported; start-up goes on.
class UrlSchemeRegistrar
{
public:
    // Empty names are skipped; nothing is written for an empty list.
    static void registerSchemes(const QStringList& schemes, const QString& programPath);

    // Base name of the desktop file written for a scheme.
    static QString desktopFileName(const QString& scheme);
    static QString applicationsDir();
};
