#include "ZipEntryFile.h"

ZipEntryFile::ZipEntryFile(QuaZip* zip)
    : QuaZipFile(zip, nullptr)
    , m_ownZip(zip)
{
}

ZipEntryFile::~ZipEntryFile()
{
    // The entry must be closed before its handle goes away, and the base
    // class must not see the handle afterwards: its destructor looks at the
    // handle even when the entry is closed, and m_ownZip is deleted before
    // the base class is destroyed.
    close();
    setZip(nullptr);
}
