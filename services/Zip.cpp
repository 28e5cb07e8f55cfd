#include "Zip.h"

#include "PathsManager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <limits>
#include <quazip/JlCompress.h>
#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipfileinfo.h>
#include <quazip/quazipnewinfo.h>
#include <zlib.h>

namespace {
Q_LOGGING_CATEGORY(lcZip, "services.zip")

QString contentsPath()
{
    return PathsManager::instance()->get(QStringLiteral("contentsPath"), QString());
}

QVariantMap withUuid(const QString& uuid)
{
    QVariantMap data;
    data.insert(QStringLiteral("uuid"), uuid);
    return data;
}

QVariantMap codeOnly(int code)
{
    QVariantMap item;
    item.insert(QStringLiteral("code"), code);
    return item;
}

// Sizes fit an unsigned int except in zip64 archives; larger ones keep
// their full value rather than wrapping.
QVariant sizeValue(quint64 size)
{
    if (size <= std::numeric_limits<uint>::max())
        return QVariant(static_cast<uint>(size));
    return QVariant(static_cast<qulonglong>(size));
}

} // namespace

// Counts a command as running for as long as it is in scope.
class Zip::Running
{
public:
    explicit Running(Zip* zip)
        : m_zip(zip)
    {
        m_zip->hold();
    }
    ~Running() { m_zip->release(); }

private:
    Zip* m_zip;
};

void Zip::hold()
{
    QMutexLocker lock(&m_mutex);
    ++m_running;
}

void Zip::release()
{
    QMutexLocker lock(&m_mutex);
    if (--m_running == 0)
        m_idle.wakeAll();
}

Zip::Zip(QObject* parent)
    : QObject(parent)
{
}

Zip::~Zip()
{
    QMutexLocker lock(&m_mutex);
    while (m_running > 0)
        m_idle.wait(&m_mutex);
}

