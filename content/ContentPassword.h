#pragma once

#include <QByteArray>

// The 14-byte password of the encrypted entries of content archives. It is
// not stored in plain in the program: it is built from a masked table on
// every call, and callers should not keep it longer than they need it. The
// content packer encrypts with the same function, so the two always agree.
QByteArray contentPassword();
