#include "ZipEntryFile.h"

ZipEntryFile::ZipEntryFile(QuaZip* zip)
    : QuaZipFile(zip, nullptr)
    , m_ownZip(zip)
{
}

ZipEntryFile::~ZipEntryFile()
{
    // The entry must be closed before its handle goes away.
    close();
}
