#include "ZipExtractionThread.h"

#include "Zip.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipfileinfo.h>

namespace {
Q_LOGGING_CATEGORY(lcExtract, "services.zip")

constexpr qint64 CopyBufferSize = 256 * 1024;

// True when a name (with '/' separators), appended to the directory it is
// unpacked into, climbs out of that directory with "..". A leading "/" or a
// drive letter is no way out: appended, it only names a folder inside.
bool leavesTarget(const QString& name)
{
    int depth = 0;
    const QStringList parts = name.split(QLatin1Char('/'));
    for (const QString& part : parts) {
        if (part.isEmpty() || part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            if (--depth < 0)
                return true;
        } else {
            ++depth;
        }
    }
    return false;
}

// The path with symbolic links resolved where it exists, cleaned otherwise.
QString resolvedPath(const QString& path)
{
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(info.absoluteFilePath()) : canonical;
}

// True when dir lies strictly above kept, so that clearing dir's
// subdirectories would take kept with it.
bool isAncestorOf(const QString& dir, const QString& kept)
{
    const QString above = resolvedPath(dir);
    const QString below = resolvedPath(kept);
    if (above == below)
        return false;
    return above == QLatin1String("/") || below.startsWith(above + QLatin1Char('/'));
}

// Removes every visible subdirectory of dir. A symbolic link to a
// directory is removed as a link, never followed.
void removeSubdirectories(const QString& dir)
{
    const QFileInfoList subdirs = QDir(dir).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QFileInfo& info : subdirs) {
        const bool removed = info.isSymLink() ? QFile::remove(info.absoluteFilePath())
                                              : QDir(info.absoluteFilePath()).removeRecursively();
        if (!removed)
            qCWarning(lcExtract) << "cannot remove" << info.absoluteFilePath();
    }
}

} // namespace

ZipExtractionThread::ZipExtractionThread(QObject* parent)
    : QThread(parent)
{
    qRegisterMetaType<ZipExtractionThread::ExtractionError>("ZipExtractionThread::ExtractionError");
}

ZipExtractionThread::~ZipExtractionThread()
{
    m_abort = true;
    wait();
}

bool ZipExtractionThread::start(const QString& archivePath, const QString& targetPath,
                                const QString& keptDirectory)
{
    if (isRunning())
        return false;
    // The previous run may have ended its work but not yet its thread.
    wait();
    m_archivePath = archivePath;
    m_targetPath = targetPath;
    m_keptDirectory = keptDirectory;
    m_abort = false;
    QThread::start();
    return true;
}

void ZipExtractionThread::abort()
{
    m_abort = true;
}

QString ZipExtractionThread::archivePath() const
{
    return m_archivePath;
}

QString ZipExtractionThread::targetPath() const
{
    return m_targetPath;
}

