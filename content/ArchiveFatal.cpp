#include "ArchiveFatal.h"

#include "ArchiveException.h"

#include <QtGlobal>
#include <cstdio>
#include <cstdlib>

void endWithArchiveError(const ArchiveException& error)
{
    const QByteArray message = error.message().toLocal8Bit();
    std::fprintf(stderr, "Archive error, code: %i, message: %s.\n", int(error.code()), message.constData());
    std::fflush(stderr);
    qFatal("Archive error, code: %i, message: %s.", int(error.code()), message.constData());
    std::abort();
}
