#include "Startup.h"

#include "DesktopBridge.h"
#include "PathsManager.h"
#include "RequestInterceptor.h"
#include "SettingsManager.h"
#include "ShellApplication.h"
#include "StateManager.h"

#include <QDir>
#include <QNetworkProxyFactory>
#include <QProcess>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QUrl>
#include <QtWebEngine/qtwebengineglobal.h>
#include <QtQml/qqml.h>

#include <QZXing.h>
#include <QZXingFilter.h>

#include <memory>

namespace {

// The engine slot: filled by the start-up function, emptied on aboutToQuit.
QQmlApplicationEngine* g_engine = nullptr;

const QString kWebSecuritySwitch = QStringLiteral("--disable-web-security");

void registerElementTypes()
{
    qmlRegisterType<QZXing>("QZXing", 2, 3, "QZXing");
    qmlRegisterType<QZXingFilter>("QZXing", 2, 3, "QZXingFilter");
    DesktopBridge::registerType();
}

} // namespace

bool hasWebSecuritySwitch(const QStringList& arguments)
{
    for (const QString& argument : arguments) {
        if (argument.compare(kWebSecuritySwitch, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

int startShell()
{
    g_engine = new QQmlApplicationEngine();

    StateManager* state = StateManager::instance();
    PathsManager* paths = PathsManager::instance();
    SettingsManager* settings = SettingsManager::instance();

    QQmlContext* context = g_engine->rootContext();
    context->setContextProperty(QStringLiteral("shellApp"), qApp);
    context->setContextProperty(QStringLiteral("pathsManager"), paths);
    context->setContextProperty(QStringLiteral("stateManager"), state);
    context->setContextProperty(QStringLiteral("settingsManager"), settings);

    const QString storageFolder =
        settings->get(QStringLiteral("storage"), QStringLiteral("path"), QStringLiteral("storage")).toString();
    paths->set(QStringLiteral("localStoragePath"),
               paths->get(QStringLiteral("localStorageRootPath"), QString()) + QLatin1Char('/') + storageFolder);
    QDir().mkpath(paths->get(QStringLiteral("localStoragePath")));
    QDir().mkpath(paths->get(QStringLiteral("contentsPath")));

    registerElementTypes();
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    g_engine->load(QUrl(QStringLiteral("qrc:/Main.qml")));

    if (auto* app = qobject_cast<ShellApplication*>(qApp))
        app->processOpenUriArguments(QCoreApplication::arguments());
    return 0;
}

int shellEntry(int argc, char** argv)
{
    QCoreApplication::setOrganizationName(QStringLiteral("Ravozadar"));
    QCoreApplication::setApplicationName(QStringLiteral("Daveri"));
    // Custom schemes must be known to the web engine before it starts.
    declareContentScheme();
    // The web engine shares OpenGL contexts with Qt Quick; this must be set
    // before the application object exists.
    QtWebEngine::initialize();

    auto app = std::make_unique<ShellApplication>(argc, argv);
    QObject::connect(app.get(), &QCoreApplication::aboutToQuit, [] {
        QQmlApplicationEngine* engine = g_engine;
        g_engine = nullptr;
        delete engine;
    });

    QStringList arguments = QCoreApplication::arguments();
    if (!hasWebSecuritySwitch(arguments)) {
        arguments.append(kWebSecuritySwitch);
        QProcess::startDetached(QCoreApplication::applicationFilePath(), arguments, QDir::currentPath());
        QCoreApplication::exit(0);
        app.reset();
        return 0;
    }

    int result = startShell();
    if (result == 0)
        result = QCoreApplication::exec();
    app.reset();
    return result;
}
