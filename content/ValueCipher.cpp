#include "ValueCipher.h"

#include "ContentLog.h"

#include <QCryptographicHash>
#include <QtEndian>

namespace {

constexpr int kChecksumSize = 2;
constexpr int kSha1Size = 20;
constexpr int kCompressionLevel = 9;
// zlib's deflate never shrinks data by more than about 1032:1, so a stored
// length beyond this bound cannot belong to the stream that follows it.
constexpr qint64 kMaxInflateRatio = 1032;

// qUncompress trusts the 4-byte length in front of the stream and allocates
// that much at once; a damaged or forged value could claim almost 2 GB.
// Reject claims that no real stream of this size can fulfil. Every value
// written by encryptBytes passes, since qCompress stores the true length.
bool plausibleCompressed(const QByteArray& data)
{
    if (data.size() < 4)
        return true; // qUncompress itself rejects it without allocating
    const qint64 claimed = qFromBigEndian<quint32>(data.constData());
    return claimed <= (qint64(data.size()) - 4) * kMaxInflateRatio + 64;
}

} // namespace

ValueCipher::ValueCipher(quint64 key)
    : m_key(key)
{
    for (int i = 0; i < 8; ++i)
        m_keyBytes[i] = quint8(key >> (8 * i));
}

quint64 ValueCipher::storeKey()
{
    // Fixed for all releases of the program.
    return Q_UINT64_C(0x5A17C3E94D2B86F1);
}

void ValueCipher::scramble(char* data, int size) const
{
    quint8 feedback = 0;
    for (int i = 0; i < size; ++i) {
        const quint8 out = quint8(data[i]) ^ m_keyBytes[i % 8] ^ feedback;
        data[i] = char(out);
        feedback = out;
    }
}

void ValueCipher::unscramble(char* data, int size) const
{
    quint8 feedback = 0;
    for (int i = 0; i < size; ++i) {
        const quint8 received = quint8(data[i]);
        data[i] = char(received ^ feedback ^ m_keyBytes[i % 8]);
        feedback = received;
    }
}

QByteArray ValueCipher::encryptBytes(const QByteArray& plain) const
{
    quint8 flags = 0;
    QByteArray payload = plain;
    const QByteArray compressed = qCompress(plain, kCompressionLevel);
    if (compressed.size() < payload.size()) {
        payload = compressed;
        flags |= Compressed;
    }

    flags |= Checksum16;
    const quint16 checksum = qChecksum(payload.constData(), uint(payload.size()));

    QByteArray result;
    result.reserve(2 + 1 + kChecksumSize + payload.size());
    result.append(char(Version));
    result.append(char(flags));
    result.append(char(BodyPrefix));
    result.append(char(checksum >> 8));
    result.append(char(checksum & 0xff));
    result.append(payload);
    scramble(result.data() + 2, result.size() - 2);
    return result;
}

QByteArray ValueCipher::decryptBytes(const QByteArray& cipher) const
{
    if (cipher.size() < 3)
        return QByteArray();
    if (quint8(cipher.at(0)) != Version) {
        qWarning("Invalid version or not a cyphertext.");
        return QByteArray();
    }

    const quint8 flags = quint8(cipher.at(1));
    QByteArray body = cipher.mid(2);
    unscramble(body.data(), body.size());
    body.remove(0, 1); // the prefix byte carries no information

    if (flags & Checksum16) {
        if (body.size() < kChecksumSize)
            return QByteArray();
        const quint16 stored = qFromBigEndian<quint16>(body.constData());
        body.remove(0, kChecksumSize);
        if (qChecksum(body.constData(), uint(body.size())) != stored)
            return QByteArray();
    } else if (flags & Sha1Hash) {
        if (body.size() < kSha1Size)
            return QByteArray();
        const QByteArray stored = body.left(kSha1Size);
        body.remove(0, kSha1Size);
        if (QCryptographicHash::hash(body, QCryptographicHash::Sha1) != stored)
            return QByteArray();
    }

    if (flags & Compressed) {
        if (!plausibleCompressed(body))
            return QByteArray();
        return qUncompress(body);
    }
    return body;
}

QString ValueCipher::encryptText(const QString& text) const
{
    return QString::fromLatin1(encryptBytes(text.toUtf8()).toBase64());
}

QString ValueCipher::decryptText(const QString& text) const
{
    return QString::fromUtf8(decryptBytes(QByteArray::fromBase64(text.toLatin1())));
}
