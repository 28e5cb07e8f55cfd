#pragma once

#include <QFile>
#include <QIODevice>
#include <memory>
#include <zlib.h>

class ZipDecrypter;

// A read-only, sequential device over one stored or deflated zip entry,
// optionally with traditional encryption. It opens its own handle on the
// archive file and reads the entry's data straight from there (through raw
// inflate for deflated entries), so devices are independent of the reader
// that made them and of each other, and can be read on any thread at once.
//
// The archive file is opened unbuffered; QIODevice's own buffer serves small
// reads, while reads of 16 KB and more go straight into the caller's buffer
// (stored content with no copy in between, deflated content inflated there).
//
// The CRC-32 is checked when the entry has been read to its end: a mismatch,
// like any other damage found on the way, fails that read (-1, with an
// errorString and zipError()) and every read after it.
class ZipEntryDevice : public QIODevice
{
    Q_OBJECT
public:
    // What the central directory says about the entry.
    struct Entry {
        qint64 headerOffset = -1; // of the local header, from the start of the archive file
        qint64 compressedSize = 0; // including the encryption header
        qint64 size = 0;
        quint32 crc = 0;
        quint32 dosDate = 0;
        quint16 method = 0; // 0 stored, Z_DEFLATED
        quint16 flags = 0;
        quint16 nameLength = 0;
        quint16 extraLength = 0; // the central one; the local one usually matches
    };

    // Code of an entry whose encryption does not match the password: the
    // entry is encrypted and no password was given, or the other way round,
    // or the password fails the encryption header's check byte.
    static constexpr int PasswordMismatch = -110;

    ZipEntryDevice(const QString& archivePath, const Entry& entry);
    ~ZipEntryDevice() override;

    // Opens the archive file, checks the entry's local header against the
    // directory, and checks the password (empty: none) against the entry.
    // Returns 0 when the device is open for reading at the start of the
    // content, otherwise the code the zip library gives for the same
    // failure: UNZ_OPENERROR, UNZ_ERRNO (unreadable local header),
    // UNZ_BADZIPFILE (local header does not match), UNZ_INTERNALERROR (no
    // room for the encryption header), or PasswordMismatch.
    int openEntry(const QByteArray& password);

    // 0 while every read succeeded; after a failed read UNZ_CRCERROR,
    // UNZ_ERRNO (the archive file ends or cannot be read) or Z_DATA_ERROR
    // (damaged deflate data).
    int zipError() const { return m_error; }

    bool isSequential() const override { return true; }
    qint64 size() const override { return m_entry.size; }
    qint64 pos() const override;
    qint64 bytesAvailable() const override;
    bool atEnd() const override;
    void close() override;

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 size) override;

private:
    int readLocalHeader();
    int checkPassword(const QByteArray& password);
    qint64 readStored(char* data, qint64 wanted);
    qint64 readDeflated(char* data, qint64 wanted);
    // Reads (and decrypts) up to maxSize bytes of the entry's data: what is
    // left in m_buffer first, then from the file.
    qint64 readInput(char* data, qint64 maxSize);
    qint64 fail(int code, const QString& message);
    void release();

    QFile m_file;
    const Entry m_entry;
    std::unique_ptr<ZipDecrypter> m_decrypter;
    qint64 m_inputLeft = 0; // bytes of entry data still in the file, not yet read
    qint64 m_pos = 0;       // bytes of content handed out
    quint32 m_crc = 0;
    int m_error = 0;
    bool m_verified = false;
    bool m_inflating = false;
    z_stream m_stream;
    // Entry data read from the file and not yet consumed (decrypted): the
    // part read with the local header, then inflate's input.
    std::unique_ptr<char[]> m_buffer;
    qint64 m_bufferSize = 0;
    qint64 m_bufferPos = 0;
    qint64 m_bufferEnd = 0;
};
