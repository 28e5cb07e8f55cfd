// Cipher text read back from the key-value store's database: arbitrary
// bytes must decrypt to a value or to nothing, and every value must
// survive a round trip.

#include "FuzzSupport.h"
#include "ValueCipher.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qInstallMessageHandler(fuzz::quietMessages);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const ValueCipher cipher(ValueCipher::storeKey());
    const QByteArray input(reinterpret_cast<const char*>(data), int(size));

    cipher.decryptBytes(input);
    cipher.decryptText(QString::fromLatin1(input));

    if (cipher.decryptBytes(cipher.encryptBytes(input)) != input)
        abort();
    const QString text = QString::fromUtf8(input);
    if (cipher.decryptText(cipher.encryptText(text)) != text)
        abort();
    return 0;
}
