// File system commands of the dispatcher: item info, deletion, copies (with
// the registry of temporary copies) and the shell's main directories.

#include "JSInterface.h"

#include "ArchiveAccessManager.h"
#include "ArchiveException.h"
#include "AutoRemoveFile.h"
#include "PathsManager.h"
#include "copyDevice.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QScopedPointer>

Q_LOGGING_CATEGORY(lcFileSystem, "bridge.fs")

namespace {

// Copy result codes of fsItemsCopy.
constexpr int kCopied = 0;
constexpr int kDestinationNotWritable = 605;
constexpr int kInvalidItem = 606;

} // namespace

void JSInterface::fsItemsInfo(QString uuid, QVariantMap paths)
{
    const QString contents = contentsPath();
    QVariantMap answer;
    answer.insert(QStringLiteral("uuid"), uuid);
    for (auto it = paths.constBegin(); it != paths.constEnd(); ++it) {
        const QFileInfo info(contents + it.value().toString());
        QVariantMap item;
        item.insert(QStringLiteral("file_path"), it.value());
        item.insert(QStringLiteral("size"), info.exists() ? qint64(info.size()) : qint64(0));
        item.insert(QStringLiteral("isDir"), info.isDir());
        item.insert(QStringLiteral("exists"), info.exists());
        answer.insert(it.key(), item);
    }
    emitEvent(QStringLiteral("fsItemsInfoFinish"), answer);
}

void JSInterface::fsItemsDelete(QString uuid, QVariantMap paths)
{
    const QString contents = contentsPath();
    QVariantMap answer;
    answer.insert(QStringLiteral("uuid"), uuid);
    for (auto it = paths.constBegin(); it != paths.constEnd(); ++it) {
        const QString path = contents + it.value().toString();
        const QFileInfo info(path);
        // A dangling symbolic link still exists as an item to delete.
        const bool existed = info.exists() || info.isSymLink();
        QVariantMap item;
        item.insert(QStringLiteral("file_path"), it.value());
        item.insert(QStringLiteral("existed"), existed);
        if (existed) {
            const bool isDir = info.isDir() && !info.isSymLink();
            item.insert(QStringLiteral("isDir"), isDir);
            const bool deleted = isDir ? QDir(path).removeRecursively() : QFile::remove(path);
            item.insert(QStringLiteral("isDeleted"), deleted);
        }
        answer.insert(it.key(), item);
    }
    emitEvent(QStringLiteral("fsItemsDeleteFinish"), answer);
}

void JSInterface::fsItemsCopy(QString uuid, QVariantMap paths)
{
    QVariantMap answer;
    answer.insert(QStringLiteral("uuid"), uuid);
    for (auto it = paths.constBegin(); it != paths.constEnd(); ++it) {
        const QVariantMap fields = it.value().toMap();
        const QString from = fields.value(QStringLiteral("from"), QString()).toString();
        const QString to = fields.value(QStringLiteral("to"), QString()).toString();
        const QString location = fields.value(QStringLiteral("location"), QStringLiteral("temporary")).toString();
        const QString type = fields.value(QStringLiteral("type"), QStringLiteral("normal")).toString();
        QVariantMap item;
        const int code = copyItem(from, from, to, location, type, item);
        item.insert(QStringLiteral("code"), code);
        answer.insert(it.key(), item);
    }
    emitEvent(QStringLiteral("fsItemsCopyFinish"), answer);
}

void JSInterface::fsContentsRootPath(QString uuid)
{
    PathsManager* paths = PathsManager::instance();
    QVariantMap answer;
    answer.insert(QStringLiteral("uuid"), uuid);
    answer.insert(QStringLiteral("home_path"), paths->get(QStringLiteral("homePath"), QString()));
    answer.insert(QStringLiteral("download_path"), paths->get(QStringLiteral("downloadPath"), QString()));
    answer.insert(QStringLiteral("contents_root_path"), paths->get(QStringLiteral("contentsPath"), QString()));
    answer.insert(QStringLiteral("wrapper_access_path"), paths->get(QStringLiteral("wrapperAccessPath"), QString()));
    emitEvent(QStringLiteral("fsContentsRootPathFinish"), answer);
}

