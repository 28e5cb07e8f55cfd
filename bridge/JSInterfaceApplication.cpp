// The application commands of the dispatcher: start and end of the page's
// work with the shell, application information and state, the native file
// dialogs and the initialisation of optional plugins. All run on the
// interface thread inside the page's call.
#include "JSInterface.h"

#include "CTask.h"
#include "PathsManager.h"
#include "TaskRegistry.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcApplicationCommands, "bridge.application")

namespace {

// The version record that "initializeDone" and the Application plugin's
// answer carry.
QVariantMap versionRecord()
{
    return QJsonDocument::fromJson(QByteArrayLiteral("{ \"semver\": \"1.3.0\" }")).toVariant().toMap();
}

// The file the store opens unless the page names another one.
QString defaultStorePath()
{
    return PathsManager::instance()->get(QStringLiteral("localStoragePath"), QString())
           + QStringLiteral("/temp");
}

} // namespace

void JSInterface::initialize(QString uuid)
{
    const bool opened = m_storage.open(defaultStorePath());
    QVariantMap data = withUuid(uuid);
    if (opened) {
        data.insert(QStringLiteral("version"), versionRecord());
        emitEvent(QStringLiteral("initializeDone"), data);
    } else {
        emitEvent(QStringLiteral("initializeError"), data);
    }
}

void JSInterface::finalize(QString uuid)
{
    emitEvent(QStringLiteral("finalizeDone"), withUuid(uuid));
}

void JSInterface::applicationInfo(QString uuid)
{
    QVariantMap data = withUuid(uuid);
    data.insert(QStringLiteral("dir_path"), QCoreApplication::applicationDirPath());
    data.insert(QStringLiteral("file_path"), QCoreApplication::applicationFilePath());
    data.insert(QStringLiteral("name"), QCoreApplication::applicationName());
    data.insert(QStringLiteral("display_name"), QGuiApplication::applicationDisplayName());
    emitEvent(QStringLiteral("applicationInfoDone"), data);
}

void JSInterface::getApplicationState(QString uuid)
{
    QVariantMap data = withUuid(uuid);
    data.insert(QStringLiteral("state_code"), int(QGuiApplication::applicationState()));
    emitEvent(QStringLiteral("getApplicationStateFinish"), data);
}

namespace {

// Builds the answer of a file dialog: the chosen file, or code 609 when the
// user closed the dialog without choosing one (a null name).
bool fileDialogAnswer(const QString& filePath, QVariantMap& data)
{
    if (filePath.isNull()) {
        data.insert(QStringLiteral("code"), 609);
        return false;
    }
    const QFileInfo info(filePath);
    data.insert(QStringLiteral("filepath"), filePath);
    data.insert(QStringLiteral("filename"), info.fileName());
    data.insert(QStringLiteral("filedir"), info.absolutePath());
    data.insert(QStringLiteral("size"), info.exists() ? info.size() : qint64(0));
    return true;
}

} // namespace

// The dialogs run their own event loop: other page calls are served while
// they are open.
void JSInterface::getOpenFileName(QString uuid, QString title, QString dir, QString filter)
{
    emit setWebViewVisibility(false);
    const QString chosen = QFileDialog::getOpenFileName(nullptr, title, dir, filter);
    emit setWebViewVisibility(true);
    QVariantMap data = withUuid(uuid);
    const bool chose = fileDialogAnswer(chosen, data);
    emitEvent(chose ? QStringLiteral("getOpenFileNameFinish") : QStringLiteral("getOpenFileNameError"), data);
}

void JSInterface::getSaveFileName(QString uuid, QString title, QString dir, QString filter)
{
    emit setWebViewVisibility(false);
    const QString chosen = QFileDialog::getSaveFileName(nullptr, title, dir, filter);
    emit setWebViewVisibility(true);
    QVariantMap data = withUuid(uuid);
    const bool chose = fileDialogAnswer(chosen, data);
    emitEvent(chose ? QStringLiteral("getSaveFileNameFinish") : QStringLiteral("getSaveFileNameError"), data);
}

void JSInterface::initializePlugin(QString uuid, QString pluginName, QVariantMap params)
{
    QVariantMap data = withUuid(uuid);
    qDebug().noquote() << "Initialize:" << pluginName;

    if (!m_pluginNames.contains(pluginName)) {
        data.insert(QStringLiteral("code"), 607);
        emitEvent(QStringLiteral("initializePluginFail"), data);
        return;
    }

    if (pluginName == QLatin1String("Storage")) {
        const QString path = params.contains(QStringLiteral("path"))
                                 ? params.value(QStringLiteral("path")).toString()
                                 : defaultStorePath();
        emitEvent(m_storage.open(path) ? QStringLiteral("initializePluginDone")
                                       : QStringLiteral("initializePluginFail"),
                  data);
        return;
    }

    if (pluginName == QLatin1String("AudioRecorder") || pluginName == QLatin1String("Camera")
        || pluginName == QLatin1String("Network")) {
        // These plugins' own initialisation is not part of this shell yet:
        // the page learns that they are not available.
        qCInfo(lcApplicationCommands).noquote() << "Plugin not available:" << pluginName;
        emitEvent(QStringLiteral("initializePluginFail"), data);
        return;
    }

    if (pluginName == QLatin1String("Application")) {
        data.insert(QStringLiteral("version"), versionRecord());
        // The answer comes when the task resolves, after the plugin has sent
        // the application events it held back.
        const QSharedPointer<Task::ITask> task = m_application->initialize();
        Task::connectResolved(task.data(), this, [this, data](QSharedPointer<IResponse>) {
            emitEvent(QStringLiteral("initializePluginDone"), data);
        });
        startTask(task, m_application->tasks(), m_application.data());
        return;
    }

    // "FileDownloader", "FileSystem", "Hardware", "Zip", "Archive": ready
    // without initialisation.
    emitEvent(QStringLiteral("initializePluginDone"), data);
}
