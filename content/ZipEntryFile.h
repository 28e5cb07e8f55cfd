#pragma once

#include <QScopedPointer>
#include <quazip.h>
#include <quazipfile.h>

// A zip entry device read through the zip library, for the entries that
// ZipEntryDevice does not read (other compression methods, archives with
// data in front of the zip). It has its own handle on the archive file,
// which it owns and closes when it is deleted. Independent of the reader that
// made it and of every other device, so devices can be read on any thread at
// once.
class ZipEntryFile : public QuaZipFile
{
    Q_OBJECT
public:
    // Takes ownership of zip, an open handle whose current file is the entry.
    explicit ZipEntryFile(QuaZip* zip);
    ~ZipEntryFile() override;

private:
    QScopedPointer<QuaZip> m_ownZip;
};
