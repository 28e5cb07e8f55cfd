// Named paths and the configuration reader: defaults, conversions, groups
// and the content archive path.

#include "PathsManager.h"
#include "SettingsManager.h"
#include "StateManager.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

class SettingsTest : public QObject
{
    Q_OBJECT

private:
    QString writeConfig(const QByteArray& text)
    {
        const QString path = m_dir.filePath(QStringLiteral("vazovazo.config"));
        QFile file(path);
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(text);
        return path;
    }

    QTemporaryDir m_dir;

private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("Ravozadar"));
        QCoreApplication::setApplicationName(QStringLiteral("Daveri"));
        QVERIFY(m_dir.isValid());
    }

    void namedPaths()
    {
        PathsManager paths;
        const QString programDir = QCoreApplication::applicationDirPath();
        const QString appData = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        QVERIFY(appData.endsWith(QLatin1String("/Ravozadar/Daveri")));
        QCOMPARE(paths.get(QStringLiteral("homePath")), QDir::homePath());
        QCOMPARE(paths.get(QStringLiteral("wrapperRootPath")), QStringLiteral("/wrapper/wrapper/"));
        QCOMPARE(paths.get(QStringLiteral("wrapperAccessPath")), QStringLiteral("/wrapper/wrapper/"));
        QCOMPARE(paths.get(QStringLiteral("wrapperIndexPath")), QStringLiteral("/wrapper/wrapper/index.html"));
        QCOMPARE(paths.get(QStringLiteral("wrapperStartupPath")),
                 QStringLiteral("file:///wrapper/wrapper/index.html?backend=desktop&platform=win"));
        QCOMPARE(paths.get(QStringLiteral("contentsPath")), appData + QStringLiteral("/contents"));
        QCOMPARE(paths.get(QStringLiteral("localStorageRootPath")), appData);
        QCOMPARE(paths.get(QStringLiteral("wrapperArchivePath")), programDir + QStringLiteral("/data.bin"));
        QCOMPARE(paths.get(QStringLiteral("configPath")), programDir + QStringLiteral("/vazovazo.config"));
        QCOMPARE(paths.get(QStringLiteral("logsPath")),
                 QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation)
                     + QStringLiteral("/appLogs.txt"));
        QVERIFY(!paths.get(QStringLiteral("downloadPath")).isEmpty());
        // Added only at start-up.
        QVERIFY(paths.get(QStringLiteral("localStoragePath")).isNull());
    }

    void setAndGet()
    {
        PathsManager paths;
        QVERIFY(paths.get(QStringLiteral("nobody")).isNull());
        QCOMPARE(paths.get(QStringLiteral("nobody"), QStringLiteral("x")), QStringLiteral("x"));
        paths.set(QStringLiteral("contentsPath"), QStringLiteral("/new/place"));
        QCOMPARE(paths.get(QStringLiteral("contentsPath")), QStringLiteral("/new/place"));
        paths.set(QStringLiteral("empty"), QString(QLatin1String("")));
        QCOMPARE(paths.get(QStringLiteral("empty"), QStringLiteral("default")), QString());
        QVERIFY(!paths.get(QStringLiteral("empty"), QStringLiteral("default")).isNull());
    }

    // Every key the shell reads, with its default, for a missing file, an
    // empty file and a malformed one.
    void defaults_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::newRow("missing file") << QByteArray();
        QTest::newRow("empty file") << QByteArray("");
        QTest::newRow("malformed") << QByteArray("\x00\xff[[[visual\n=StageX\n\xfe\xfe]]]=\n[", 22);
        QTest::newRow("other groups only") << QByteArray("[other]\nStageX=5\n");
    }

    void defaults()
    {
        QFETCH(QByteArray, config);
        const QString path = config.isNull() ? m_dir.filePath(QStringLiteral("absent.config")) : writeConfig(config);
        SettingsManager settings(path);
        auto get = [&](const char* group, const char* key, const QVariant& def) {
            return settings.get(QString::fromLatin1(group), QString::fromLatin1(key), def);
        };
        QCOMPARE(get("storage", "path", QStringLiteral("storage")).toString(), QStringLiteral("storage"));
        QCOMPARE(get("visual", "ProductName", QString()).toString(), QString());
        QCOMPARE(get("visual", "StageX", 1024).toInt(), 1024);
        QCOMPARE(get("visual", "StageY", 768).toInt(), 768);
        QCOMPARE(get("wrapper", "archiveManager", QStringLiteral("zip")).toString(), QStringLiteral("zip"));
        QCOMPARE(get("wrapper", "encrypted", true).toBool(), true);
        QCOMPARE(get("wrapper", "interceptor", QStringLiteral("RequestInterceptor")).toString(),
                 QStringLiteral("RequestInterceptor"));
        QVERIFY(!settings.get(QStringLiteral("visual"), QStringLiteral("StageX")).isValid());
        QCOMPARE(settings.contentArchivePath(),
                 QCoreApplication::applicationDirPath() + QStringLiteral("/data.bin"));
    }

    void conversions_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("defValue");
        QTest::addColumn<QVariant>("expected");
        QTest::newRow("number from text") << QByteArray("StageX=1280") << QStringLiteral("StageX")
                                          << QVariant(1024) << QVariant(1280);
        QTest::newRow("boolean false") << QByteArray("encrypted=false") << QStringLiteral("encrypted")
                                       << QVariant(true) << QVariant(false);
        QTest::newRow("boolean true") << QByteArray("encrypted=true") << QStringLiteral("encrypted")
                                      << QVariant(false) << QVariant(true);
        QTest::newRow("not a number") << QByteArray("StageX=wide") << QStringLiteral("StageX")
                                      << QVariant(1024) << QVariant(0);
        QTest::newRow("UTF-8 text") << QByteArray("ProductName=Kurs \xc3\xa4\xe6\x97\xa5") << QStringLiteral("ProductName")
                                    << QVariant(QString()) << QVariant(QString::fromUtf8("Kurs \xc3\xa4\xe6\x97\xa5"));
    }

    void conversions()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, key);
        QFETCH(QVariant, defValue);
        QFETCH(QVariant, expected);
        SettingsManager settings(writeConfig("[g]\n" + line + "\n"));
        const QVariant value = settings.get(QStringLiteral("g"), key, defValue);
        if (expected.type() == QVariant::Bool)
            QCOMPARE(value.toBool(), expected.toBool());
        else if (expected.type() == QVariant::Int)
            QCOMPARE(value.toInt(), expected.toInt());
        else
            QCOMPARE(value.toString(), expected.toString());
    }

    void archivePath_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<QString>("expected");
        const QString programDir = QCoreApplication::applicationDirPath();
        QTest::newRow("relative") << QByteArray("[wrapper]\narchivePath=content/data.zip\n")
                                  << programDir + QStringLiteral("/content/data.zip");
        QTest::newRow("absolute") << QByteArray("[wrapper]\narchivePath=/srv/course/pack.zip\n")
                                  << QStringLiteral("/srv/course/pack.zip");
        QTest::newRow("relative with dots") << QByteArray("[wrapper]\narchivePath=../x/c.zip\n")
                                            << QDir::cleanPath(programDir + QStringLiteral("/../x/c.zip"));
        QTest::newRow("absent") << QByteArray("[wrapper]\nencrypted=false\n")
                                << programDir + QStringLiteral("/data.bin");
    }

    void archivePath()
    {
        QFETCH(QByteArray, config);
        QFETCH(QString, expected);
        SettingsManager settings(writeConfig(config));
        QCOMPARE(settings.contentArchivePath(), expected);
    }

    void groups()
    {
        SettingsManager settings(writeConfig("[g]\na=1\nsub/b=2\ndeeper\\c=three\n[other]\nd=4\n"));
        QVariantMap expected;
        expected.insert(QStringLiteral("a"), QStringLiteral("1"));
        expected.insert(QStringLiteral("sub/b"), QStringLiteral("2"));
        expected.insert(QStringLiteral("deeper/c"), QStringLiteral("three"));
        const QVariantMap group = settings.getGroup(QStringLiteral("g"));
        QCOMPARE(group, expected);
        for (const QVariant& value : group)
            QCOMPARE(value.type(), QVariant::String);
        QVERIFY(settings.getGroup(QStringLiteral("absent")).isEmpty());
        // Reading a group leaves no group entered behind it.
        QCOMPARE(settings.get(QStringLiteral("other"), QStringLiteral("d")).toInt(), 4);
    }

    // Readers on several threads at once, as archive readers do while the
    // interface thread reads other groups.
    void concurrentReads()
    {
        SettingsManager settings(writeConfig("[a]\nk=1\n[b]\nk=2\n"));
        QAtomicInt wrong;
        QList<QThread*> threads;
        for (int t = 0; t < 4; ++t) {
            threads << QThread::create([&settings, &wrong, t] {
                const QString group = (t % 2) ? QStringLiteral("a") : QStringLiteral("b");
                const int expected = (t % 2) ? 1 : 2;
                for (int i = 0; i < 2000; ++i) {
                    if (settings.get(group, QStringLiteral("k"), 0).toInt() != expected)
                        wrong.ref();
                }
            });
            threads.last()->start();
        }
        for (QThread* thread : threads) {
            thread->wait();
            delete thread;
        }
        QCOMPARE(wrong.loadAcquire(), 0);
    }

    void processWideInstances()
    {
        // Creation from several threads at once yields one object.
        QList<QThread*> threads;
        QVector<StateManager*> seen(8, nullptr);
        for (int t = 0; t < seen.size(); ++t) {
            threads << QThread::create([&seen, t] { seen[t] = StateManager::instance(); });
        }
        for (QThread* thread : threads)
            thread->start();
        for (QThread* thread : threads) {
            thread->wait();
            delete thread;
        }
        QVERIFY(seen.first());
        for (StateManager* s : seen)
            QCOMPARE(s, seen.first());

        QCOMPARE(PathsManager::instance(), PathsManager::instance());
        QCOMPARE(SettingsManager::instance(), SettingsManager::instance());
        QCOMPARE(StateManager::instance(), seen.first());
        QVERIFY(!StateManager::instance()->isMobile());
        QVERIFY(!PathsManager::instance()->parent());
    }
};

QTEST_GUILESS_MAIN(SettingsTest)
#include "SettingsTest.moc"
