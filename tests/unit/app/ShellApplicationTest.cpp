// The application object: log file and line format, "--open-uri" handling
// through file-open events, and the fatal end of an escaped archive error.

#include "ArchiveException.h"
#include "PathsManager.h"
#include "QMLEvent.h"
#include "ShellApplication.h"

#include <QFile>
#include <QFileOpenEvent>
#include <QProcess>
#include <QSignalSpy>
#include <QWindow>
#include <QtTest>

namespace {

QByteArray readLog()
{
    QFile file(PathsManager::instance()->get(QStringLiteral("logsPath")));
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

// Throws from inside event delivery, as a scheme handler would on a damaged
// archive entry.
class Thrower : public QObject
{
protected:
    bool event(QEvent* e) override
    {
        if (e->type() == QEvent::User)
            throw ArchiveException(7, QStringLiteral("bad entry"));
        return QObject::event(e);
    }
};

} // namespace

class ShellApplicationTest : public QObject
{
    Q_OBJECT

private:
    ShellApplication* app() { return static_cast<ShellApplication*>(qApp); }

private slots:
    void logFileIsOpenAndAppended()
    {
        QVERIFY(app()->logFile());
        QVERIFY(app()->logFile()->isOpen());
        QCOMPARE(app()->logFile()->openMode(),
                 QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text | QIODevice::Unbuffered);
        QCOMPARE(app()->logFile()->fileName(), PathsManager::instance()->get(QStringLiteral("logsPath")));
    }

    void lineFormat_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QByteArray>("category");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("debug") << int(QtDebugMsg) << QByteArray("default") << QStringLiteral("hello")
                               << QByteArray("[debug] default: hello\r\n");
        QTest::newRow("info") << int(QtInfoMsg) << QByteArray("js") << QStringLiteral("page says")
                              << QByteArray("[info] js: page says\r\n");
        QTest::newRow("warning") << int(QtWarningMsg) << QByteArray("InstanceGuard") << QStringLiteral("w")
                                 << QByteArray("[warning] InstanceGuard: w\r\n");
        QTest::newRow("critical") << int(QtCriticalMsg) << QByteArray("default") << QStringLiteral("c")
                                  << QByteArray("[critical] default: c\r\n");
        QTest::newRow("UTF-8") << int(QtWarningMsg) << QByteArray("default")
                               << QString::fromUtf8("Grüße 日本")
                               << QByteArray("[warning] default: Gr\xc3\xbc\xc3\x9f" "e \xe6\x97\xa5\xe6\x9c\xac\r\n");
    }

    void lineFormat()
    {
        QFETCH(int, type);
        QFETCH(QByteArray, category);
        QFETCH(QString, message);
        QFETCH(QByteArray, expected);
        const int before = readLog().size();
        QMessageLogContext context(nullptr, 0, nullptr, category.constData());
        ShellApplication::logMessage(QtMsgType(type), context, message);
        QCOMPARE(readLog().mid(before), expected);
    }

    // Lines written from many threads at once never interleave.
    void concurrentLines()
    {
        const int before = readLog().size();
        QList<QThread*> threads;
        for (int t = 0; t < 6; ++t) {
            threads << QThread::create([t] {
                QMessageLogContext context(nullptr, 0, nullptr, "default");
                for (int i = 0; i < 300; ++i)
                    ShellApplication::logMessage(QtWarningMsg, context,
                                                 QStringLiteral("thread %1 line %2 ").arg(t).arg(i)
                                                     + QString(40, QLatin1Char('x')));
            });
        }
        for (QThread* thread : threads)
            thread->start();
        for (QThread* thread : threads) {
            thread->wait();
            delete thread;
        }
        const QList<QByteArray> lines = readLog().mid(before).split('\n');
        QCOMPARE(lines.size(), 6 * 300 + 1);
        const QRegularExpression shape(QStringLiteral("^\\[warning\\] default: thread \\d line \\d+ x{40}\\r$"));
        for (int i = 0; i < lines.size() - 1; ++i)
            QVERIFY2(shape.match(QString::fromUtf8(lines.at(i))).hasMatch(), lines.at(i).constData());
    }