bool Zip::isEmptyArchive(const QString& path)
{
    // End of central directory record: signature, two disk numbers, two
    // entry counts, directory size and offset, comment length, comment.
    constexpr int RecordSize = 22;
    QFile file(path);
    if (file.size() < RecordSize || file.size() > RecordSize + 0xffff || !file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = file.readAll();
    if (!bytes.startsWith("PK\x05\x06"))
        return false;
    const auto number = [&bytes](int at, int size) {
        quint32 value = 0;
        for (int i = size - 1; i >= 0; --i)
            value = (value << 8) | quint8(bytes.at(at + i));
        return value;
    };
    return number(4, 2) == 0 && number(6, 2) == 0 && number(8, 2) == 0 && number(10, 2) == 0
        && number(12, 4) == 0 && number(16, 4) == 0 && number(20, 2) == quint32(bytes.size() - RecordSize);
}

int Zip::readEntry(QuaZip& zip, const QString& name, QByteArray& buffer)
{
    if (!zip.setCurrentFile(name))
        return EntryFailed;
    // The whole entry goes into one buffer: a size no buffer can hold is
    // refused before anything is allocated.
    QuaZipFileInfo64 info;
    if (!zip.getCurrentFileInfo(&info) || info.uncompressedSize > quint64(MaxContentBytes))
        return EntryFailed;
    QuaZipFile file(&zip);
    if (!file.open(QIODevice::ReadOnly))
        return EntryFailed;
    buffer = file.readAll();
    int code = file.getZipError();
    file.close();
    // Closing compares the checksum: damaged data must not pass as read.
    if (code == UNZ_OK)
        code = file.getZipError();
    if (code != UNZ_OK)
        buffer.clear();
    return code;
}

void Zip::zipAddFiles(QString uuid, QString archivePath, QString mode, QVariantMap files)
{
    Running running(this);
    QVariantMap data = withUuid(uuid);

    const bool add = mode.compare(QLatin1String("add"), Qt::CaseInsensitive) == 0;
    const bool create = mode.compare(QLatin1String("create"), Qt::CaseInsensitive) == 0;
    if (!add && !create) {
        data.insert(QStringLiteral("code"), int(InvalidArgument));
        emit invokeJSCall(QStringLiteral("zipAddFilesFail"), data);
        return;
    }

    QuaZip zip(archivePath);
    if (!zip.open(add ? QuaZip::mdAdd : QuaZip::mdCreate)) {
        data.insert(QStringLiteral("code"), zip.getZipError());
        emit invokeJSCall(QStringLiteral("zipAddFilesFail"), data);
        return;
    }

    const QString raw = QStringLiteral("raw");
    const QString path = QStringLiteral("path");
    for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
        const QVariantMap item = it.value().toMap();
        const QString type = item.value(QStringLiteral("type"), raw).toString();
        const QString entryName = item.value(QStringLiteral("path")).toString();
        const bool valid = (type.compare(raw, Qt::CaseInsensitive) == 0
                            || type.compare(path, Qt::CaseInsensitive) == 0)
            && item.contains(QStringLiteral("data")) && !entryName.isEmpty();

        int code = Ok;
        QByteArray content;
        if (!valid) {
            code = InvalidArgument;
        } else if (type == raw) {
            content = item.value(QStringLiteral("data")).toByteArray();
        } else if (type == path) {
            QFile source(item.value(QStringLiteral("data")).toString());
            // Read into memory whole: a file too large for that counts as
            // unreadable.
            if (source.size() <= MaxContentBytes && source.open(QIODevice::ReadOnly))
                content = source.readAll();
            else
                code = SourceUnreadable;
        } else {
            // "RAW", "Path": accepted by the check above, but only the
            // exact spelling says how to read the data.
            code = InvalidArgument;
        }

        if (code == Ok) {
            QuaZipFile entry(&zip);
            if (entry.open(QIODevice::WriteOnly, QuaZipNewInfo(entryName), nullptr, 0, Z_DEFLATED,
                           Z_DEFAULT_COMPRESSION, false, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY)) {
                entry.write(content);
                code = entry.getZipError();
                entry.close();
                if (code == ZIP_OK)
                    code = entry.getZipError();
            } else {
                code = entry.getZipError();
            }
        }
        data.insert(it.key(), codeOnly(code));
    }

    // Closing writes the central directory: only then is the archive
    // complete for a page that opens it as soon as the answer arrives.
    zip.close();
    if (zip.getZipError() != ZIP_OK) {
        qCWarning(lcZip) << "cannot complete" << archivePath << "error" << zip.getZipError();
        QVariantMap fail = withUuid(uuid);
        fail.insert(QStringLiteral("code"), zip.getZipError());
        emit invokeJSCall(QStringLiteral("zipAddFilesFail"), fail);
        return;
    }
    emit invokeJSCall(QStringLiteral("zipAddFilesDone"), data);
}

void Zip::zipReadFiles(QString uuid, QString archivePath, QVariantMap filesPaths)
{
    Running running(this);
    QVariantMap data = withUuid(uuid);

    QuaZip zip(archivePath);
    if (!zip.open(QuaZip::mdUnzip)) {
        data.insert(QStringLiteral("code"), zip.getZipError());
        emit invokeJSCall(QStringLiteral("zipReadFilesFail"), data);
        return;
    }
    for (auto it = filesPaths.constBegin(); it != filesPaths.constEnd(); ++it) {
        QByteArray content;
        const int code = readEntry(zip, it.value().toString(), content);
        QVariantMap item = codeOnly(code);
        item.insert(QStringLiteral("data"), content);
        data.insert(it.key(), item);
    }
    zip.close();
    emit invokeJSCall(QStringLiteral("zipReadFilesDone"), data);
}

void Zip::zipCompressDirectory(QString uuid, QString archivePath, QString dirPath)
{
    Running running(this);
    const QString archive = QDir(contentsPath()).absoluteFilePath(archivePath);
    const bool done = JlCompress::compressDir(archive, dirPath, true);
    emit invokeJSCall(done ? QStringLiteral("zipCompressDirectoryDone")
                           : QStringLiteral("zipCompressDirectoryFail"),
                      withUuid(uuid));
}

