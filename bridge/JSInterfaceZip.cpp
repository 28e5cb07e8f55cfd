// The zip commands of the dispatcher. archiveUnzip runs on the extraction
// thread, whose context lives in its dynamic properties "uuid",
// "file_path", "target_path" and "abort_uuid"; the entry-level commands run
// on the global thread pool and answer through onInvokeJSCall.
#include "JSInterface.h"

#include "PathsManager.h"

#include <QDir>

namespace {

const char* const UuidProperty = "uuid";
const char* const FilePathProperty = "file_path";
const char* const TargetPathProperty = "target_path";
const char* const AbortUuidProperty = "abort_uuid";

} // namespace

QVariantMap JSInterface::extractionContext(const QString& uuidProperty) const
{
    QVariantMap data;
    data.insert(QStringLiteral("uuid"), m_extractionThread.property(uuidProperty.toLatin1().constData()).toString());
    data.insert(QStringLiteral("file_path"), m_extractionThread.property(FilePathProperty).toString());
    data.insert(QStringLiteral("target_path"), m_extractionThread.property(TargetPathProperty).toString());
    return data;
}

void JSInterface::archiveUnzip(QString uuid, QString relFilePath, QString targetPath)
{
    const QString contents = contentsPath();
    if (m_extractionThread.isRunning()) {
        QVariantMap data;
        data.insert(QStringLiteral("file_path"), relFilePath);
        data.insert(QStringLiteral("target_path"), targetPath);
        data.insert(QStringLiteral("uuid"), uuid);
        data.insert(QStringLiteral("code"), 603);
        emitEvent(QStringLiteral("archiveUnzipError"), data);
        return;
    }
    m_extractionThread.setProperty(FilePathProperty, relFilePath);
    m_extractionThread.setProperty(TargetPathProperty, targetPath);
    m_extractionThread.setProperty(UuidProperty, uuid);
    // The contents directory itself may be the target, never something
    // above it.
    m_extractionThread.start(contents + relFilePath, contents + targetPath, QDir(contents).absolutePath());
}

void JSInterface::abortArchiveUnzip(QString uuid)
{
    m_extractionThread.setProperty(AbortUuidProperty, uuid);
    m_extractionThread.abort();
}

void JSInterface::_zipProgress(int total, int progress)
{
    QVariantMap data = extractionContext(QLatin1String(UuidProperty));
    data.insert(QStringLiteral("total"), total);
    data.insert(QStringLiteral("progress"), progress);
    emitEvent(QStringLiteral("archiveUnzipProgress"), data);
}

void JSInterface::_zipError(ZipExtractionThread::ExtractionError code)
{
    QVariantMap data = extractionContext(QLatin1String(UuidProperty));
    data.insert(QStringLiteral("code"), int(code));
    emitEvent(QStringLiteral("archiveUnzipError"), data);
}

void JSInterface::_zipFinish(QString path)
{
    QVariantMap data = extractionContext(QLatin1String(UuidProperty));
    // The contents directory itself comes out as "/.".
    const QString relative = QDir(contentsPath()).relativeFilePath(path);
    data.insert(QStringLiteral("extracted_path"), QLatin1Char('/') + relative);
    emitEvent(QStringLiteral("archiveUnzipFinish"), data);
}

void JSInterface::_zipAbort()
{
    emitEvent(QStringLiteral("archiveUnzipAbort"), extractionContext(QLatin1String(AbortUuidProperty)));
}

void JSInterface::zipAddFiles(QString uuid, QString archivePath, QString mode, QVariantMap files)
{
    m_zip.runOnPool(&Zip::zipAddFiles, uuid, archivePath, mode, files);
}

void JSInterface::zipReadFiles(QString uuid, QString archivePath, QVariantMap filesPaths)
{
    m_zip.runOnPool(&Zip::zipReadFiles, uuid, archivePath, filesPaths);
}

void JSInterface::zipCompressDirectory(QString uuid, QString archivePath, QString dirPath)
{
    m_zip.runOnPool(&Zip::zipCompressDirectory, uuid, archivePath, dirPath);
}

void JSInterface::zipListContents(QString uuid, QString archivePath)
{
    m_zip.runOnPool(&Zip::zipListContents, uuid, archivePath);
}

void JSInterface::zipExtractFiles(QString uuid, QString archivePath, QVariantMap paths)
{
    m_zip.runOnPool(&Zip::zipExtractFiles, uuid, archivePath, paths);
}
