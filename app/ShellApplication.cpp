#include "ShellApplication.h"

#include "ArchiveException.h"
#include "ArchiveFatal.h"
#include "PathsManager.h"
#include "UrlSchemeRegistrar.h"

#include <QAtomicPointer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileOpenEvent>
#include <QMutex>
#include <QRegularExpression>
#include <QWindow>

#ifndef DAVERI_URL_SCHEMES
#define DAVERI_URL_SCHEMES ""
#endif

namespace {

// The log file of the living application object, read by the message handler
// on whatever thread logs. Cleared before the file is closed.
QAtomicPointer<QFile> g_logFile;

// Serialises writes from different threads: QFile is not thread-safe, and
// one line must never interleave with another.
QMutex& logMutex()
{
    static QMutex mutex;
    return mutex;
}

} // namespace

void ShellApplication::logMessage(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (!g_logFile.loadAcquire())
        return;
    const QByteArray line = qFormatLogMessage(type, context, message).toUtf8();
    QMutexLocker lock(&logMutex());
    if (QFile* file = g_logFile.loadAcquire())
        file->write(line);
}

ShellApplication::ShellApplication(int& argc, char** argv)
    : QApplication(argc, argv)
{
    qRegisterMetaType<QMLEvent>("QMLEvent");
    openLogFile();
    qSetMessagePattern(QStringLiteral("[%{type}] %{category}: %{message}\r\n"));
    qInstallMessageHandler(&ShellApplication::logMessage);
    UrlSchemeRegistrar::registerSchemes(urlSchemeList().split(QLatin1Char(' ')),
                                        QCoreApplication::applicationFilePath());
}

ShellApplication::~ShellApplication()
{
    QFile* file = m_logFile;
    {
        QMutexLocker lock(&logMutex());
        g_logFile.storeRelease(nullptr);
        m_logFile = nullptr;
    }
    delete file;
}

QString ShellApplication::urlSchemeList()
{
    return QStringLiteral(DAVERI_URL_SCHEMES);
}

void ShellApplication::openLogFile()
{
    const QString path = PathsManager::instance()->get(QStringLiteral("logsPath"), QString());
    const QFileInfo info(path);
    if (!QDir().mkpath(info.absolutePath()))
        qCritical("Application logs path can not be created");

    delete m_logFile;
    m_logFile = new QFile(info.absoluteFilePath());
    if (!m_logFile->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text | QIODevice::Unbuffered)) {
        qCritical("Log file cannot be opened at '%s'", info.absoluteFilePath().toUtf8().constData());
        delete m_logFile;
        m_logFile = nullptr;
    }
    g_logFile.storeRelease(m_logFile);
}

void ShellApplication::processOpenUriArguments(const QStringList& arguments)
{
    static const QRegularExpression prefix(QStringLiteral("^--open-uri="));
    for (const QString& argument : arguments) {
        if (!argument.startsWith(QLatin1String("--open-uri")))
            continue;
        QString rest = argument;
        rest.remove(prefix);
        QCoreApplication::postEvent(this, new QFileOpenEvent(rest), Qt::NormalEventPriority);
    }
}

bool ShellApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        if (event->type() == QEvent::FileOpen) {
            const QUrl url = static_cast<QFileOpenEvent*>(event)->url();
            if (!url.isEmpty()) {
                emit applicationEvent(QMLEvent(new QMLFileOpenEvent(url)));
                const QWindowList windows = topLevelWindows();
                if (!windows.isEmpty()) {
                    QWindow* window = windows.first();
                    window->show();
                    window->raise();
                    window->alert(0);
                    window->requestActivate();
                }
                return true;
            }
        }
        return QApplication::notify(receiver, event);
    } catch (const ArchiveException& e) {
        endWithArchiveError(e);
    }
}