void Zip::zipListContents(QString uuid, QString archivePath)
{
    Running running(this);
    QVariantMap data = withUuid(uuid);
    auto fail = [&](int code) {
        data.insert(QStringLiteral("code"), code);
        emit invokeJSCall(QStringLiteral("zipListContentsFail"), data);
    };

    QVariantList entries;
    QuaZip zip(archivePath);
    if (!zip.open(QuaZip::mdUnzip)) {
        if (!isEmptyArchive(archivePath)) {
            fail(zip.getZipError());
            return;
        }
        data.insert(QStringLiteral("data"), entries);
        emit invokeJSCall(QStringLiteral("zipListContentsDone"), data);
        return;
    }
    for (bool more = zip.goToFirstFile(); more; more = zip.goToNextFile()) {
        QuaZipFileInfo64 info;
        if (!zip.getCurrentFileInfo(&info)) {
            fail(zip.getZipError());
            return;
        }
        QVariantMap entry;
        entry.insert(QStringLiteral("crc"), static_cast<uint>(info.crc));
        entry.insert(QStringLiteral("zipPath"), info.name);
        entry.insert(QStringLiteral("isDir"), info.name.endsWith(QLatin1Char('/')));
        entry.insert(QStringLiteral("comment"), info.comment);
        entry.insert(QStringLiteral("compressedSize"), sizeValue(info.compressedSize));
        entry.insert(QStringLiteral("uncompressedSize"), sizeValue(info.uncompressedSize));
        entries.append(entry);
    }
    // A walk cut short by a damaged record is not a complete listing; an
    // archive without entries (behind a prefix, where the zip library opens
    // it) has no first record to go to.
    const int walkError = zip.getZipError();
    const bool emptyArchive = entries.isEmpty() && zip.getEntriesCount() == 0;
    if (!emptyArchive && walkError != UNZ_OK && walkError != UNZ_END_OF_LIST_OF_FILE) {
        fail(walkError);
        return;
    }
    zip.close();
    data.insert(QStringLiteral("data"), entries);
    emit invokeJSCall(QStringLiteral("zipListContentsDone"), data);
}

void Zip::zipExtractFiles(QString uuid, QString archivePath, QVariantMap paths)
{
    Running running(this);
    QVariantMap data = withUuid(uuid);

    QuaZip zip(archivePath);
    if (!zip.open(QuaZip::mdUnzip)) {
        data.insert(QStringLiteral("code"), zip.getZipError());
        emit invokeJSCall(QStringLiteral("zipListContentsFail"), data);
        return;
    }
    const QDir contents(contentsPath());
    for (auto it = paths.constBegin(); it != paths.constEnd(); ++it) {
        const QVariantMap item = it.value().toMap();
        const QString source = item.value(QStringLiteral("source")).toString();
        const QString target = item.value(QStringLiteral("target")).toString();
        if (source.isEmpty() || target.isEmpty()) {
            data.insert(it.key(), codeOnly(InvalidArgument));
            continue;
        }
        if (!zip.setCurrentFile(source)) {
            // The library reports a missing entry with its success code;
            // the page must not take that for a written file.
            const int code = zip.getZipError();
            data.insert(it.key(), codeOnly(code != UNZ_OK ? code : int(EntryFailed)));
            continue;
        }
        QByteArray content;
        const int readCode = readEntry(zip, source, content);
        if (readCode != Ok) {
            data.insert(it.key(), codeOnly(readCode));
            continue;
        }
        const QString targetPath = contents.absoluteFilePath(target);
        QFile out(targetPath);
        if (!QFileInfo(targetPath).absoluteDir().mkpath(QStringLiteral("."))
            || !out.open(QIODevice::ReadWrite | QIODevice::Truncate)) {
            data.insert(it.key(), codeOnly(EntryFailed));
            continue;
        }
        const bool written = out.write(content) == content.size() && out.flush();
        out.setPermissions(QFileDevice::Permissions(0x1777));
        out.close();
        if (!written) {
            out.remove();
            data.insert(it.key(), codeOnly(EntryFailed));
            continue;
        }
        QVariantMap result = codeOnly(Ok);
        result.insert(QStringLiteral("path"), QFileInfo(targetPath).absoluteFilePath());
        data.insert(it.key(), result);
    }
    zip.close();
    emit invokeJSCall(QStringLiteral("zipListContentsDone"), data);
}
