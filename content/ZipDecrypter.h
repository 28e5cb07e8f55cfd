#pragma once

#include <QByteArray>
#include <QtGlobal>

// Traditional zip encryption (the PKWARE stream cipher), decrypting side.
// An encrypted entry's data starts with a 12-byte header whose last byte,
// once decrypted, is a check value the writer chose (the high byte of the
// entry's CRC, or of its DOS time); the content follows.
class ZipDecrypter
{
public:
    explicit ZipDecrypter(const QByteArray& password);
    ~ZipDecrypter();

    // Decrypts the 12-byte header and returns its check byte. Call once,
    // before the content.
    quint8 decryptHeader(const char* header);
    // Decrypts the next size bytes of the content in place.
    void decrypt(char* data, qint64 size);

private:
    quint32 m_keys[3];
};