    void openUriArguments_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QList<QUrl>>("expected");
        QTest::newRow("two in order")
            << QStringList{QStringLiteral("/opt/daveri"), QStringLiteral("--open-uri=lesson://a"),
                           QStringLiteral("--open-uri=lesson://b")}
            << QList<QUrl>{QUrl::fromLocalFile(QStringLiteral("lesson://a")),
                           QUrl::fromLocalFile(QStringLiteral("lesson://b"))};
        QTest::newRow("without equals sign")
            << QStringList{QStringLiteral("--open-uri")}
            << QList<QUrl>{QUrl::fromLocalFile(QStringLiteral("--open-uri"))};
        QTest::newRow("empty value ignored") << QStringList{QStringLiteral("--open-uri=")} << QList<QUrl>{};
        QTest::newRow("letter case counts") << QStringList{QStringLiteral("--OPEN-URI=x")} << QList<QUrl>{};
        QTest::newRow("other arguments skipped")
            << QStringList{QStringLiteral("x--open-uri=a"), QStringLiteral("--disable-web-security"),
                           QStringLiteral("--open-urix")}
            << QList<QUrl>{QUrl::fromLocalFile(QStringLiteral("--open-urix"))};
    }

    void openUriArguments()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QList<QUrl>, expected);
        QSignalSpy spy(app(), &ShellApplication::applicationEvent);
        app()->processOpenUriArguments(arguments);
        QCOMPARE(spy.count(), 0); // posted, not sent
        QCoreApplication::processEvents();
        QCOMPARE(spy.count(), expected.size());
        for (int i = 0; i < expected.size(); ++i) {
            const QMLEvent event = spy.at(i).at(0).value<QMLEvent>();
            QCOMPARE(event.className(), QStringLiteral("QMLFileOpenEvent"));
            const auto* data = static_cast<const QMLFileOpenEvent*>(event.data());
            QCOMPARE(data->url(), expected.at(i));
            QCOMPARE(event.type(), QMLFileOpenEvent::eventType());
            QVERIFY(event.type() >= QEvent::User);
        }
    }

    void fileOpenBringsWindowToFront()
    {
        QWindow window;
        QVERIFY(!window.isVisible());
        QSignalSpy spy(app(), &ShellApplication::applicationEvent);
        QFileOpenEvent event(QUrl(QStringLiteral("lesson://x")));
        QVERIFY(QCoreApplication::sendEvent(app(), &event));
        QCOMPARE(spy.count(), 1);
        QVERIFY(window.isVisible());

        QFileOpenEvent empty{QUrl()};
        QCoreApplication::sendEvent(app(), &empty);
        QCOMPARE(spy.count(), 1);
    }

    void eventRecordsShareData()
    {
        QMLEvent first(new QMLFileOpenEvent(QUrl(QStringLiteral("a:b"))));
        QMLEvent copy = first;
        QCOMPARE(copy.data(), first.data());
        QCOMPARE(QMetaType::type("QMLEvent"), qMetaTypeId<QMLEvent>());
        QMLEvent other(new QMLFileOpenEvent(QUrl(QStringLiteral("c:d"))));
        QCOMPARE(other.type(), first.type());
    }

    // An archive error that escapes event delivery ends the process with the
    // fatal line, in the log and on standard error.
    void escapedArchiveErrorIsFatal()
    {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--throw-archive")});
        QVERIFY(child.waitForFinished(30000));
        QVERIFY(child.exitStatus() == QProcess::CrashExit || child.exitCode() != 0);
        QVERIFY2(child.readAllStandardError().contains("Archive error, code: 7, message: bad entry.\n"),
                 "fatal line missing on standard error");
        QVERIFY(readLog().contains("[fatal] default: Archive error, code: 7, message: bad entry.\r\n"));
    }
};

int main(int argc, char** argv)
{
    QCoreApplication::setOrganizationName(QStringLiteral("Ravozadar"));
    QCoreApplication::setApplicationName(QStringLiteral("Daveri"));
    ShellApplication app(argc, argv);
    if (QCoreApplication::arguments().contains(QStringLiteral("--throw-archive"))) {
        Thrower thrower;
        QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
        return app.exec();
    }
    ShellApplicationTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "ShellApplicationTest.moc"
