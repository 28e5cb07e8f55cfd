// Benchmark of the page's way to the shell, in the real web view.
//
// 1. Round trips driven by the page: fsContentsRootPath answered through the
//    bridge's invokeJSCall, against a bare echo object on the same web
//    channel whose ping(uuid) answers with a pong(uuid) signal. One call is
//    in flight at a time, so the figure is calls per second end to end.
// 2. XMLHttpRequest of a 64 MB entry from the content archive (zip stored,
//    deflated, encrypted) against the same bytes from disk in directory
//    mode.
//
// The parent process prepares the course and runs one child process per
// measurement (each child is a shell with its own configuration), then
// prints the ratios.
//
//   bench-bridge [--calls N] [--mb N]

#include "ContentPacker.h"
#include "DesktopBridge.h"
#include "PathsManager.h"
#include "RequestInterceptor.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>
#include <QtQml/qqml.h>
#include <QtWebEngine/qtwebengineglobal.h>
#include <cstdio>

class EchoObject : public QObject
{
    Q_OBJECT
public:
    Q_INVOKABLE void ping(QString uuid) { emit pong(uuid); }
signals:
    void pong(QString uuid);
};

namespace {

const char kPage[] = R"HTML(<!doctype html><html><head><meta charset="utf-8">
<script src="qrc:///qtwebchannel/qwebchannel.js"></script></head><body><script>
"use strict";
var CALLS = %CALLS%, MODE = "%MODE%";
function result(key, value) { console.warn("RESULT " + key + " " + value); }
function roundTrips(start, n) {
    return new Promise(function (resolve) {
        var i = 0, t0 = performance.now();
        function next() {
            if (i === n) { resolve(n / ((performance.now() - t0) / 1000)); return; }
            start("b" + (i++), next);
        }
        next();
    });
}
function xhr(url) {
    return new Promise(function (resolve) {
        var r = new XMLHttpRequest(), t0 = performance.now();
        r.open("GET", url); r.responseType = "arraybuffer";
        r.onload = function () { resolve({ bytes: r.response.byteLength, ms: performance.now() - t0 }); };
        r.onerror = function () { resolve({ bytes: -1, ms: 1 }); };
        r.send();
    });
}
new QWebChannel(qt.webChannelTransport, async function (channel) {
    var shell = channel.objects.shellInterface, echo = channel.objects.echo;
    if (MODE === "roundtrip") {
        var waitingShell = null, waitingEcho = null;
        shell.invokeJSCall.connect(function (name, data) { if (waitingShell) { var w = waitingShell; waitingShell = null; w(); } });
        echo.pong.connect(function (uuid) { if (waitingEcho) { var w = waitingEcho; waitingEcho = null; w(); } });
        var viaShell = function (uuid, done) { waitingShell = done; shell.fsContentsRootPath(uuid); };
        var viaEcho = function (uuid, done) { waitingEcho = done; echo.ping(uuid); };
        await roundTrips(viaShell, 200); await roundTrips(viaEcho, 200);   // warm up
        // Rounds alternate between the two, so that both see the same
        // machine; the figures are medians over the rounds.
        var shellRates = [], echoRates = [], ratios = [];
        for (var round = 0; round < 9; round++) {
            var e = await roundTrips(viaEcho, CALLS);
            var s = await roundTrips(viaShell, CALLS);
            echoRates.push(e); shellRates.push(s); ratios.push(s / e);
        }
        function median(a) { a = a.slice().sort(function (x, y) { return x - y; }); return a[a.length >> 1]; }
        result("shell_calls_per_s", median(shellRates).toFixed(1));
        result("echo_calls_per_s", median(echoRates).toFixed(1));
        result("ratio", median(ratios).toFixed(3));
    } else {
        var best = 0, bytes = 0;
        for (var k = 0; k < 8; k++) {
            var r = await xhr("big.bin");
            bytes = r.bytes;
            best = Math.max(best, r.bytes / 1048576 / (r.ms / 1000));
        }
        result("bytes", bytes);
        result("mb_per_s", best.toFixed(1));
    }
    console.warn("BENCH DONE");
});
</script></body></html>)HTML";

