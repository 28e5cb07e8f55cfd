#include "ArchiveAccessManager.h"
#include "ArchiveException.h"
#include "ContentPassword.h"
#include "CourseFixture.h"
#include "PathsManager.h"
#include "SettingsManager.h"
#include "ZidOziArchiveManager.h"
#include "ZipArchiveAccessManager.h"

#include <QAtomicInt>
#include <QThread>
#include <QtTest>
#include <memory>
#include <quazip.h>
#include <quazipfile.h>
#include <quazipnewinfo.h>
#include <zlib.h>

// Both content archive readers over archives written by the packer: reader
// selection, the "encrypted" setting, missing entries, unreadable archives,
// device independence and concurrent use.
class ArchiveReadersTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    CourseFixture m_course;
    QMap<QString, QString> m_archives; // kind -> archive path
    std::unique_ptr<SettingsManager> m_encryptedOn;  // "encrypted" absent
    std::unique_ptr<SettingsManager> m_encryptedOff; // encrypted=false

    QString path(const QString& name) const { return m_dir.filePath(name); }

    static bool isZidOzi(const QString& kind) { return kind.startsWith(QLatin1String("zidozi")); }
    static bool isEncrypted(const QString& kind) { return kind == QLatin1String("zip") || kind == QLatin1String("zip-stored"); }

    // The reader for an archive kind, configured to match it.
    ArchiveAccessManager* reader(const QString& kind)
    {
        const QString file = m_archives.value(kind);
        if (isZidOzi(kind))
            return new ZidOziArchiveManager(file);
        return new ZipArchiveAccessManager(file, isEncrypted(kind) ? m_encryptedOn.get() : m_encryptedOff.get());
    }

    static void addKinds()
    {
        QTest::addColumn<QString>("kind");
        for (const char* kind : {"zip", "zip-stored", "zip-plain", "zip-plain-stored", "zidozi", "zidozi-stored"})
            QTest::newRow(kind) << QString::fromLatin1(kind);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        // The process-wide settings manager reads this file: no keys, so
        // every value takes its default.
        PathsManager::instance()->set(QStringLiteral("configPath"),
                                      writeWrapperConfig(path(QStringLiteral("vazovazo.config")), {}));
        m_encryptedOn.reset(new SettingsManager(writeWrapperConfig(path(QStringLiteral("on.config")), {})));
        m_encryptedOff.reset(new SettingsManager(
            writeWrapperConfig(path(QStringLiteral("off.config")), {{QStringLiteral("encrypted"), QStringLiteral("false")}})));

        m_course.fill(300);
        const QString courseDir = path(QStringLiteral("course"));
        QVERIFY(m_course.write(courseDir));

        struct Kind { const char* name; ContentPacker::Format format; ContentPacker::Compression compression; };
        const Kind kinds[] = {
            {"zip", ContentPacker::ZipEncrypted, ContentPacker::Deflated},
            {"zip-stored", ContentPacker::ZipEncrypted, ContentPacker::Stored},
            {"zip-plain", ContentPacker::ZipPlain, ContentPacker::Deflated},
            {"zip-plain-stored", ContentPacker::ZipPlain, ContentPacker::Stored},
            {"zidozi", ContentPacker::ZidOzi, ContentPacker::Deflated},
            {"zidozi-stored", ContentPacker::ZidOzi, ContentPacker::Stored},
        };
        for (const Kind& kind : kinds) {
            const QString archive = path(QString::fromLatin1(kind.name) + QStringLiteral(".bin"));
            ContentPacker packer;
            QVERIFY2(packer.pack(courseDir, archive, kind.format, kind.compression), qPrintable(packer.errorString()));
            m_archives.insert(QString::fromLatin1(kind.name), archive);
        }
    }

    void readerSelection_data()
    {
        QTest::addColumn<bool>("hasKey");
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("zidozi");
        QTest::newRow("zidozi") << true << QStringLiteral("zidozi") << true;
        QTest::newRow("zip") << true << QStringLiteral("zip") << false;
        QTest::newRow("upper case ZIDOZI") << true << QStringLiteral("ZIDOZI") << false;
        QTest::newRow("mixed case Zidozi") << true << QStringLiteral("Zidozi") << false;
        QTest::newRow("padded") << true << QStringLiteral("\" zidozi\"") << false;
        QTest::newRow("empty") << true << QString() << false;
        QTest::newRow("other word") << true << QStringLiteral("rar") << false;
        QTest::newRow("missing key") << false << QString() << false;
    }
    void readerSelection()
    {
        QFETCH(bool, hasKey);
        QFETCH(QString, value);
        QFETCH(bool, zidozi);
        QMap<QString, QString> values;
        if (hasKey)
            values.insert(QStringLiteral("archiveManager"), value);
        SettingsManager settings(writeWrapperConfig(path(QStringLiteral("select.config")), values));

        std::unique_ptr<ArchiveAccessManager> manager(
            createArchiveManager(m_archives.value(zidozi ? QStringLiteral("zidozi") : QStringLiteral("zip")), &settings));
        QCOMPARE(qobject_cast<ZidOziArchiveManager*>(manager.get()) != nullptr, zidozi);
        QCOMPARE(qobject_cast<ZipArchiveAccessManager*>(manager.get()) != nullptr, !zidozi);
        QVERIFY(manager->fileExists(QStringLiteral("wrapper/wrapper/index.html")));
    }

    void processWideSettingsAreTheDefault()
    {
        // No configuration keys: zip reader, entries opened with the password.
        std::unique_ptr<ArchiveAccessManager> manager(createArchiveManager(m_archives.value(QStringLiteral("zip"))));
        QVERIFY(qobject_cast<ZipArchiveAccessManager*>(manager.get()));
        QCOMPARE(manager->readFile(QStringLiteral("wrapper/wrapper/index.html")),
                 m_course.files.value(QStringLiteral("wrapper/wrapper/index.html")));
    }

    void readsEveryEntry_data() { addKinds(); }
    void readsEveryEntry()
    {
        QFETCH(QString, kind);
        std::unique_ptr<ArchiveAccessManager> manager(reader(kind));
        for (auto it = m_course.files.cbegin(); it != m_course.files.cend(); ++it) {
            try {
                QVERIFY2(manager->fileExists(it.key()), qPrintable(it.key()));
                QCOMPARE(manager->readFile(it.key()), it.value());
                std::unique_ptr<QIODevice> device(manager->openFile(it.key()));
                QVERIFY(device);
                QVERIFY(device->isOpen() && device->isReadable());
                QCOMPARE(device->pos(), qint64(0));
                QCOMPARE(device->readAll(), it.value());
            } catch (const ArchiveException& e) {
                QFAIL(qPrintable(QStringLiteral("%1: code %2, %3").arg(it.key()).arg(e.code()).arg(e.message())));
            }
        }
    }

    void encryptedSetting_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("encryptedSetting");
        QTest::addColumn<bool>("readable");
        QTest::newRow("encrypted archive, encrypted absent") << "zip" << true << true;
        QTest::newRow("encrypted archive, encrypted=false") << "zip" << false << false;
        QTest::newRow("encrypted stored, encrypted=false") << "zip-stored" << false << false;
        QTest::newRow("plain archive, encrypted=false") << "zip-plain" << false << true;
        QTest::newRow("plain archive, encrypted absent") << "zip-plain" << true << false;
        QTest::newRow("plain stored, encrypted absent") << "zip-plain-stored" << true << false;
    }
    void encryptedSetting()
    {
        QFETCH(QString, kind);
        QFETCH(bool, encryptedSetting);
        QFETCH(bool, readable);
        ZipArchiveAccessManager manager(m_archives.value(kind),
                                        encryptedSetting ? m_encryptedOn.get() : m_encryptedOff.get());
        const QString entry = QStringLiteral("wrapper/media/clip.bin");
        QVERIFY(manager.fileExists(entry)); // the directory is never encrypted
        if (readable) {
            std::unique_ptr<QIODevice> device(manager.openFile(entry));
            QCOMPARE(device->readAll(), m_course.files.value(entry));
            return;
        }
        // A mismatch must never pass garbage off as the entry's content.
        try {
            std::unique_ptr<QIODevice> device(manager.openFile(entry));
            QFAIL("openFile accepted an entry whose encryption does not match");
        } catch (const ArchiveException& e) {
            QCOMPARE(e.message(), QStringLiteral("cannot open file:") + entry);
            QVERIFY(e.code() != 0);
        }
    }

    void wrongPassword_data()
    {
        QTest::addColumn<int>("method");
        QTest::newRow("stored") << 0;
        QTest::newRow("deflated") << int(Z_DEFLATED);
    }
    void wrongPassword()
    {
        // An archive encrypted with some other password: every entry must
        // fail to open (a wrong password passes the check byte with a chance
        // of 1 in 256, so several entries are tried).
        QFETCH(int, method);
        const QString archive = path(QStringLiteral("other-password.zip"));
        {
            QuaZip zip(archive);
            zip.setDataDescriptorWritingEnabled(false);
            QVERIFY(zip.open(QuaZip::mdCreate));
            for (int i = 0; i < 8; ++i) {
                const QByteArray data = "entry " + QByteArray::number(i) + " with some content";
                const quint32 crc = quint32(crc32(0, reinterpret_cast<const Bytef*>(data.constData()), uInt(data.size())));
                QuaZipFile file(&zip);
                QVERIFY(file.open(QIODevice::WriteOnly, QuaZipNewInfo(QStringLiteral("e%1").arg(i)),
                                  "not the content password", crc, method, method ? 6 : 0));
                file.write(data);
                file.close();
            }
            zip.close();
        }
        ZipArchiveAccessManager manager(archive, m_encryptedOn.get());
        int accepted = 0;
        for (int i = 0; i < 8; ++i) {
            const QString entry = QStringLiteral("e%1").arg(i);
            for (bool whole : {false, true}) {
                try {
                    if (whole)
                        manager.readFile(entry);
                    else
                        delete manager.openFile(entry);
                    ++accepted;
                } catch (const ArchiveException& e) {
                    QCOMPARE(e.message(), QStringLiteral("cannot open file:") + entry);
                }
            }
        }
        QVERIFY2(accepted <= 2, qPrintable(QString::number(accepted)));
    }

    void missingEntries_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("entry");
        for (const char* kind : {"zip", "zidozi"}) {
            const QString k = QString::fromLatin1(kind);
            QTest::addRow("%s: absent", kind) << k << QStringLiteral("wrapper/wrapper/missing.html");
            QTest::addRow("%s: empty path", kind) << k << QString();
            QTest::addRow("%s: leading slash", kind) << k << QStringLiteral("/wrapper/wrapper/index.html");
            QTest::addRow("%s: other letter case", kind) << k << QStringLiteral("wrapper/wrapper/INDEX.html");
            QTest::addRow("%s: directory", kind) << k << QStringLiteral("wrapper/wrapper");
            QTest::addRow("%s: directory with slash", kind) << k << QStringLiteral("wrapper/wrapper/");
            QTest::addRow("%s: dot segment", kind) << k << QStringLiteral("wrapper/./wrapper/index.html");
        }
    }
    void missingEntries()
    {
        QFETCH(QString, kind);
        QFETCH(QString, entry);
        std::unique_ptr<ArchiveAccessManager> manager(reader(kind));
        QVERIFY(!manager->fileExists(entry));
        if (isZidOzi(kind)) {
            QVERIFY(manager->openFile(entry) == nullptr);
            QCOMPARE(manager->readFile(entry), QByteArray());
            return;
        }
        try {
            delete manager->openFile(entry);
            QFAIL("openFile of a missing entry did not throw");
        } catch (const ArchiveException& e) {
            QCOMPARE(e.message(), QStringLiteral("cannot open file:") + entry);
        }
        try {
            manager->readFile(entry);
            QFAIL("readFile of a missing entry did not throw");
        } catch (const ArchiveException& e) {
            QCOMPARE(e.message(), QStringLiteral("file not found:") + entry);
        }
        // The shared handle is still usable after the failed lookups.
        QVERIFY(manager->fileExists(QStringLiteral("wrapper/wrapper/index.html")));
    }

    void unreadableArchive_data()
    {
        QTest::addColumn<QString>("reader");
        QTest::addColumn<QString>("content"); // how the archive file is made
        QTest::addColumn<int>("zidoziCode");
        for (const char* reader : {"zip", "zidozi"}) {
            QTest::addRow("%s: missing file", reader) << reader << "missing" << -201;
            QTest::addRow("%s: empty file", reader) << reader << "empty" << -202;
            QTest::addRow("%s: text file", reader) << reader << "text" << -202;
            QTest::addRow("%s: directory", reader) << reader << "directory" << -201;
        }
        QTest::newRow("zip: truncated zip") << "zip" << "truncated-zip" << 0;
        QTest::newRow("zip: a zidozi archive") << "zip" << "zidozi" << 0;
        QTest::newRow("zidozi: truncated zidozi") << "zidozi" << "truncated-zidozi" << -204;
        QTest::newRow("zidozi: zidozi without its last byte") << "zidozi" << "short-zidozi" << -204;
        QTest::newRow("zidozi: a zip archive") << "zidozi" << "zip" << -202;
    }
    void unreadableArchive()
    {
        QFETCH(QString, reader);
        QFETCH(QString, content);
        QFETCH(int, zidoziCode);
        QString file = path(QStringLiteral("unreadable-") + content);
        auto copyPart = [&](const QString& kind, qint64 keep) {
            QFile source(m_archives.value(kind));
            QVERIFY(source.open(QIODevice::ReadOnly));
            QByteArray data = source.readAll();
            QFile target(file);
            QVERIFY(target.open(QIODevice::WriteOnly | QIODevice::Truncate));
            target.write(keep < 0 ? data.left(data.size() + int(keep)) : data.left(int(keep)));
        };
        if (content == QLatin1String("missing")) {
            QFile::remove(file);
        } else if (content == QLatin1String("directory")) {
            QDir().mkpath(file);
        } else if (content == QLatin1String("empty") || content == QLatin1String("text")) {
            QFile target(file);
            QVERIFY(target.open(QIODevice::WriteOnly | QIODevice::Truncate));
            if (content == QLatin1String("text"))
                target.write("This is not an archive, just some text.\n");
        } else if (content == QLatin1String("truncated-zip")) {
            copyPart(QStringLiteral("zip"), 5000);
        } else if (content == QLatin1String("truncated-zidozi")) {
            copyPart(QStringLiteral("zidozi"), 5000);
        } else if (content == QLatin1String("short-zidozi")) {
            copyPart(QStringLiteral("zidozi"), -1);
        } else {
            file = m_archives.value(content);
        }

        try {
            if (reader == QLatin1String("zip"))
                ZipArchiveAccessManager manager(file, m_encryptedOn.get());
            else
                ZidOziArchiveManager manager(file);
            QFAIL("construction did not throw");
        } catch (const ArchiveException& e) {
            QCOMPARE(e.message(), QString());
            if (reader == QLatin1String("zidozi"))
                QCOMPARE(e.code(), zidoziCode);
            else
                QVERIFY(e.code() != 0);
        }
    }

    void damagedZidoziEntry()
    {
        // Damage the content of one stored entry: the archive still loads,
        // but the entry's CRC fails when it has been read to its end.
        QFile source(m_archives.value(QStringLiteral("zidozi-stored")));
        QVERIFY(source.open(QIODevice::ReadOnly));
        QByteArray data = source.readAll();
        const QByteArray clip = m_course.files.value(QStringLiteral("wrapper/media/clip.bin"));
        const int at = data.indexOf(clip.left(64));
        QVERIFY(at > 0);
        data[at + 1000] = char(data[at + 1000] ^ 0x20);
        const QString damaged = path(QStringLiteral("damaged.zidozi"));
        QFile target(damaged);
        QVERIFY(target.open(QIODevice::WriteOnly));
        target.write(data);
        target.close();

        ZidOziArchiveManager manager(damaged);
        QVERIFY(manager.fileExists(QStringLiteral("wrapper/media/clip.bin")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Cannot read archive entry 'wrapper/media/clip.bin'")));
        QCOMPARE(manager.readFile(QStringLiteral("wrapper/media/clip.bin")), QByteArray());
        std::unique_ptr<QIODevice> device(manager.openFile(QStringLiteral("wrapper/media/clip.bin")));
        QByteArray chunk(4096, Qt::Uninitialized);
        qint64 got = 0;
        while ((got = device->read(chunk.data(), chunk.size())) > 0) {
        }
        QCOMPARE(got, qint64(-1));
        QVERIFY(device->errorString().contains(QStringLiteral("checksum")));
        // Other entries are unaffected.
        QCOMPARE(manager.readFile(QStringLiteral("wrapper/wrapper/index.html")),
                 m_course.files.value(QStringLiteral("wrapper/wrapper/index.html")));
    }

    void damagedZipEntry()
    {
        // A plain stored zip with one byte of an entry's content changed.
        QFile source(m_archives.value(QStringLiteral("zip-plain-stored")));
        QVERIFY(source.open(QIODevice::ReadOnly));
        QByteArray data = source.readAll();
        const QString name = QStringLiteral("wrapper/media/clip.bin");
        const QByteArray clip = m_course.files.value(name);
        const int at = data.indexOf(clip.left(64));
        QVERIFY(at > 0);
        data[at + 5000] = char(data[at + 5000] ^ 0x20);
        const QString damaged = path(QStringLiteral("damaged.zip"));
        QFile target(damaged);
        QVERIFY(target.open(QIODevice::WriteOnly));
        target.write(data);
        target.close();

        ZipArchiveAccessManager manager(damaged, m_encryptedOff.get());
        try {
            manager.readFile(name);
            QFAIL("readFile passed damaged content off as the entry");
        } catch (const ArchiveException& e) {
            QCOMPARE(e.message(), QStringLiteral("cannot read file:") + name);
        }
        // A device whose close fails (CRC mismatch, or not read to its end)
        // is still deleted cleanly with its own handle.
        for (bool readAll : {true, false}) {
            std::unique_ptr<QIODevice> device(manager.openFile(name));
            if (readAll)
                device->readAll();
            else
                device->read(100);
        }
        QCOMPARE(manager.readFile(QStringLiteral("wrapper/wrapper/index.html")),
                 m_course.files.value(QStringLiteral("wrapper/wrapper/index.html")));
    }

    void devicesAreIndependent_data() { addKinds(); }
    void devicesAreIndependent()
    {
        QFETCH(QString, kind);
        const QString a = QStringLiteral("wrapper/media/clip.bin");
        const QString b = QStringLiteral("wrapper/wrapper/js/app.js");
        std::unique_ptr<ArchiveAccessManager> manager(reader(kind));
        std::unique_ptr<QIODevice> first(manager->openFile(a));
        std::unique_ptr<QIODevice> second(manager->openFile(a));
        std::unique_ptr<QIODevice> other(manager->openFile(b));
        QByteArray readFirst, readSecond, readOther;
        // Interleave reads of different sizes, with lookups on the shared
        // handle in between.
        while (!first->atEnd() || !second->atEnd() || !other->atEnd()) {
            readFirst += first->read(7001);
            QVERIFY(manager->fileExists(b));
            readSecond += second->read(65536);
            readOther += other->read(333);
        }
        QCOMPARE(readFirst, m_course.files.value(a));
        QCOMPARE(readSecond, m_course.files.value(a));
        QCOMPARE(readOther, m_course.files.value(b));

        // A device outlives its reader.
        std::unique_ptr<QIODevice> late(manager->openFile(b));
        manager.reset();
        QCOMPARE(late->readAll(), m_course.files.value(b));
    }

    void concurrentReads_data() { addKinds(); }
    void concurrentReads()
    {
        // Many threads use one reader at once, as the user interface thread
        // and the web engine's interceptor thread do; every byte is compared.
        QFETCH(QString, kind);
        std::unique_ptr<ArchiveAccessManager> manager(reader(kind));
        const QStringList names = m_course.files.keys();
        QAtomicInt failures;
        QAtomicInt reads;
        QVector<QThread*> threads;
        for (int t = 0; t < 8; ++t) {
            threads.append(QThread::create([&, t] {
                for (int i = 0; i < 60; ++i) {
                    const QString& name = names.at((t * 37 + i * 11) % names.size());
                    try {
                        if (!manager->fileExists(name) || manager->fileExists(name + QStringLiteral(".no")))
                            failures.ref();
                        std::unique_ptr<QIODevice> device(manager->openFile(name));
                        QByteArray data;
                        QByteArray chunk;
                        while (!(chunk = device->read(4096 + t * 100)).isEmpty())
                            data += chunk;
                        if (data != m_course.files.value(name))
                            failures.ref();
                        if (i % 4 == 0 && manager->readFile(name) != m_course.files.value(name))
                            failures.ref();
                        reads.ref();
                    } catch (const ArchiveException&) {
                        failures.ref();
                    }
                }
            }));
        }
        for (QThread* thread : threads)
            thread->start();
        for (QThread* thread : threads) {
            QVERIFY(thread->wait(120000));
            delete thread;
        }
        QCOMPARE(failures.loadRelaxed(), 0);
        QCOMPARE(reads.loadRelaxed(), 8 * 60);
    }
};

QTEST_GUILESS_MAIN(ArchiveReadersTest)
#include "ArchiveReadersTest.moc"
