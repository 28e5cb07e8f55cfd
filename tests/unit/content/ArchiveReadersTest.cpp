#include "ArchiveAccessManager.h"
#include "ArchiveException.h"
#include "ContentPassword.h"
#include "CourseFixture.h"
#include "PathsManager.h"
#include "SettingsManager.h"
#include "ZidOziArchiveManager.h"
#include "ZipArchiveAccessManager.h"
#include "ZipCrc32.h"
#include "ZipEntryDevice.h"

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

    // Half page text, half random bytes: deflate stores the random half in
    // stored blocks, so damage there shows up as a CRC mismatch.
    static QByteArray entryContent(int size)
    {
        QByteArray data = QByteArray("<p>lesson step answer</p>\n").repeated(size / 2 / 26 + 1).left(size / 2);
        return data + CourseFixture::randomBytes(size - data.size(), quint32(size));
    }

    // A one-entry zip written by the zip library, encrypted with the content
    // password if asked.
    static bool writeOneEntryZip(const QString& archive, const QString& name, const QByteArray& content, int method,
                                 bool encrypted, bool dataDescriptor = false, const QByteArray& extraLocal = {},
                                 const QByteArray& extraGlobal = {})
    {
        QFile::remove(archive);
        QuaZip zip(archive);
        zip.setDataDescriptorWritingEnabled(dataDescriptor);
        if (!zip.open(QuaZip::mdCreate))
            return false;
        QuaZipNewInfo info(name);
        info.extraLocal = extraLocal;
        info.extraGlobal = extraGlobal;
        const quint32 crc = quint32(crc32(0, reinterpret_cast<const Bytef*>(content.constData()), uInt(content.size())));
        const QByteArray password = encrypted ? contentPassword() : QByteArray();
        QuaZipFile file(&zip);
        if (!file.open(QIODevice::WriteOnly, info, encrypted ? password.constData() : nullptr, crc, method,
                       method ? 6 : 0))
            return false;
        const bool written = file.write(content) == content.size();
        file.close();
        zip.close();
        return written && file.getZipError() == UNZ_OK && zip.getZipError() == UNZ_OK;
    }

    static quint32 le32(const QByteArray& data, int at)
    {
        return quint32(uchar(data[at])) | quint32(uchar(data[at + 1])) << 8 | quint32(uchar(data[at + 2])) << 16
            | quint32(uchar(data[at + 3])) << 24;
    }
    static void setLe32(QByteArray& data, int at, quint32 value)
    {
        for (int i = 0; i < 4; ++i)
            data[at + i] = char(value >> (8 * i));
    }
    // Where the single entry's data starts (its local header is at 0) and
    // where its central directory record is.
    static int dataStart(const QByteArray& zip)
    {
        return 30 + int(uchar(zip[26]) | uchar(zip[27]) << 8) + int(uchar(zip[28]) | uchar(zip[29]) << 8);
    }
    static int centralRecord(const QByteArray& zip) { return zip.lastIndexOf(QByteArray("PK\x01\x02", 4)); }

    static QByteArray readAllBytes(const QString& file)
    {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    static bool writeAllBytes(const QString& file, const QByteArray& data)
    {
        QFile f(file);
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
    }
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
                    // readFile also checks the content: an entry whose check
                    // byte happened to match fails on its CRC instead.
                    if (whole && e.message() == QStringLiteral("cannot read file:") + entry)
                        continue;
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

    void zipCrc32MatchesZlib_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("offset");
        for (int size : {0, 1, 15, 16, 17, 63, 64, 65, 127, 128, 200, 255, 256, 257, 319, 320, 383, 511, 512, 4099, 1 << 20})
            for (int offset : {0, 3})
                QTest::addRow("%d bytes at +%d", size, offset) << size << offset;
    }
    void zipCrc32MatchesZlib()
    {
        // The folding paths start at 64 and 256 bytes and work in blocks of
        // 256, 64 and 16 bytes; lengths around those steps, from a running
        // CRC as well.
        QFETCH(int, size);
        QFETCH(int, offset);
        const QByteArray data = CourseFixture::randomBytes(size + offset, quint32(size));
        const auto* bytes = reinterpret_cast<const Bytef*>(data.constData()) + offset;
        QCOMPARE(zipCrc32(0, data.constData() + offset, size), quint32(crc32(0, bytes, uInt(size))));
        QCOMPARE(zipCrc32(0xdeadbeefu, data.constData() + offset, size), quint32(crc32(0xdeadbeefu, bytes, uInt(size))));
        const int half = size / 2;
        QCOMPARE(zipCrc32(zipCrc32(0, data.constData() + offset, half), data.constData() + offset + half, size - half),
                 quint32(crc32(0, bytes, uInt(size))));
    }

    void entryDevice_data()
    {
        QTest::addColumn<int>("method");
        QTest::addColumn<bool>("encrypted");
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("dataDescriptor");
        QTest::addColumn<QByteArray>("extraLocal");
        QTest::addColumn<QByteArray>("extraGlobal");
        // Sizes around the block read with the header (64 KB), inflate's
        // input block (256 KB) and the 1 MB reads of copyDevice.
        for (int method : {0, int(Z_DEFLATED)})
            for (bool encrypted : {false, true})
                for (int size : {0, 1, 65535, 65536 + 17, 262144 + 7, 3 << 20})
                    QTest::addRow("%s%s, %d bytes", method ? "deflated" : "stored", encrypted ? " encrypted" : "", size)
                        << method << encrypted << size << false << QByteArray() << QByteArray();
        // A local extra field longer than the central one (the data lies
        // beyond what was read with the header) and shorter (part of what
        // was read is data).
        const QByteArray extra300 = QByteArray("\xfe\xca\x28\x01", 4) + QByteArray(296, 'x');
        const QByteArray extra100 = QByteArray("\xfe\xca\x60\x00", 4) + QByteArray(96, 'y');
        for (int method : {0, int(Z_DEFLATED)}) {
            const char* name = method ? "deflated" : "stored";
            QTest::addRow("%s, longer local extra field", name) << method << true << 100000 << false << extra300 << QByteArray();
            QTest::addRow("%s, shorter local extra field", name) << method << false << 100000 << false << QByteArray() << extra100;
            QTest::addRow("%s encrypted, data descriptor", name) << method << true << 100000 << true << QByteArray() << QByteArray();
        }
    }
    void entryDevice()
    {
        // Our own device, read in pieces of every size, behaves as a
        // sequential read-only device and yields exactly the entry.
        QFETCH(int, method);
        QFETCH(bool, encrypted);
        QFETCH(int, size);
        QFETCH(bool, dataDescriptor);
        QFETCH(QByteArray, extraLocal);
        QFETCH(QByteArray, extraGlobal);
        const QString archive = path(QStringLiteral("entry-device.zip"));
        const QString name = QStringLiteral("wrapper/entry.bin");
        const QByteArray content = entryContent(size);
        QVERIFY(writeOneEntryZip(archive, name, content, method, encrypted, dataDescriptor, extraLocal, extraGlobal));

        ZipArchiveAccessManager manager(archive, encrypted ? m_encryptedOn.get() : m_encryptedOff.get());
        std::unique_ptr<QIODevice> device(manager.openFile(name));
        auto* entry = qobject_cast<ZipEntryDevice*>(device.get());
        QVERIFY(entry);
        QCOMPARE(device->openMode(), QIODevice::ReadOnly);
        QVERIFY(device->isSequential());
        QCOMPARE(device->size(), qint64(size));
        QCOMPARE(device->pos(), qint64(0));
        QCOMPARE(device->bytesAvailable(), qint64(size));
        QCOMPARE(device->atEnd(), size == 0);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("seek.*sequential")));
        QVERIFY(!device->seek(1));

        const qint64 chunks[] = {1, 7, 4096, 65536, 1 << 20, 100000};
        QByteArray buffer(1 << 20, Qt::Uninitialized);
        QByteArray read;
        for (int i = 0;; ++i) {
            const qint64 got = device->read(buffer.data(), chunks[i % 6]);
            QVERIFY2(got >= 0, qPrintable(device->errorString()));
            if (got == 0)
                break;
            read.append(buffer.constData(), int(got));
            QCOMPARE(device->pos(), qint64(read.size()));
            QCOMPARE(device->bytesAvailable(), qint64(size - read.size()));
        }
        QCOMPARE(read.size(), content.size());
        QVERIFY(read == content);
        QVERIFY(device->atEnd());
        QCOMPARE(device->read(buffer.data(), 10), qint64(0));
        QCOMPARE(entry->zipError(), 0);
        QVERIFY(manager.readFile(name) == content);
    }

    void damagedEntry_data()
    {
        QTest::addColumn<int>("method");
        QTest::addColumn<bool>("encrypted");
        QTest::addColumn<QString>("damage");
        QTest::addColumn<int>("code");    // zipError() and the code readFile throws
        QTest::addColumn<int>("altCode"); // where either can come first
        for (bool encrypted : {false, true}) {
            const char* e = encrypted ? " encrypted" : "";
            QTest::addRow("stored%s: content byte", e) << 0 << encrypted << "byte" << int(UNZ_CRCERROR) << int(UNZ_CRCERROR);
            QTest::addRow("stored%s: size beyond its data", e) << 0 << encrypted << "size" << int(UNZ_ERRNO) << int(UNZ_ERRNO);
            QTest::addRow("stored%s: data beyond the file", e) << 0 << encrypted << "beyond" << int(UNZ_ERRNO) << int(UNZ_ERRNO);
            QTest::addRow("deflated%s: content byte", e) << int(Z_DEFLATED) << encrypted << "byte" << int(UNZ_CRCERROR) << int(Z_DATA_ERROR);
            QTest::addRow("deflated%s: stream cut short", e) << int(Z_DEFLATED) << encrypted << "cut" << int(Z_DATA_ERROR) << int(Z_DATA_ERROR);
            QTest::addRow("deflated%s: size beyond the stream", e) << int(Z_DEFLATED) << encrypted << "size" << int(Z_DATA_ERROR) << int(Z_DATA_ERROR);
        }
    }
    void damagedEntry()
    {
        // Damage that the directory does not show: the entry opens, the read
        // that meets the damage fails, and so does every read after it;
        // readFile never passes such content off as the entry.
        QFETCH(int, method);
        QFETCH(bool, encrypted);
        QFETCH(QString, damage);
        QFETCH(int, code);
        QFETCH(int, altCode);
        const QString archive = path(QStringLiteral("damaged-entry.zip"));
        const QString name = QStringLiteral("entry.bin");
        QVERIFY(writeOneEntryZip(archive, name, entryContent(300000), method, encrypted));
        QByteArray zip = readAllBytes(archive);
        const int start = dataStart(zip);
        const int central = centralRecord(zip);
        const quint32 compressed = le32(zip, 18);
        const quint32 size = le32(zip, 22);
        // Sizes are patched in the local header and the directory alike.
        auto setSizes = [&](quint32 newCompressed, quint32 newSize) {
            setLe32(zip, 18, newCompressed);
            setLe32(zip, central + 20, newCompressed);
            setLe32(zip, 22, newSize);
            setLe32(zip, central + 24, newSize);
        };
        if (damage == QLatin1String("byte")) {
            const int at = start + int(compressed) * 3 / 4;
            zip[at] = char(zip[at] ^ 0x01);
        } else if (damage == QLatin1String("size")) {
            setSizes(compressed, size + 10);
        } else if (damage == QLatin1String("beyond")) {
            setSizes(compressed + (1 << 20), size + (1 << 20));
        } else if (damage == QLatin1String("cut")) {
            setSizes(compressed / 2, size);
        }
        QVERIFY(writeAllBytes(archive, zip));

        ZipArchiveAccessManager manager(archive, encrypted ? m_encryptedOn.get() : m_encryptedOff.get());
        std::unique_ptr<QIODevice> device(manager.openFile(name));
        auto* entry = qobject_cast<ZipEntryDevice*>(device.get());
        QVERIFY(entry);
        QByteArray buffer(65536, Qt::Uninitialized);
        qint64 got = 0;
        while ((got = device->read(buffer.data(), buffer.size())) > 0) {
        }
        QCOMPARE(got, qint64(-1));
        QVERIFY(!device->errorString().isEmpty());
        QVERIFY2(entry->zipError() == code || entry->zipError() == altCode, qPrintable(QString::number(entry->zipError())));
        QVERIFY(device->atEnd());
        QCOMPARE(device->bytesAvailable(), qint64(0));
        QCOMPARE(device->read(buffer.data(), 10), qint64(-1));
        try {
            manager.readFile(name);
            QFAIL("readFile passed damaged content off as the entry");
        } catch (const ArchiveException& e) {
            QCOMPARE(e.message(), QStringLiteral("cannot read file:") + name);
            QVERIFY2(e.code() == code || e.code() == altCode, qPrintable(QString::number(e.code())));
        }
    }

    void brokenLocalHeader_data()
    {
        QTest::addColumn<int>("offset"); // of the local header field changed
        QTest::addColumn<int>("size");   // of that field
        QTest::newRow("signature") << 0 << 4;
        QTest::newRow("compression method") << 8 << 2;
        QTest::newRow("crc") << 14 << 4;
        QTest::newRow("compressed size") << 18 << 4;
        QTest::newRow("size") << 22 << 4;
        QTest::newRow("name length") << 26 << 2;
    }
    void brokenLocalHeader()
    {
        // A local header that disagrees with the directory: openFile fails
        // with the code the zip library gives when it opens such an entry.
        QFETCH(int, offset);
        QFETCH(int, size);
        const QString archive = path(QStringLiteral("broken-header.zip"));
        const QString name = QStringLiteral("entry.bin");
        QVERIFY(writeOneEntryZip(archive, name, entryContent(1000), Z_DEFLATED, false));
        QByteArray zip = readAllBytes(archive);
        zip[offset + size - 1] = char(zip[offset + size - 1] ^ 0x04);
        QVERIFY(writeAllBytes(archive, zip));

        int libraryCode = UNZ_OK;
        {
            QuaZip library(archive);
            QVERIFY(library.open(QuaZip::mdUnzip));
            QVERIFY(library.setCurrentFile(name));
            QuaZipFile file(&library);
            QVERIFY(!file.open(QIODevice::ReadOnly));
            libraryCode = file.getZipError();
        }
        QCOMPARE(libraryCode, int(UNZ_BADZIPFILE));
        ZipArchiveAccessManager manager(archive, m_encryptedOff.get());
        try {
            delete manager.openFile(name);
            QFAIL("openFile accepted a broken local header");
        } catch (const ArchiveException& e) {
            QCOMPARE(e.message(), QStringLiteral("cannot open file:") + name);
            QCOMPARE(e.code(), libraryCode);
        }
    }

    void archiveShrinksUnderneath()
    {
        // The archive file is cut short while the reader and a device are
        // open: the device's next read and the next open fail, nothing hangs.
        const QString archive = path(QStringLiteral("shrinking.zip"));
        QFile::remove(archive);
        {
            QuaZip zip(archive);
            QVERIFY(zip.open(QuaZip::mdCreate));
            for (const char* name : {"first.bin", "second.bin"}) {
                const QByteArray content = entryContent(500000);
                QuaZipFile file(&zip);
                QVERIFY(file.open(QIODevice::WriteOnly, QuaZipNewInfo(QString::fromLatin1(name)), nullptr, 0, 0, 0));
                file.write(content);
                file.close();
            }
            zip.close();
        }
        ZipArchiveAccessManager manager(archive, m_encryptedOff.get());
        std::unique_ptr<QIODevice> device(manager.openFile(QStringLiteral("first.bin")));
        QCOMPARE(device->read(1000).size(), 1000);
        QVERIFY(QFile::resize(archive, 200000));
        QByteArray buffer(65536, Qt::Uninitialized);
        qint64 got = 0;
        while ((got = device->read(buffer.data(), buffer.size())) > 0) {
        }
        QCOMPARE(got, qint64(-1));
        QCOMPARE(qobject_cast<ZipEntryDevice*>(device.get())->zipError(), int(UNZ_ERRNO));
        try {
            delete manager.openFile(QStringLiteral("second.bin"));
            QFAIL("openFile read a local header beyond the end of the file");
        } catch (const ArchiveException& e) {
            QCOMPARE(e.message(), QStringLiteral("cannot open file:second.bin"));
            QCOMPARE(e.code(), int(UNZ_ERRNO));
        }
    }

    void dataInFrontOfTheZip()
    {
        // Bytes in front of the zip data (a self-extracting archive): the
        // directory's offsets then count from the zip data, not from the
        // file, and the zip library reads every entry.
        const QString archive = path(QStringLiteral("prefixed.zip"));
        QVERIFY(writeAllBytes(archive, QByteArray(1000, 'p') + readAllBytes(m_archives.value(QStringLiteral("zip")))));
        ZipArchiveAccessManager manager(archive, m_encryptedOn.get());
        for (auto it = m_course.files.cbegin(); it != m_course.files.cend(); ++it) {
            std::unique_ptr<QIODevice> device(manager.openFile(it.key()));
            QVERIFY(!qobject_cast<ZipEntryDevice*>(device.get()));
            QCOMPARE(device->readAll(), it.value());
            QCOMPARE(manager.readFile(it.key()), it.value());
        }
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
