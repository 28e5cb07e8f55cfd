#pragma once

#include <QFile>

// A file that deletes itself from disk when the object is destroyed. Always
// created on the heap and held through QSharedPointer<QFile>, so the file
// disappears when its last holder lets go.
class AutoRemoveFile : public QFile
{
    Q_OBJECT
public:
    using QFile::QFile;
    ~AutoRemoveFile() override;
};
