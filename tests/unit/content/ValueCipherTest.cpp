#include "ValueCipher.h"

#include <QCryptographicHash>
#include <QtTest>

namespace {

// Collects the warnings written while a test runs, so that a test can tell
// "empty with the version warning" from "empty without a warning".
QStringList g_warnings;
QtMessageHandler g_previousHandler = nullptr;

void captureWarnings(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type == QtWarningMsg)
        g_warnings.append(message);
    else if (g_previousHandler)
        g_previousHandler(type, context, message);
}

// Scrambles a plain body the documented way, so that tests can build cipher
// bytes the cipher itself never writes (e.g. with a SHA-1 integrity field).
QByteArray scrambleBody(const QByteArray& plain, quint64 key)
{
    QByteArray out = plain;
    quint8 feedback = 0;
    for (int i = 0; i < out.size(); ++i) {
        const quint8 k = quint8(key >> (8 * (i % 8)));
        feedback = quint8(out[i]) ^ k ^ feedback;
        out[i] = char(feedback);
    }
    return out;
}

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray result;
    for (int v : values)
        result.append(char(v));
    return result;
}

const quint64 kTestKey = Q_UINT64_C(0x0807060504030201);

} // namespace

class ValueCipherTest : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        g_warnings.clear();
        g_previousHandler = qInstallMessageHandler(captureWarnings);
    }
    void cleanup() { qInstallMessageHandler(g_previousHandler); }

    void knownVector()
    {
        // Key bytes are taken least significant first and each scrambled byte
        // feeds the next: 78 00 00 (prefix, CRC of nothing) becomes 79 7b 78.
        ValueCipher cipher(kTestKey);
        QCOMPARE(cipher.encryptBytes(QByteArray()), bytes({0x03, 0x02, 0x79, 0x7b, 0x78}));
        QCOMPARE(cipher.decryptBytes(bytes({0x03, 0x02, 0x79, 0x7b, 0x78})), QByteArray());
    }

    void storeKeyReadsEarlierValues()
    {
        // Cipher text of "hello" under the store's key: a changed key
        // would make every stored value unreadable.
        ValueCipher cipher(ValueCipher::storeKey());
        QCOMPARE(cipher.decryptText(QStringLiteral("AwKJO62IBKvQ5Q==")), QStringLiteral("hello"));
    }

    void roundTrip_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("flags");
        QTest::newRow("empty") << QString() << 0x02;
        QTest::newRow("single word") << QStringLiteral("hello") << 0x02;
        QTest::newRow("long repetitive")
            << QStringLiteral("abcabcabc").repeated(500) << 0x03;
        QTest::newRow("accents") << QStringLiteral(u"Árvíztűrő tükörfúrógép") << 0x02;
        QTest::newRow("cjk and emoji") << QStringLiteral(u"漢字かなカナ 한국어 \U0001F600") << 0x02;
        QTest::newRow("json") << QStringLiteral("{\"a\":[1,2,3],\"b\":\"x\"}") << 0x02;
    }
    void roundTrip()
    {
        QFETCH(QString, text);
        QFETCH(int, flags);
        ValueCipher cipher(ValueCipher::storeKey());

        const QByteArray raw = cipher.encryptBytes(text.toUtf8());
        QCOMPARE(int(quint8(raw.at(0))), 3);
        QCOMPARE(int(quint8(raw.at(1))), flags);
        // The value must not be readable in the cipher bytes.
        if (text.size() > 3)
            QVERIFY(!raw.contains(text.toUtf8()));

        const QString cipherText = cipher.encryptText(text);
        QCOMPARE(cipherText.toLatin1(), raw.toBase64());
        QCOMPARE(cipher.encryptText(text), cipherText); // deterministic
        QCOMPARE(cipher.decryptText(cipherText), text);
        QVERIFY(g_warnings.isEmpty());
    }

    void emptyValueSize()
    {
        ValueCipher cipher(ValueCipher::storeKey());
        QCOMPARE(cipher.encryptBytes(QByteArray()).size(), 5);
        QCOMPARE(cipher.encryptText(QString()).size(), 8);
    }

    void binaryRoundTrip()
    {
        ValueCipher cipher(kTestKey);
        QByteArray all;
        for (int i = 0; i < 256 * 4; ++i)
            all.append(char(i * 7));
        QCOMPARE(cipher.decryptBytes(cipher.encryptBytes(all)), all);
    }

    void tamperedBodyIsRejectedSilently_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("plain payload") << QStringLiteral("some stored value");
        QTest::newRow("compressed payload") << QStringLiteral("0123456789").repeated(40);
    }
    void tamperedBodyIsRejectedSilently()
    {
        QFETCH(QString, text);
        ValueCipher cipher(kTestKey);
        const QByteArray good = cipher.encryptBytes(text.toUtf8());
        for (int pos = 2; pos < good.size(); ++pos) {
            for (int mask : {0x01, 0x80, 0xff}) {
                QByteArray bad = good;
                bad[pos] = char(bad[pos] ^ mask);
                QVERIFY2(cipher.decryptBytes(bad).isEmpty(),
                         qPrintable(QStringLiteral("byte %1 mask %2").arg(pos).arg(mask)));
            }
        }
        QVERIFY2(g_warnings.isEmpty(), qPrintable(g_warnings.join(QLatin1Char('\n'))));
    }

    void wrongKeyIsRejected()
    {
        const QByteArray raw = ValueCipher(kTestKey).encryptBytes("secret value");
        QVERIFY(ValueCipher(kTestKey + 1).decryptBytes(raw).isEmpty());
    }

    void invalidInput_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("warns");
        QTest::newRow("empty text") << QString() << false;
        QTest::newRow("two bytes") << QString::fromLatin1(bytes({3, 2}).toBase64()) << false;
        QTest::newRow("not base64") << QStringLiteral("!!!!") << false;
        QTest::newRow("version 2") << QString::fromLatin1(bytes({2, 2, 0x79, 0x7b, 0x78}).toBase64()) << true;
        QTest::newRow("version 4") << QString::fromLatin1(bytes({4, 2, 0x79, 0x7b, 0x78}).toBase64()) << true;
        QTest::newRow("plain text") << QStringLiteral("hello world") << true;
        // After the prefix fewer bytes remain than the integrity field needs.
        QTest::newRow("short checksum") << QString::fromLatin1(bytes({3, 2, 0x79, 0x7b}).toBase64()) << false;
        QTest::newRow("short sha1") << QString::fromLatin1(bytes({3, 4, 0x79, 0x7b, 0x78}).toBase64()) << false;
    }
    void invalidInput()
    {
        QFETCH(QString, text);
        QFETCH(bool, warns);
        ValueCipher cipher(kTestKey);
        QCOMPARE(cipher.decryptText(text), QString());
        if (warns)
            QCOMPARE(g_warnings, QStringList{QStringLiteral("Invalid version or not a cyphertext.")});
        else
            QVERIFY2(g_warnings.isEmpty(), qPrintable(g_warnings.join(QLatin1Char('\n'))));
    }

    void sha1IntegrityField_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<bool>("compressed");
        QTest::newRow("plain") << QStringLiteral(u"Grüße, 世界").toUtf8() << false;
        QTest::newRow("compressed") << QByteArray(3000, 'z') << true;
    }
    void sha1IntegrityField()
    {
        QFETCH(QByteArray, payload);
        QFETCH(bool, compressed);
        const QByteArray stored = compressed ? qCompress(payload, 9) : payload;
        QByteArray body;
        body.append(char(0x78));
        body.append(QCryptographicHash::hash(stored, QCryptographicHash::Sha1));
        body.append(stored);
        QByteArray raw;
        raw.append(char(3));
        raw.append(char(compressed ? 0x05 : 0x04));
        raw.append(scrambleBody(body, kTestKey));

        ValueCipher cipher(kTestKey);
        QCOMPARE(cipher.decryptBytes(raw), payload);

        QByteArray bad = raw;
        bad[bad.size() - 1] = char(bad[bad.size() - 1] ^ 0x10);
        QVERIFY(cipher.decryptBytes(bad).isEmpty());
    }

    void noIntegrityField()
    {
        // Neither 0x02 nor 0x04: the body after the prefix is the payload.
        QByteArray body = QByteArray(1, char(0x78)) + "abc";
        QByteArray raw = bytes({3, 0}) + scrambleBody(body, kTestKey);
        QCOMPARE(ValueCipher(kTestKey).decryptBytes(raw), QByteArray("abc"));
    }

    void compressedGarbageWithValidChecksum_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::newRow("not a zlib stream") << (bytes({0, 0, 0, 10}) + QByteArray("garbage!!"));
        // Claims close to 2 GB: must be refused without trying to allocate it.
        QTest::newRow("forged length") << (bytes({0x7f, 0xff, 0xff, 0x00}) + qCompress("x").mid(4));
    }
    void compressedGarbageWithValidChecksum()
    {
        QFETCH(QByteArray, payload);
        const quint16 crc = qChecksum(payload.constData(), uint(payload.size()));
        QByteArray body = bytes({0x78, crc >> 8, crc & 0xff}) + payload;
        QByteArray raw = bytes({3, 3}) + scrambleBody(body, kTestKey);
        QCOMPARE(ValueCipher(kTestKey).decryptBytes(raw), QByteArray());
    }

    void concurrentUse()
    {
        // One cipher serves several worker threads of the store at once.
        const ValueCipher cipher(ValueCipher::storeKey());
        QVector<QThread*> threads;
        QAtomicInt failures;
        for (int t = 0; t < 8; ++t) {
            threads.append(QThread::create([&cipher, &failures, t] {
                for (int i = 0; i < 500; ++i) {
                    const QString value = QStringLiteral("thread %1 value %2 ").arg(t).arg(i).repeated(i % 7 + 1);
                    if (cipher.decryptText(cipher.encryptText(value)) != value)
                        failures.ref();
                }
            }));
            threads.last()->start();
        }
        for (QThread* thread : threads) {
            thread->wait();
            delete thread;
        }
        QCOMPARE(failures.loadRelaxed(), 0);
    }
};

QTEST_GUILESS_MAIN(ValueCipherTest)
#include "ValueCipherTest.moc"
