#pragma once

#include "QMLEvent.h"

#include <QApplication>
#include <QStringList>

class QFile;

// The one application object of the process. Opens the append-only log file
// and installs the process-wide message handler, registers the URL schemes
// with the desktop, and turns "--open-uri" arguments and file-open events into
// application events for the page.
class ShellApplication : public QApplication
{
    Q_OBJECT
public:
    ShellApplication(int& argc, char** argv);
    ~ShellApplication() override;

    bool notify(QObject* receiver, QEvent* event) override;

    // Posts one file-open event for every element that begins with
    // "--open-uri" (letter case significant), the first element included.
    void processOpenUriArguments(const QStringList& arguments);

    // The open log file, or null when none could be opened.
    QFile* logFile() const { return m_logFile; }

    // The process-wide message handler: formats the message with the message
    // pattern and appends it to the log file; drops it when there is none.
    // Safe to call from any thread.
    static void logMessage(QtMsgType type, const QMessageLogContext& context, const QString& message);

    // Space-separated scheme names registered with the desktop at start-up;
    // empty in this build.
    static QString urlSchemeList();

signals:
    void applicationEvent(QMLEvent event);

private:
    void openLogFile();
    QFile* m_logFile = nullptr;
};