QIODevice* JSInterface::openCopySource(const QString& from)
{
    const QString root = PathsManager::instance()->get(QStringLiteral("wrapperRootPath"), QString());
    if (!root.isEmpty() && from.startsWith(root) && m_archive) {
        const QString entry = from.mid(from.indexOf(QLatin1Char('/')) + 1);
        if (m_archive->fileExists(entry))
            return m_archive->openFile(entry);
    }
    auto* file = new QFile(from);
    if (!file->open(QIODevice::ReadOnly)) {
        delete file;
        return nullptr;
    }
    return file;
}

int JSInterface::copyItem(const QString& registryKey, const QString& from, const QString& to,
                          const QString& location, const QString& type, QVariantMap& result)
{
    const bool temporaryLocation = location.compare(QLatin1String("temporary"), Qt::CaseInsensitive) == 0;
    const bool localLocation = location.compare(QLatin1String("local"), Qt::CaseInsensitive) == 0;
    const bool temporaryType = type.compare(QLatin1String("temporary"), Qt::CaseInsensitive) == 0;
    const bool normalType = type.compare(QLatin1String("normal"), Qt::CaseInsensitive) == 0;
    if (from.isEmpty() || to.isEmpty() || !(temporaryLocation || localLocation) || !(temporaryType || normalType))
        return kInvalidItem;

    const QString base = temporaryLocation
        ? QDir::tempPath()
        : contentsPath() + QLatin1Char('/');
    const QString destination = QDir(base).filePath(to);
    const QFileInfo destinationInfo(destination);
    QDir().mkpath(destinationInfo.absolutePath());

    if (temporaryType)
        m_temporaryCopies.remove(registryKey);

    // Open the source first: a source that cannot be read fails the item
    // without creating or truncating the destination.
    QScopedPointer<QIODevice> source;
    try {
        source.reset(openCopySource(from));
    } catch (const ArchiveException& e) {
        qCWarning(lcFileSystem, "Cannot open copy source '%s', code: %i, message: %s",
                  qUtf8Printable(from), int(e.code()), qUtf8Printable(e.message()));
    }
    if (!source)
        return kInvalidItem;
    // Copying a file onto itself would empty it before reading it.
    if (auto* file = qobject_cast<QFile*>(source.data())) {
        const QString sourcePath = QFileInfo(file->fileName()).canonicalFilePath();
        if (!sourcePath.isEmpty() && sourcePath == QFileInfo(destination).canonicalFilePath())
            return kInvalidItem;
    }

    QSharedPointer<QFile> target(temporaryType ? new AutoRemoveFile(destination) : new QFile(destination));
    if (!target->open(QIODevice::WriteOnly)) {
        // Nothing was written: an existing file there must not be removed
        // when this object goes.
        target->setFileName(QString());
        return kDestinationNotWritable;
    }

    try {
        copyDevice(source.data(), target.data(), 1048576);
    } catch (const ArchiveException& e) {
        // A full disk or a failing device: no half-written file is left.
        qCWarning(lcFileSystem, "Copy of '%s' to '%s' failed, code: %i, message: %s", qUtf8Printable(from),
                  qUtf8Printable(destination), int(e.code()), qUtf8Printable(e.message()));
        target->close();
        target->remove();
        return kDestinationNotWritable;
    }
    target->close();

    if (temporaryType)
        m_temporaryCopies.insert(registryKey, target);

    const QFileInfo written(destination);
    result.insert(QStringLiteral("filepath"), written.absoluteFilePath());
    result.insert(QStringLiteral("filename"), written.fileName());
    result.insert(QStringLiteral("filedir"), written.absolutePath());
    result.insert(QStringLiteral("size"), qint64(written.size()));
    return kCopied;
}
