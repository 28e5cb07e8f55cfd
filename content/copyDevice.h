#pragma once

#include <QtGlobal>

class QIODevice;

// Copies everything that can still be read from source (open for reading)
// into target (open for writing), chunkSize bytes at a time through one heap
// buffer, and returns the number of bytes written. Throws ArchiveException
// -100 "QFS cannot write into target device" when a write stores nothing.
// A short write is not retried: the copy goes on with the next chunk.
qint64 copyDevice(QIODevice* source, QIODevice* target, qint64 chunkSize);
