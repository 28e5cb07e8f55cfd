#include "ArchiveException.h"
#include "copyDevice.h"

#include <QBuffer>
#include <QtTest>

namespace {

// A sequential source that counts how often it is asked for data, so that
// the test sees every read copyDevice makes.
class CountingSource : public QIODevice
{
public:
    explicit CountingSource(QByteArray data) : m_data(std::move(data)) {}
    bool isSequential() const override { return true; }
    int reads = 0;

protected:
    qint64 readData(char* out, qint64 maxSize) override
    {
        ++reads;
        const qint64 n = qMin<qint64>(maxSize, m_data.size() - m_pos);
        memcpy(out, m_data.constData() + m_pos, size_t(n));
        m_pos += n;
        return n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QByteArray m_data;
    qint64 m_pos = 0;
};

// A target that stores at most `limit` bytes per write call (0: none, -1:
// reports an error) and counts the calls.
class LimitedTarget : public QIODevice
{
public:
    explicit LimitedTarget(qint64 limit) : m_limit(limit) {}
    QByteArray data;
    int writes = 0;

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* in, qint64 size) override
    {
        ++writes;
        if (m_limit < 0)
            return -1;
        const qint64 n = qMin(size, m_limit);
        data.append(in, int(n));
        return n;
    }

private:
    qint64 m_limit;
};

QByteArray pattern(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 131) ^ (i >> 9));
    return data;
}

const qint64 kChunk = 1048576;

} // namespace

class CopyDeviceTest : public QObject
{
    Q_OBJECT
private slots:
    void chunkBoundaries_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<qint64>("chunk");
        QTest::addColumn<int>("reads");
        QTest::addColumn<int>("writes");
        QTest::newRow("empty source") << 0 << kChunk << 1 << 0;
        QTest::newRow("one byte") << 1 << kChunk << 2 << 1;
        QTest::newRow("chunk minus one") << int(kChunk - 1) << kChunk << 2 << 1;
        // One read fills the buffer, one yields nothing.
        QTest::newRow("exactly one chunk") << int(kChunk) << kChunk << 2 << 1;
        QTest::newRow("chunk plus one") << int(kChunk + 1) << kChunk << 3 << 2;
        QTest::newRow("three chunks and a bit") << int(3 * kChunk + 5) << kChunk << 5 << 4;
        QTest::newRow("small chunks") << 100 << qint64(7) << 16 << 15;
    }
    void chunkBoundaries()
    {
        QFETCH(int, size);
        QFETCH(qint64, chunk);
        QFETCH(int, reads);
        QFETCH(int, writes);
        const QByteArray data = pattern(size);
        CountingSource source(data);
        QVERIFY(source.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
        LimitedTarget target(chunk);
        QVERIFY(target.open(QIODevice::WriteOnly | QIODevice::Unbuffered));

        QCOMPARE(copyDevice(&source, &target, chunk), qint64(size));
        QCOMPARE(target.data, data);
        QCOMPARE(source.reads, reads);
        QCOMPARE(target.writes, writes);
    }

    void copiesFromCurrentPosition()
    {
        QByteArray data = pattern(5000);
        QBuffer source(&data);
        QVERIFY(source.open(QIODevice::ReadOnly));
        QVERIFY(source.seek(1234));
        QByteArray copy;
        QBuffer target(&copy);
        QVERIFY(target.open(QIODevice::WriteOnly));
        QCOMPARE(copyDevice(&source, &target, kChunk), qint64(5000 - 1234));
        QCOMPARE(copy, data.mid(1234));
    }

    void shortWritesAreNotRetried()
    {
        // 25 bytes in chunks of 16, a target that takes 10 per call: the
        // result counts what was stored, the rest of each chunk is lost.
        CountingSource source(pattern(25));
        QVERIFY(source.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
        LimitedTarget target(10);
        QVERIFY(target.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        QCOMPARE(copyDevice(&source, &target, 16), qint64(10 + 9));
        QCOMPARE(target.writes, 2);
    }

    void failedWriteThrows_data()
    {
        QTest::addColumn<qint64>("limit");
        QTest::addColumn<bool>("open");
        QTest::newRow("stores nothing") << qint64(0) << true;
        QTest::newRow("write error") << qint64(-1) << true;
        QTest::newRow("target not open") << qint64(100) << false;
    }
    void failedWriteThrows()
    {
        QFETCH(qint64, limit);
        QFETCH(bool, open);
        CountingSource source(pattern(100));
        QVERIFY(source.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
        LimitedTarget target(limit);
        if (open)
            QVERIFY(target.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        else
            QTest::ignoreMessage(QtWarningMsg, "QIODevice::write (QIODevice): device not open");
        try {
            copyDevice(&source, &target, kChunk);
            QFAIL("copyDevice did not throw");
        } catch (const ArchiveException& e) {
            QCOMPARE(e.code(), -100);
            QCOMPARE(e.message(), QStringLiteral("QFS cannot write into target device"));
        }
    }

    void unreadableSourceCopiesNothing()
    {
        LimitedTarget source(0); // its readData fails
        QVERIFY(source.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
        LimitedTarget target(100);
        QVERIFY(target.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        QCOMPARE(copyDevice(&source, &target, kChunk), qint64(0));
        QCOMPARE(target.writes, 0);
    }
};

QTEST_GUILESS_MAIN(CopyDeviceTest)
#include "CopyDeviceTest.moc"
