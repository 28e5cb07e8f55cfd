#include "ArchiveException.h"
#include "CourseFixture.h"
#include "SettingsManager.h"
#include "ZidOziArchiveManager.h"
#include "ZipArchiveAccessManager.h"

#include <QProcess>
#include <QtTest>
#include <memory>

namespace {

QStringList args(std::initializer_list<const char*> values)
{
    QStringList list;
    for (const char* value : values)
        list.append(QString::fromUtf8(value));
    return list;
}

} // namespace

// The daveri-pack command: what course makers and the build run. Every
// format it writes is read back by the matching content reader.
class ContentPackerTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    CourseFixture m_course;
    QString m_courseDir;

    struct Run {
        int exitCode;
        QByteArray out;
        QByteArray err;
    };

    static Run pack(const QStringList& arguments)
    {
        QProcess process;
        process.start(QStringLiteral(DAVERI_PACK), arguments);
        if (!process.waitForFinished(120000))
            return {-1, {}, {}};
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                process.readAllStandardOutput(), process.readAllStandardError()};
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_course.fill(20);
        m_courseDir = m_dir.filePath(QStringLiteral("course"));
        QVERIFY(m_course.write(m_courseDir));
        // An empty directory adds no entry.
        QVERIFY(QDir().mkpath(m_courseDir + QStringLiteral("/wrapper/no-files")));
    }

    void roundTrip_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("reader");
        QTest::addColumn<QString>("method");
        QTest::addColumn<bool>("encrypted");
        QTest::newRow("default: encrypted zip") << QStringList() << "zip" << "deflated" << true;
        QTest::newRow("zip") << args({"--format", "zip"}) << "zip" << "deflated" << true;
        QTest::newRow("zip stored") << args({"--format", "zip", "--store"}) << "zip" << "stored" << true;
        QTest::newRow("zip-plain") << args({"--format=zip-plain"}) << "zip" << "deflated" << false;
        QTest::newRow("zip-plain stored") << args({"--store", "--format", "zip-plain"}) << "zip" << "stored" << false;
        QTest::newRow("zidozi") << args({"--format", "zidozi"}) << "zidozi" << "deflated" << false;
        QTest::newRow("zidozi stored") << args({"--format", "zidozi", "--store"}) << "zidozi" << "stored" << false;
    }
    void roundTrip()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, reader);
        QFETCH(QString, method);
        QFETCH(bool, encrypted);
        const QString archive = m_dir.filePath(QStringLiteral("packed.bin"));
        // Packing over an existing archive replaces it.
        QFile::remove(archive);
        QVERIFY(QFile(archive).open(QIODevice::WriteOnly));

        const Run run = pack(options + QStringList{m_courseDir, archive});
        QVERIFY2(run.exitCode == 0, run.err.constData());

        const Run listing = pack({QStringLiteral("--list"), archive});
        QCOMPARE(listing.exitCode, 0);
        const QList<QByteArray> lines = listing.out.trimmed().split('\n');
        QCOMPARE(lines.size(), m_course.files.size());
        for (const QByteArray& line : lines) {
            const QList<QByteArray> fields = line.split('\t');
            QVERIFY2(fields.size() >= 4, line.constData());
            const QString name = QString::fromUtf8(fields.at(0));
            QVERIFY2(m_course.files.contains(name), line.constData());
            QCOMPARE(fields.at(1).toLongLong(), qint64(m_course.files.value(name).size()));
            QCOMPARE(QString::fromLatin1(fields.at(3)), method);
            QCOMPARE(fields.size() == 5 && fields.at(4) == "encrypted", encrypted);
        }

        std::unique_ptr<ArchiveAccessManager> manager;
        SettingsManager settings(writeWrapperConfig(
            m_dir.filePath(QStringLiteral("pack.config")),
            {{QStringLiteral("encrypted"), encrypted ? QStringLiteral("true") : QStringLiteral("false")}}));
        if (reader == QLatin1String("zidozi"))
            manager.reset(new ZidOziArchiveManager(archive));
        else
            manager.reset(new ZipArchiveAccessManager(archive, &settings));
        for (auto it = m_course.files.cbegin(); it != m_course.files.cend(); ++it)
            QCOMPARE(manager->readFile(it.key()), it.value());
        QVERIFY(!manager->fileExists(QStringLiteral("wrapper/no-files")));
        QVERIFY(!manager->fileExists(QStringLiteral("course/wrapper/wrapper/index.html")));
    }

    void failures_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("missing directory") << args({"--format", "zip", "/nonexistent/course", "@out"}) << 1;
        QTest::newRow("unknown format") << args({"--format", "rar", "@course", "@out"}) << 2;
        QTest::newRow("unknown option") << args({"--fast", "@course", "@out"}) << 2;
        QTest::newRow("one argument") << args({"@course"}) << 2;
        QTest::newRow("list of a missing file") << args({"--list", "@out"}) << 1;
        QTest::newRow("list of a foreign file") << args({"--list", "@foreign"}) << 1;
        QTest::newRow("unwritable archive") << args({"@course", "/nonexistent/dir/out.zip"}) << 1;
    }
    void failures()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        const QString out = m_dir.filePath(QStringLiteral("failed.bin"));
        const QString foreign = m_dir.filePath(QStringLiteral("foreign.txt"));
        QFile::remove(out);
        {
            QFile file(foreign);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("plain text, not an archive");
        }
        for (QString& argument : arguments) {
            if (argument == QLatin1String("@out"))
                argument = out;
            else if (argument == QLatin1String("@course"))
                argument = m_courseDir;
            else if (argument == QLatin1String("@foreign"))
                argument = foreign;
        }
        const Run run = pack(arguments);
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY(!run.err.isEmpty());
        QVERIFY(!QFile::exists(out));
    }

    void help()
    {
        const Run run = pack({QStringLiteral("--help")});
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.out.contains("--format zip|zip-plain|zidozi"));
        QVERIFY(run.out.contains("--list"));
    }
};

QTEST_GUILESS_MAIN(ContentPackerTest)
#include "ContentPackerTest.moc"
