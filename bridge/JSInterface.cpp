#include "JSInterface.h"

#include "ArchiveAccessManager.h"
#include "PathsManager.h"

JSInterface::JSInterface(ArchiveAccessManager* archive, QObject* parent)
    : QObject(parent), m_archive(archive)
{
    // Service connections: each family connects its own signals here. The
    // store's page events are relayed like the zip plugin's, which
    // connectDownloadsAndZip connects.
    connect(&m_storage, &Storage::invokeJSCall, this, &JSInterface::onInvokeJSCall);
    connectDownloadsAndZip();

    m_application.reset(new CApplication());
    connect(this, &JSInterface::applicationEvent, m_application.data(), &CApplication::applicationEvent);
    connect(m_application.data(), &CApplication::invokeJSCall, this, &JSInterface::onInvokeJSCall);

    m_pluginNames = QStringList{
        QStringLiteral("Storage"),        QStringLiteral("Application"), QStringLiteral("Camera"),
        QStringLiteral("Network"),        QStringLiteral("AudioRecorder"), QStringLiteral("FileDownloader"),
        QStringLiteral("FileSystem"),     QStringLiteral("Hardware"),    QStringLiteral("Zip"),
        QStringLiteral("Archive")};
}

JSInterface::~JSInterface()
{
    destroyDownloadsAndZip();
    m_application.reset();
    m_pluginNames.clear();
    m_temporaryCopies.clear();
}

QVariantMap JSInterface::withUuid(const QString& uuid)
{
    QVariantMap data;
    data.insert(QStringLiteral("uuid"), uuid);
    return data;
}

QString JSInterface::contentsPath()
{
    return PathsManager::instance()->get(QStringLiteral("contentsPath"), QString());
}

void JSInterface::emitEvent(const QString& name, QVariantMap data)
{
    emit invokeJSCall(name, data);
}

void JSInterface::onInvokeJSCall(QString functionName, QVariantMap params)
{
    emit invokeJSCall(functionName, params);
}

void JSInterface::stateChanged(Qt::ApplicationState state)
{
    QVariantMap data;
    data.insert(QStringLiteral("state_code"), int(state));
    emitEvent(QStringLiteral("applicationStateChanged"), data);
}