void ZipExtractionThread::run()
{
    if (m_abort) {
        emit onAbort();
        emit zipError(Aborted);
        return;
    }

    // Clearing the target removes its subdirectories: a target above the
    // kept directory would take that directory and everything beside it.
    if (!m_keptDirectory.isEmpty() && isAncestorOf(m_targetPath, m_keptDirectory)) {
        qCWarning(lcExtract) << "refusing target" << m_targetPath << "above" << m_keptDirectory;
        emit zipError(WriteFailed);
        return;
    }

    // A target that cannot be made is reported by the first entry that
    // cannot be written, after the archive was found and counted.
    QDir target(m_targetPath);
    if (!target.exists() && !target.mkpath(QStringLiteral(".")))
        qCWarning(lcExtract) << "cannot create" << m_targetPath;
    const QString targetRoot = QDir::cleanPath(target.absolutePath());

    if (!QFileInfo::exists(m_archivePath)) {
        emit zipError(ArchiveNotFound);
        return;
    }

    removeSubdirectories(targetRoot);

    QuaZip zip(m_archivePath);
    if (!zip.open(QuaZip::mdUnzip)) {
        if (Zip::isEmptyArchive(m_archivePath)) {
            // Nothing to unpack: reported as any archive of no entries.
            emit zipProgress(0, 0);
            emit zipProgress(0, 0);
            emit zipFinish(targetRoot);
            return;
        }
        qCWarning(lcExtract) << "cannot open" << m_archivePath << "error" << zip.getZipError();
        emit zipError(ArchiveNotOpened);
        return;
    }

    const int total = zip.getEntriesCount();
    emit zipProgress(total, 0);

    QByteArray buffer(CopyBufferSize, Qt::Uninitialized);
    auto fail = [&](ExtractionError code) {
        zip.close();
        emit zipError(code);
    };

    int i = 0;
    for (bool more = zip.goToFirstFile(); more; more = zip.goToNextFile(), ++i) {
        if (m_abort) {
            zip.close();
            emit onAbort();
            emit zipError(Aborted);
            return;
        }

        QuaZipFileInfo64 info;
        if (!zip.getCurrentFileInfo(&info)) {
            qCWarning(lcExtract) << "cannot read entry" << i << "error" << zip.getZipError();
            fail(ReadFailed);
            return;
        }
        // Archives made on Windows may separate folders with backslashes;
        // only a name that itself ends in "/" is a directory entry.
        const bool isDirectory = info.name.endsWith(QLatin1Char('/'));
        QString name = info.name;
        name.replace(QLatin1Char('\\'), QLatin1Char('/'));
        if (leavesTarget(name)) {
            qCWarning(lcExtract) << "entry outside the target directory:" << info.name;
            fail(WriteFailed);
            return;
        }
        QString outputPath = QDir::cleanPath(targetRoot + QLatin1Char('/') + name);
        // A file entry named like a folder ("a\\b\\") keeps its final
        // separator, so no file is written in place of a folder.
        if (!isDirectory && name.endsWith(QLatin1Char('/')))
            outputPath += QLatin1Char('/');

        if (isDirectory) {
            if (!QDir().mkpath(outputPath)) {
                qCWarning(lcExtract) << "cannot create" << outputPath;
                fail(WriteFailed);
                return;
            }
        } else {
            if (info.isEncrypted()) {
                qCWarning(lcExtract) << "encrypted entry" << info.name;
                fail(ReadFailed);
                return;
            }
            QuaZipFile in(&zip);
            if (!in.open(QIODevice::ReadOnly)) {
                qCWarning(lcExtract) << "cannot open entry" << info.name << "error" << in.getZipError();
                fail(ReadFailed);
                return;
            }
            const QFileInfo outputInfo(outputPath);
            // A link already at this place would carry the write elsewhere.
            if (outputInfo.isSymLink())
                QFile::remove(outputPath);
            QFile out(outputPath);
            if (!outputInfo.absoluteDir().mkpath(QStringLiteral("."))
                || !out.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
                qCWarning(lcExtract) << "cannot write" << outputPath << out.errorString();
                in.close();
                fail(WriteFailed);
                return;
            }
            ExtractionError copyError = NoError;
            for (;;) {
                const qint64 n = in.read(buffer.data(), CopyBufferSize);
                if (n < 0) {
                    copyError = ReadFailed;
                    break;
                }
                if (n == 0)
                    break;
                if (out.write(buffer.constData(), n) != n) {
                    copyError = WriteFailed;
                    break;
                }
            }
            in.close();
            // Closing the entry checks its CRC: damaged data is a read error.
            if (copyError == NoError && in.getZipError() != UNZ_OK)
                copyError = ReadFailed;
            out.close();
            if (copyError != NoError) {
                qCWarning(lcExtract) << "cannot copy entry" << info.name << "error" << in.getZipError()
                                     << out.errorString();
                out.remove();
                fail(copyError);
                return;
            }
        }

        if (i % ProgressStep == 0)
            emit zipProgress(total, i + 1);
    }

    // An archive without entries (behind a prefix, where the zip library
    // opens it) has no first entry to go to: that is no damage.
    const bool emptyArchive = total == 0 && i == 0;
    if (!emptyArchive && zip.getZipError() != UNZ_OK && zip.getZipError() != UNZ_END_OF_LIST_OF_FILE) {
        // The walk ended on a damaged directory record, not at the end.
        qCWarning(lcExtract) << "archive directory damaged after entry" << i << "error" << zip.getZipError();
        fail(ReadFailed);
        return;
    }

    zip.close();
    emit zipProgress(total, total);
    emit zipFinish(targetRoot);
}
