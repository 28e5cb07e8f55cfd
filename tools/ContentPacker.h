#pragma once

#include <QString>
#include <QStringList>

// Packs a directory into a content archive and lists archives. Used by the
// daveri-pack command, by the build (the demo course) and by tests that need
// archive fixtures.
//
// Entry names are the files' paths relative to the packed directory, with
// "/" separators; directories get no entries of their own. Files are read
// and written in chunks, so large media files do not pass through memory.
class ContentPacker
{
public:
    enum Format {
        ZipEncrypted, // zip, every entry encrypted with the content password
        ZipPlain,     // zip without encryption
        ZidOzi,       // the zidozi format
    };
    enum Compression { Deflated, Stored };

    // The files of dir that would be packed, as sorted entry names.
    static QStringList entryNames(const QString& dir);

    // Writes archivePath (replacing it). On failure returns false, sets
    // errorString() and leaves no archive behind.
    bool pack(const QString& dir, const QString& archivePath, Format format, Compression compression);

    // One line per entry: name, size, stored size, method (and "encrypted"
    // for encrypted zip entries). Detects the format from the file.
    bool list(const QString& archivePath, QStringList* lines);

    QString errorString() const { return m_errorString; }

private:
    bool packZip(const QString& dir, const QStringList& names, const QString& archivePath,
                 bool encrypted, Compression compression);
    bool packZidOzi(const QString& dir, const QStringList& names, const QString& archivePath,
                    Compression compression);
    bool fail(const QString& message);

    QString m_errorString;
};
