#include "ContentPassword.h"

namespace {

// Each byte of the password XOR kMask. Neither table nor result contains a
// zero byte, since the zip library takes the password as a C string.
constexpr unsigned char kTable[14] = {
    0x37, 0x6b, 0x7f, 0x0d, 0x2a, 0x6e, 0x7d, 0x31, 0x06, 0x65, 0x1c, 0x24, 0x10, 0x2c,
};
constexpr unsigned char kMask = 0x5c;

} // namespace

QByteArray contentPassword()
{
    QByteArray password(int(sizeof(kTable)), Qt::Uninitialized);
    for (int i = 0; i < password.size(); ++i)
        password[i] = char(kTable[i] ^ kMask);
    return password;
}
