#include "ArchiveException.h"

void ArchiveException::raise() const
{
    throw *this;
}

ArchiveException* ArchiveException::clone() const
{
    return new ArchiveException(*this);
}
