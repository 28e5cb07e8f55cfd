#include "Archive.h"
#include "ArchiveWriter.h"

#include <QAtomicInt>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <QtEndian>
#include <QtTest>
#include <memory>
#include <zlib.h>

using zidozi::Archive;
using zidozi::ArchiveWriter;
using zidozi::Entry;

namespace {

QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char(generator.bounded(256));
    return data;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

void writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(data);
}

// Writes a little-endian integer into data at offset.
template <typename T>
void putLe(QByteArray& data, int offset, T value)
{
    char bytes[sizeof(T)];
    qToLittleEndian<T>(value, bytes);
    data.replace(offset, int(sizeof(T)), bytes, int(sizeof(T)));
}

template <typename T>
QByteArray le(T value)
{
    char bytes[sizeof(T)];
    qToLittleEndian<T>(value, bytes);
    return QByteArray(bytes, int(sizeof(T)));
}

quint32 crcOf(const QByteArray& data)
{
    return quint32(crc32(0, reinterpret_cast<const Bytef*>(data.constData()), uInt(data.size())));
}

// Reads a device to its end in chunks; -1 in *result when a read failed.
QByteArray drain(QIODevice* device, qint64* result, int chunk = 8192)
{
    QByteArray data;
    QByteArray buffer(chunk, Qt::Uninitialized);
    qint64 got = 0;
    while ((got = device->read(buffer.data(), chunk)) > 0)
        data.append(buffer.constData(), int(got));
    *result = got;
    return data;
}

} // namespace

class ZidoziTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QMap<QString, QByteArray> m_files;
    QString m_stored;   // every entry stored
    QString m_deflated; // every entry deflated

    QString path(const QString& name) const { return m_dir.filePath(name); }

    bool write(const QString& archive, Entry::Method method)
    {
        ArchiveWriter writer(archive);
        if (!writer.open())
            return false;
        // Added out of order: the writer sorts the index.
        for (auto it = m_files.cend(); it != m_files.cbegin();) {
            --it;
            if (!writer.addData(it.key(), it.value(), method))
                return false;
        }
        return writer.finish();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_files.insert(QStringLiteral("a"), "A");
        m_files.insert(QStringLiteral("empty"), QByteArray());
        m_files.insert(QStringLiteral("wrapper/wrapper/index.html"), "<html>index</html>");
        m_files.insert(QStringLiteral("wrapper/wrapper/index.html.bak"), "older");
        m_files.insert(QStringLiteral("wrapper/media/noise.bin"), randomBytes(700 * 1024 + 3, 1));
        m_files.insert(QStringLiteral("wrapper/text/long.txt"), QByteArray("a line of course text\n").repeated(150000));
        m_files.insert(QStringLiteral(u"wrapper/ünï/名前.txt"), QStringLiteral(u"Grüße").toUtf8());
        m_stored = path(QStringLiteral("stored.zidozi"));
        m_deflated = path(QStringLiteral("deflated.zidozi"));
        QVERIFY(write(m_stored, Entry::Stored));
        QVERIFY(write(m_deflated, Entry::Deflated));
        QVERIFY(QFileInfo(m_deflated).size() < QFileInfo(m_stored).size() / 2);
    }

    void roundTrip_data()
    {
        QTest::addColumn<bool>("deflated");
        QTest::newRow("stored") << false;
        QTest::newRow("deflated") << true;
    }
    void roundTrip()
    {
        QFETCH(bool, deflated);
        std::unique_ptr<Archive> archive(Archive::makeAndLoad(deflated ? m_deflated : m_stored));
        QVERIFY2(archive->isLoaded(), qPrintable(archive->errorString()));
        QCOMPARE(archive->entryCount(), m_files.size());
        for (auto it = m_files.cbegin(); it != m_files.cend(); ++it) {
            const Entry entry = archive->find(it.key());
            QVERIFY2(entry.isValid(), qPrintable(it.key()));
            QCOMPARE(entry.size(), quint64(it.value().size()));
            QCOMPARE(entry.crc(), crcOf(it.value()));
            std::unique_ptr<QIODevice> device(archive->makeReadOnlyDevice(entry));
            QVERIFY(device && device->isOpen() && device->isReadable());
            QCOMPARE(device->pos(), qint64(0));
            QCOMPARE(device->size(), qint64(it.value().size()));
            qint64 result = 0;
            QCOMPARE(drain(device.get(), &result, 1000), it.value());
            QCOMPARE(result, qint64(0));
            QVERIFY(device->atEnd());
        }
        // Listing order is the index order, sorted by name.
        QStringList names;
        for (int i = 0; i < archive->entryCount(); ++i)
            names.append(QString::fromUtf8(archive->entryAt(i).name()));
        QCOMPARE(names, m_files.keys());
    }

    void lookupMisses_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("absent") << QStringLiteral("nope");
        QTest::newRow("empty") << QString();
        QTest::newRow("prefix of a name") << QStringLiteral("wrapper/wrapper/index");
        QTest::newRow("longer than a name") << QStringLiteral("wrapper/wrapper/index.html.bak.old");
        QTest::newRow("directory") << QStringLiteral("wrapper/wrapper");
        QTest::newRow("leading slash") << QStringLiteral("/a");
        QTest::newRow("letter case") << QStringLiteral("A");
        QTest::newRow("before all") << QStringLiteral("0");
        QTest::newRow("after all") << QStringLiteral("zzz");
    }
    void lookupMisses()
    {
        QFETCH(QString, name);
        std::unique_ptr<Archive> archive(Archive::makeAndLoad(m_deflated));
        const Entry entry = archive->find(name);
        QVERIFY(!entry.isValid());
        QVERIFY(archive->makeReadOnlyDevice(entry) == nullptr);
    }

    void deviceOutlivesEntryAndArchive()
    {
        std::unique_ptr<Archive> archive(Archive::makeAndLoad(m_deflated));
        const QString name = QStringLiteral("wrapper/text/long.txt");
        QIODevice* raw = nullptr;
        {
            const Entry entry = archive->find(name);
            raw = archive->makeReadOnlyDevice(entry);
        }
        std::unique_ptr<QIODevice> device(raw);
        archive.reset();
        QCOMPARE(device->readAll(), m_files.value(name));
    }

    void devicesAreIndependent()
    {
        std::unique_ptr<Archive> archive(Archive::makeAndLoad(m_deflated));
        const Entry entry = archive->find(QStringLiteral("wrapper/media/noise.bin"));
        std::unique_ptr<QIODevice> first(archive->makeReadOnlyDevice(entry));
        std::unique_ptr<QIODevice> second(archive->makeReadOnlyDevice(entry));
        QByteArray a, b;
        while (!first->atEnd() || !second->atEnd()) {
            a += first->read(3000);
            b += second->read(50000);
        }
        QCOMPARE(a, m_files.value(QStringLiteral("wrapper/media/noise.bin")));
        QCOMPARE(b, a);
    }

    void seeking_data()
    {
        QTest::addColumn<bool>("deflated");
        QTest::newRow("stored") << false;
        QTest::newRow("deflated") << true;
    }
    void seeking()
    {
        QFETCH(bool, deflated);
        std::unique_ptr<Archive> archive(Archive::makeAndLoad(deflated ? m_deflated : m_stored));
        const QByteArray content = m_files.value(QStringLiteral("wrapper/media/noise.bin"));
        std::unique_ptr<QIODevice> device(archive->makeReadOnlyDevice(archive->find(QStringLiteral("wrapper/media/noise.bin"))));
        QVERIFY(device->seek(500000));
        QCOMPARE(device->read(100), content.mid(500000, 100));
        QVERIFY(device->seek(10)); // backwards
        QCOMPARE(device->read(100), content.mid(10, 100));
        QVERIFY(device->seek(content.size()));
        QVERIFY(device->atEnd());
        QVERIFY(!device->seek(content.size() + 1));
        QVERIFY(device->seek(0));
        QCOMPARE(device->readAll(), content);
    }

    void devicesIsReadOnly()
    {
        std::unique_ptr<Archive> archive(Archive::makeAndLoad(m_stored));
        std::unique_ptr<QIODevice> device(archive->makeReadOnlyDevice(archive->find(QStringLiteral("a"))));
        QVERIFY(!device->isWritable());
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("ReadOnly device")));
        QCOMPARE(device->write("x"), qint64(-1));
    }

    void damagedArchiveDoesNotLoad_data()
    {
        // How to damage the stored archive, and the error that must follow.
        QTest::addColumn<QString>("damage");
        QTest::addColumn<int>("error");
        QTest::newRow("missing file") << "missing" << int(Archive::OpenError);
        QTest::newRow("empty file") << "empty" << int(Archive::FormatError);
        QTest::newRow("foreign bytes") << "foreign" << int(Archive::FormatError);
        QTest::newRow("magic only") << "magic-only" << int(Archive::CorruptError);
        QTest::newRow("truncated in the header") << "cut:20" << int(Archive::CorruptError);
        QTest::newRow("truncated after the header") << "cut:40" << int(Archive::CorruptError);
        QTest::newRow("truncated in the data") << "cut:5000" << int(Archive::CorruptError);
        QTest::newRow("last byte missing") << "cut:-1" << int(Archive::CorruptError);
        QTest::newRow("byte appended") << "append" << int(Archive::CorruptError);
        QTest::newRow("header bit flipped") << "flip:20" << int(Archive::CorruptError);
        QTest::newRow("index bit flipped") << "flip:-30" << int(Archive::CorruptError);
        QTest::newRow("newer version") << "version" << int(Archive::VersionError);
        QTest::newRow("consistent but huge size") << "huge-size" << int(Archive::CorruptError);
        QTest::newRow("consistent but unsorted") << "unsorted" << int(Archive::CorruptError);
        QTest::newRow("consistent but data past index") << "data-offset" << int(Archive::CorruptError);
        QTest::newRow("consistent but name outside pool") << "name-offset" << int(Archive::CorruptError);
    }
    void damagedArchiveDoesNotLoad()
    {
        QFETCH(QString, damage);
        QFETCH(int, error);
        QByteArray data = readFile(m_deflated);
        const QString target = path(QStringLiteral("damaged.zidozi"));
        QFile::remove(target);

        // Changes a field of the first index record and fixes both CRCs,
        // so that only the field's meaning is wrong.
        auto patchRecord = [&data](int offset, const QByteArray& bytes) {
            const quint64 indexOffset = qFromLittleEndian<quint64>(data.constData() + 16);
            data.replace(int(indexOffset) + offset, bytes.size(), bytes);
            const QByteArray index = data.mid(int(indexOffset));
            putLe<quint32>(data, 32, crcOf(index));
            putLe<quint32>(data, 36, crcOf(data.left(36)));
        };

        if (damage == QLatin1String("missing")) {
        } else if (damage == QLatin1String("empty")) {
            writeFile(target, QByteArray());
        } else if (damage == QLatin1String("foreign")) {
            writeFile(target, "PK\x03\x04 this looks like something else entirely");
        } else if (damage == QLatin1String("magic-only")) {
            writeFile(target, data.left(8));
        } else if (damage.startsWith(QLatin1String("cut:"))) {
            const int n = damage.mid(4).toInt();
            writeFile(target, n < 0 ? data.left(data.size() + n) : data.left(n));
        } else if (damage == QLatin1String("append")) {
            writeFile(target, data + 'x');
        } else if (damage.startsWith(QLatin1String("flip:"))) {
            int at = damage.mid(5).toInt();
            if (at < 0)
                at += data.size();
            data[at] = char(data[at] ^ 0x04);
            writeFile(target, data);
        } else if (damage == QLatin1String("version")) {
            putLe<quint16>(data, 8, 2);
            putLe<quint32>(data, 36, crcOf(data.left(36)));
            writeFile(target, data);
        } else if (damage == QLatin1String("huge-size")) {
            patchRecord(24, le<quint64>(Q_UINT64_C(1) << 40)); // content size of "a"
            writeFile(target, data);
        } else if (damage == QLatin1String("unsorted")) {
            // Give the first record the name of the second ("empty" > "a").
            const quint64 indexOffset = qFromLittleEndian<quint64>(data.constData() + 16);
            const QByteArray second = data.mid(int(indexOffset) + 40, 8);
            patchRecord(0, second);
            writeFile(target, data);
        } else if (damage == QLatin1String("data-offset")) {
            patchRecord(8, le<quint64>(quint64(data.size())));
            writeFile(target, data);
        } else if (damage == QLatin1String("name-offset")) {
            patchRecord(0, le<quint32>(0x7fffffff));
            writeFile(target, data);
        } else {
            QFAIL("unknown damage");
        }

        std::unique_ptr<Archive> archive(Archive::makeAndLoad(target));
        QVERIFY(!archive->isLoaded());
        QCOMPARE(int(archive->error()), error);
        QVERIFY(!archive->errorString().isEmpty());
        QCOMPARE(archive->entryCount(), 0);
        QVERIFY(!archive->find(QStringLiteral("a")).isValid());
    }

    void damagedContentFailsOnRead_data()
    {
        QTest::addColumn<bool>("deflated");
        QTest::addColumn<QString>("entryName");
        QTest::newRow("stored, random") << false << QStringLiteral("wrapper/media/noise.bin");
        QTest::newRow("deflated, random") << true << QStringLiteral("wrapper/media/noise.bin");
        QTest::newRow("deflated, text") << true << QStringLiteral("wrapper/text/long.txt");
    }
    void damagedContentFailsOnRead()
    {
        // The index is intact, so the archive loads; a byte of the entry's
        // data is changed, so reading it must end in an error, not in
        // wrong bytes passed off as content.
        QFETCH(bool, deflated);
        QFETCH(QString, entryName);
        QByteArray data = readFile(deflated ? m_deflated : m_stored);
        std::unique_ptr<Archive> archive(Archive::makeAndLoad(deflated ? m_deflated : m_stored));
        const Entry entry = archive->find(entryName);
        QVERIFY(entry.isValid());
        // The entries' data follow the header in the order they were added.
        quint64 offset = 40;
        for (int i = 0; i < archive->entryCount(); ++i) {
            // Entries were added in reverse name order.
            const Entry e = archive->entryAt(archive->entryCount() - 1 - i);
            if (e.name() == entry.name())
                break;
            offset += e.storedSize();
        }
        const int at = int(offset + entry.storedSize() / 2);
        data[at] = char(data[at] ^ 0x01);
        const QString target = path(QStringLiteral("damaged-content.zidozi"));
        writeFile(target, data);

        std::unique_ptr<Archive> damaged(Archive::makeAndLoad(target));
        QVERIFY(damaged->isLoaded());
        std::unique_ptr<QIODevice> device(damaged->makeReadOnlyDevice(damaged->find(entryName)));
        qint64 result = 0;
        const QByteArray read = drain(device.get(), &result);
        QCOMPARE(result, qint64(-1));
        QVERIFY(read != m_files.value(entryName));
        QVERIFY(!device->errorString().isEmpty());
        // Further reads keep failing, and a failed check is not taken for
        // a passed one by the next device of the entry.
        char c;
        QCOMPARE(device->read(&c, 1), qint64(-1));
        std::unique_ptr<QIODevice> again(damaged->makeReadOnlyDevice(damaged->find(entryName)));
        drain(again.get(), &result);
        QCOMPARE(result, qint64(-1));
    }

    void writerRefusesBadInput_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::newRow("duplicate") << QStringList{QStringLiteral("x"), QStringLiteral("y"), QStringLiteral("x")};
        QTest::newRow("empty name") << QStringList{QStringLiteral("x"), QString()};
    }
    void writerRefusesBadInput()
    {
        QFETCH(QStringList, names);
        const QString target = path(QStringLiteral("refused.zidozi"));
        bool ok = true;
        {
            ArchiveWriter writer(target);
            QVERIFY(writer.open());
            for (const QString& name : names)
                ok = ok && writer.addData(name, "data", Entry::Stored);
            ok = ok && writer.finish();
            QVERIFY(!ok);
            QVERIFY(!writer.errorString().isEmpty());
        }
        QVERIFY(!QFile::exists(target));
    }

    void emptyArchive()
    {
        const QString target = path(QStringLiteral("empty.zidozi"));
        ArchiveWriter writer(target);
        QVERIFY(writer.open());
        QVERIFY(writer.finish());
        std::unique_ptr<Archive> archive(Archive::makeAndLoad(target));
        QVERIFY(archive->isLoaded());
        QCOMPARE(archive->entryCount(), 0);
        QVERIFY(!archive->find(QStringLiteral("a")).isValid());
    }

    void concurrentFindAndRead()
    {
        std::unique_ptr<const Archive> archive(Archive::makeAndLoad(m_deflated));
        const QStringList names = m_files.keys();
        QAtomicInt failures;
        QVector<QThread*> threads;
        for (int t = 0; t < 8; ++t) {
            threads.append(QThread::create([&, t] {
                for (int i = 0; i < 40; ++i) {
                    const QString& name = names.at((t + i * 3) % names.size());
                    const Entry entry = archive->find(name);
                    if (!entry.isValid() || archive->find(name + QLatin1Char('~')).isValid()) {
                        failures.ref();
                        continue;
                    }
                    std::unique_ptr<QIODevice> device(archive->makeReadOnlyDevice(entry));
                    qint64 result = 0;
                    if (!device || drain(device.get(), &result, 4096 + t) != m_files.value(name) || result != 0)
                        failures.ref();
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
    }
};

QTEST_GUILESS_MAIN(ZidoziTest)
#include "ZidoziTest.moc"
