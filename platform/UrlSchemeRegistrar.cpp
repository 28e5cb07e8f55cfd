#include "UrlSchemeRegistrar.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTextStream>

namespace {

// Quotes an Exec argument as the desktop entry format asks for.
QString quoteExecArgument(const QString& argument)
{
    QString escaped = argument;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    escaped.replace(QLatin1Char('"'), QLatin1String("\\\""));
    escaped.replace(QLatin1Char('`'), QLatin1String("\\`"));
    escaped.replace(QLatin1Char('$'), QLatin1String("\\$"));
    escaped.replace(QLatin1Char('%'), QLatin1String("%%"));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

bool writeWhole(const QString& path, const QByteArray& content)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(content);
    return file.commit();
}

// Sets key=value in the [Default Applications] group of a mimeapps.list,
// keeping every other line as it was.
void setDefaultApplication(const QString& listPath, const QString& key, const QString& value)
{
    QStringList lines;
    QFile in(listPath);
    if (in.open(QIODevice::ReadOnly | QIODevice::Text))
        lines = QString::fromUtf8(in.readAll()).split(QLatin1Char('\n'));
    in.close();
    while (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();

    const QString header = QStringLiteral("[Default Applications]");
    const QString entry = key + QLatin1Char('=') + value;
    int groupStart = lines.indexOf(header);
    if (groupStart < 0) {
        lines << header << entry;
    } else {
        int i = groupStart + 1;
        bool replaced = false;
        for (; i < lines.size() && !lines.at(i).startsWith(QLatin1Char('[')); ++i) {
            if (lines.at(i).section(QLatin1Char('='), 0, 0).trimmed() == key) {
                lines[i] = entry;
                replaced = true;
                break;
            }
        }
        if (!replaced)
            lines.insert(i, entry);
    }
    writeWhole(listPath, (lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
}

} // namespace

QString UrlSchemeRegistrar::applicationsDir()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/applications");
}

QString UrlSchemeRegistrar::desktopFileName(const QString& scheme)
{
    return QStringLiteral("daveri-") + scheme + QStringLiteral(".desktop");
}

void UrlSchemeRegistrar::registerSchemes(const QStringList& schemes, const QString& programPath)
{
    for (const QString& scheme : schemes) {
        if (scheme.isEmpty())
            continue;
        const QString dir = applicationsDir();
        if (!QDir().mkpath(dir))
            continue;
        const QString name = desktopFileName(scheme);
        QString desktop;
        QTextStream out(&desktop);
        out << "[Desktop Entry]\n"
            << "Type=Application\n"
            << "Name=URL:" << scheme << "\n"
            << "Exec=" << quoteExecArgument(programPath) << " --open-uri=%u\n"
            << "MimeType=x-scheme-handler/" << scheme << ";\n"
            << "NoDisplay=true\n"
            << "Terminal=false\n";
        out.flush();
        if (!writeWhole(dir + QLatin1Char('/') + name, desktop.toUtf8()))
            continue;
        setDefaultApplication(dir + QStringLiteral("/mimeapps.list"),
                              QStringLiteral("x-scheme-handler/") + scheme, name);
    }
}
