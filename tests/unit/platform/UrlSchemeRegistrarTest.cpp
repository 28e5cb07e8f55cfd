// Desktop registration of URL schemes: nothing for an empty list; a desktop
// file and a scheme-handler default per scheme otherwise, keeping the
// user's other defaults.

#include "UrlSchemeRegistrar.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QtTest>

namespace {

QString readText(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

} // namespace

class UrlSchemeRegistrarTest : public QObject
{
    Q_OBJECT

private:
    QString appsDir() const { return UrlSchemeRegistrar::applicationsDir(); }

private slots:
    void init()
    {
        // Each case starts from an empty applications folder of the test home.
        QVERIFY(appsDir().startsWith(QString::fromLocal8Bit(qgetenv("XDG_DATA_HOME"))));
        QDir(appsDir()).removeRecursively();
    }

    void emptyListWritesNothing()
    {
        UrlSchemeRegistrar::registerSchemes(QString().split(QLatin1Char(' ')), QStringLiteral("/opt/d/daveri"));
        UrlSchemeRegistrar::registerSchemes(QStringList{}, QStringLiteral("/opt/d/daveri"));
        QVERIFY(!QFileInfo::exists(appsDir()));
    }

    void schemesAreRegistered()
    {
        UrlSchemeRegistrar::registerSchemes(QStringLiteral("lesson  quiz").split(QLatin1Char(' ')),
                                            QStringLiteral("/opt/my course/daveri"));
        for (const QString& scheme : {QStringLiteral("lesson"), QStringLiteral("quiz")}) {
            const QString desktop = readText(appsDir() + QLatin1Char('/') + UrlSchemeRegistrar::desktopFileName(scheme));
            QVERIFY2(desktop.startsWith(QLatin1String("[Desktop Entry]\n")), qPrintable(desktop));
            QVERIFY(desktop.contains(QStringLiteral("\nExec=\"/opt/my course/daveri\" --open-uri=%u\n")));
            QVERIFY(desktop.contains(QStringLiteral("\nMimeType=x-scheme-handler/") + scheme + QStringLiteral(";\n")));
        }
        const QString defaults = readText(appsDir() + QStringLiteral("/mimeapps.list"));
        QCOMPARE(defaults, QStringLiteral("[Default Applications]\n"
                                          "x-scheme-handler/lesson=daveri-lesson.desktop\n"
                                          "x-scheme-handler/quiz=daveri-quiz.desktop\n"));
        QCOMPARE(QDir(appsDir()).entryList(QDir::Files).size(), 3);
    }

    // Registering again replaces our own default and keeps everything else.
    void existingDefaultsAreKept()
    {
        QDir().mkpath(appsDir());
        QFile list(appsDir() + QStringLiteral("/mimeapps.list"));
        QVERIFY(list.open(QIODevice::WriteOnly));
        list.write("[Added Associations]\ntext/plain=editor.desktop\n\n"
                   "[Default Applications]\nx-scheme-handler/lesson=old.desktop\nimage/png=viewer.desktop\n");
        list.close();
        UrlSchemeRegistrar::registerSchemes({QStringLiteral("lesson"), QStringLiteral("quiz")},
                                            QStringLiteral("/d"));
        UrlSchemeRegistrar::registerSchemes({QStringLiteral("lesson")}, QStringLiteral("/d"));
        QCOMPARE(readText(list.fileName()),
                 QStringLiteral("[Added Associations]\ntext/plain=editor.desktop\n\n"
                                "[Default Applications]\nx-scheme-handler/lesson=daveri-lesson.desktop\n"
                                "image/png=viewer.desktop\nx-scheme-handler/quiz=daveri-quiz.desktop\n"));
    }

    void specialCharactersInProgramPath()
    {
        UrlSchemeRegistrar::registerSchemes({QStringLiteral("s")}, QStringLiteral("/a \"b\" $c%d"));
        const QString desktop = readText(appsDir() + QStringLiteral("/daveri-s.desktop"));
        QVERIFY2(desktop.contains(QStringLiteral("Exec=\"/a \\\"b\\\" \\$c%%d\" --open-uri=%u\n")), qPrintable(desktop));
    }
};

QTEST_GUILESS_MAIN(UrlSchemeRegistrarTest)
#include "UrlSchemeRegistrarTest.moc"