QTextStream& out()
{
    static QTextStream stream(stdout);
    return stream;
}

// Child: passes the page's RESULT lines on to standard output.
void childMessages(QtMsgType, const QMessageLogContext& context, const QString& message)
{
    if (qstrcmp(context.category, "js") != 0)
        return;
    if (message.startsWith(QLatin1String("RESULT ")))
        out() << message << Qt::endl;
    if (message == QLatin1String("BENCH DONE"))
        QMetaObject::invokeMethod(qApp, "quit", Qt::QueuedConnection);
}

int runChild(int argc, char** argv, const QString& workDir)
{
    QCoreApplication::setOrganizationName(QStringLiteral("Ravozadar"));
    QCoreApplication::setApplicationName(QStringLiteral("DaveriBench"));
    declareContentScheme();
    QtWebEngine::initialize();
    QApplication app(argc, argv);
    qInstallMessageHandler(childMessages);
    PathsManager* paths = PathsManager::instance();
    paths->set(QStringLiteral("configPath"), workDir + QStringLiteral("/vazovazo.config"));
    paths->set(QStringLiteral("wrapperArchivePath"), workDir + QStringLiteral("/data.bin"));
    DesktopBridge::registerType();
    qmlRegisterType<EchoObject>("BenchEcho", 1, 0, "EchoObject");
    QQmlApplicationEngine engine;
    engine.rootContext()->setContextProperty(QStringLiteral("pathsManager"), paths);
    engine.load(QUrl(QStringLiteral("qrc:/BridgeBench.qml")));
    QTimer::singleShot(600000, &app, [] { QCoreApplication::exit(2); });
    return app.exec();
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

// Runs one measurement in a child process; returns its RESULT values.
QMap<QString, double> measure(const QString& name, const QString& courseDir, const QString& root, const QString& mode,
                              ContentPacker::Format format, ContentPacker::Compression compression, int calls)
{
    const QString work = root + QLatin1Char('/') + name;
    QDir().mkpath(work);
    QString config = QStringLiteral("[wrapper]\nencrypted=%1\n").arg(
        format == ContentPacker::ZipEncrypted ? QStringLiteral("true") : QStringLiteral("false"));
    QString pageDir = courseDir;
    if (mode == QLatin1String("directory")) {
        config += QStringLiteral("interceptor=ForwardRequestInterceptor\n");
        // The course lies beside the archive path; the archive itself is
        // only opened, never read.
        QDir().rename(courseDir + QStringLiteral("/wrapper"), work + QStringLiteral("/wrapper"));
    }
    writeFile(work + QStringLiteral("/vazovazo.config"), config.toUtf8());
    ContentPacker packer;
    const QString source = mode == QLatin1String("directory") ? root + QStringLiteral("/placeholder") : courseDir;
    if (!packer.pack(source, work + QStringLiteral("/data.bin"), format, compression)) {
        out() << "packing failed: " << packer.errorString() << Qt::endl;
        return {};
    }

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), work + QStringLiteral("/home"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), work + QStringLiteral("/home/data"));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--child"), work, QStringLiteral("--disable-web-security")});
    child.waitForFinished(-1);
    if (mode == QLatin1String("directory"))
        QDir().rename(work + QStringLiteral("/wrapper"), courseDir + QStringLiteral("/wrapper"));

    QMap<QString, double> values;
    const QStringList lines = QString::fromUtf8(child.readAllStandardOutput()).split(QLatin1Char('\n'));
    for (const QString& line : lines) {
        const QStringList parts = line.split(QLatin1Char(' '));
        if (parts.size() == 3 && parts.first() == QLatin1String("RESULT"))
            values.insert(parts.at(1), parts.at(2).toDouble());
    }
    Q_UNUSED(calls)
    return values;
}

} // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (qstrcmp(argv[i], "--child") == 0)
            return runChild(argc, argv, QString::fromLocal8Bit(argv[i + 1]));
    }
    QCoreApplication app(argc, argv);
    int calls = 2000;
    int megabytes = 64;
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--calls"))
            calls = args.at(i + 1).toInt();
        if (args.at(i) == QLatin1String("--mb"))
            megabytes = args.at(i + 1).toInt();
    }

    QTemporaryDir root;
    const QString course = root.filePath(QStringLiteral("course"));
    const QString wrapper = course + QStringLiteral("/wrapper/wrapper/");
    writeFile(root.filePath(QStringLiteral("placeholder/unused.txt")), "unused");
    QByteArray big(megabytes * 1048576, Qt::Uninitialized);
    QRandomGenerator generator(42);
    generator.fillRange(reinterpret_cast<quint32*>(big.data()), big.size() / 4);
    writeFile(wrapper + QStringLiteral("big.bin"), big);
    big.clear();

    auto page = [&](const QString& mode) {
        QString text = QString::fromLatin1(kPage);
        text.replace(QStringLiteral("%CALLS%"), QString::number(calls));
        text.replace(QStringLiteral("%MODE%"), mode);
        writeFile(wrapper + QStringLiteral("index.html"), text.toUtf8());
    };

    out() << "Round trips (" << calls << " sequential calls per round, medians of 9 alternating rounds):" << Qt::endl;
    page(QStringLiteral("roundtrip"));
    const auto trips = measure(QStringLiteral("roundtrip"), course, root.path(), QStringLiteral("roundtrip"),
                               ContentPacker::ZipPlain, ContentPacker::Stored, calls);
    const double shellRate = trips.value(QStringLiteral("shell_calls_per_s"));
    const double echoRate = trips.value(QStringLiteral("echo_calls_per_s"));
    out() << QStringLiteral("  fsContentsRootPath %1 calls/s, echo %2 calls/s, ratio %3 (goal >= 0.9)")
                 .arg(shellRate, 0, 'f', 1).arg(echoRate, 0, 'f', 1)
                 .arg(trips.value(QStringLiteral("ratio")), 0, 'f', 3)
          << Qt::endl;

    out() << "XMLHttpRequest of a " << megabytes << " MB entry (best of 8):" << Qt::endl;
    page(QStringLiteral("xhr"));
    const auto disk = measure(QStringLiteral("directory"), course, root.path(), QStringLiteral("directory"),
                              ContentPacker::ZipPlain, ContentPacker::Stored, calls);
    const double diskRate = disk.value(QStringLiteral("mb_per_s"));
    out() << QStringLiteral("  directory mode (baseline) %1 MB/s, %2 bytes")
                 .arg(diskRate, 0, 'f', 1).arg(qint64(disk.value(QStringLiteral("bytes"))))
          << Qt::endl;
    const struct { const char* label; ContentPacker::Format format; ContentPacker::Compression compression; } kinds[] = {
        {"zip stored", ContentPacker::ZipPlain, ContentPacker::Stored},
        {"zip deflated", ContentPacker::ZipPlain, ContentPacker::Deflated},
        {"zip encrypted", ContentPacker::ZipEncrypted, ContentPacker::Deflated},
    };
    for (const auto& kind : kinds) {
        const auto values = measure(QString::fromLatin1(kind.label).replace(QLatin1Char(' '), QLatin1Char('-')),
                                    course, root.path(), QStringLiteral("archive"), kind.format, kind.compression, calls);
        const double rate = values.value(QStringLiteral("mb_per_s"));
        out() << QStringLiteral("  %1: %2 MB/s, %3 bytes, ratio %4 (goal >= 0.8)")
                     .arg(QString::fromLatin1(kind.label)).arg(rate, 0, 'f', 1)
                     .arg(qint64(values.value(QStringLiteral("bytes"))))
                     .arg(diskRate > 0 ? rate / diskRate : 0.0, 0, 'f', 3)
              << Qt::endl;
    }
    return 0;
}

#include "BridgeBench.moc"
