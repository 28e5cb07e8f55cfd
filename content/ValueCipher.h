#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// Keyed cipher for the values of the key-value store. A value is compressed
// when that makes it shorter, protected by a CRC-16, scrambled with a chained
// XOR over the eight key bytes and prefixed with a version and a flags byte;
// the text form is Base64. It hides values from casual reading and detects
// damaged or foreign values; it is not strong encryption.
//
// Cipher bytes: version (3), flags, then the scrambled body
//   0x78 prefix, integrity field (CRC-16 big-endian or SHA-1), payload.
//
// The object is immutable after construction, so any number of threads may
// use one instance at once.
class ValueCipher
{
public:
    enum Flag : quint8 {
        Compressed = 0x01,
        Checksum16 = 0x02,
        Sha1Hash = 0x04,
    };

    static constexpr quint8 Version = 3;
    static constexpr quint8 BodyPrefix = 0x78;

    explicit ValueCipher(quint64 key);

    // The key the key-value store enciphers its values with. It must never
    // change: values written under one key cannot be read under another.
    static quint64 storeKey();

    quint64 key() const { return m_key; }

    QString encryptText(const QString& text) const;
    // The value, or an empty string when the text is not valid cipher text.
    QString decryptText(const QString& text) const;

    QByteArray encryptBytes(const QByteArray& plain) const;
    // The value, or an empty array when the bytes are too short, carry another
    // version (logged as a warning) or fail their integrity check.
    QByteArray decryptBytes(const QByteArray& cipher) const;

private:
    void scramble(char* data, int size) const;
    void unscramble(char* data, int size) const;

    quint64 m_key;
    quint8 m_keyBytes[8];
};
