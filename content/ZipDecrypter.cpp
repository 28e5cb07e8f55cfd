#include "ZipDecrypter.h"

#include <zlib.h>

namespace {

inline quint32 crcStep(const z_crc_t* table, quint32 crc, quint8 byte)
{
    return quint32(table[(crc ^ byte) & 0xff]) ^ (crc >> 8);
}

inline void updateKeys(const z_crc_t* table, quint32& k0, quint32& k1, quint32& k2, quint8 plain)
{
    k0 = crcStep(table, k0, plain);
    k1 = (k1 + (k0 & 0xff)) * 134775813u + 1;
    k2 = crcStep(table, k2, quint8(k1 >> 24));
}

inline quint8 keyStream(quint32 k2)
{
    const quint32 temp = (k2 & 0xffff) | 2;
    return quint8((temp * (temp ^ 1)) >> 8);
}

} // namespace

ZipDecrypter::ZipDecrypter(const QByteArray& password)
    : m_keys{0x12345678u, 0x23456789u, 0x34567890u}
{
    const z_crc_t* table = get_crc_table();
    for (char c : password)
        updateKeys(table, m_keys[0], m_keys[1], m_keys[2], quint8(c));
}

ZipDecrypter::~ZipDecrypter()
{
    // The keys are as good as the password.
    volatile quint32* keys = m_keys;
    keys[0] = keys[1] = keys[2] = 0;
}

quint8 ZipDecrypter::decryptHeader(const char* header)
{
    char plain[12];
    for (int i = 0; i < 12; ++i)
        plain[i] = header[i];
    decrypt(plain, 12);
    return quint8(plain[11]);
}

void ZipDecrypter::decrypt(char* data, qint64 size)
{
    // The keys live in registers for the loop: every byte depends on the
    // previous one, so this runs at the speed of that chain.
    const z_crc_t* table = get_crc_table();
    quint32 k0 = m_keys[0];
    quint32 k1 = m_keys[1];
    quint32 k2 = m_keys[2];
    auto* bytes = reinterpret_cast<quint8*>(data);
    for (qint64 i = 0; i < size; ++i) {
        const quint8 plain = bytes[i] ^ keyStream(k2);
        bytes[i] = plain;
        updateKeys(table, k0, k1, k2, plain);
    }
    m_keys[0] = k0;
    m_keys[1] = k1;
    m_keys[2] = k2;
}
