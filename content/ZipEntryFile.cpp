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
    // the base class is destroyed. A device that never opened (a failed
    // openFile) has nothing to close.
    if (isOpen())
        close();
    // A close that reports an error (a CRC mismatch, an entry not read to
    // its end) leaves the device open; the handle's own close releases the
    // entry then.
    if (isOpen())
        QIODevice::close();
    setZip(nullptr);
}
