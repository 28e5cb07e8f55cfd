#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QPair>
#include <QString>
#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipnewinfo.h>

// Builds zip archives for the tests with QuaZip.
namespace ZipFixtures {

struct Entry
{
    QString name;        // ending in "/" makes a directory entry
    QByteArray data;
    QByteArray password; // non-empty: the entry is encrypted
    int level = -1;      // 0 stores the data uncompressed
};

inline bool makeZip(const QString& path, const QList<Entry>& entries)
{
    QuaZip zip(path);
    if (!zip.open(QuaZip::mdCreate))
        return false;
    for (const Entry& entry : entries) {
        QuaZipFile file(&zip);
        const char* password = entry.password.isEmpty() ? nullptr : entry.password.constData();
        if (!file.open(QIODevice::WriteOnly, QuaZipNewInfo(entry.name), password, 0,
                       entry.level == 0 ? 0 : Z_DEFLATED, entry.level == 0 ? 0 : entry.level))
            return false;
        if (!entry.data.isEmpty() && file.write(entry.data) != entry.data.size())
            return false;
        file.close();
        if (file.getZipError() != ZIP_OK)
            return false;
    }
    zip.close();
    return zip.getZipError() == ZIP_OK;
}

inline bool makeZip(const QString& path, const QList<QPair<QString, QByteArray>>& entries)
{
    QList<Entry> list;
    for (const auto& e : entries)
        list.append({e.first, e.second, {}, -1});
    return makeZip(path, list);
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

// Flips one byte of the first occurrence of marker in the file, damaging
// the data of a stored (uncompressed) entry without touching its headers.
inline bool damage(const QString& path, const QByteArray& marker)
{
    QByteArray bytes = readFile(path);
    const int at = bytes.indexOf(marker);
    if (at < 0)
        return false;
    bytes[at] = char(bytes[at] ^ 0x55);
    return writeFile(path, bytes);
}

} // namespace ZipFixtures
