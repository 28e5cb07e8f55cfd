// Benchmark of the content archive readers and the stored-value cipher.
//
// Builds a course-sized tree in a temporary directory (a few thousand files,
// some tens of MB, one 50 MB media file), packs it in every archive format,
// then reads every entry through openFile() devices and, as the baseline in
// the same run, the same bytes from the plain files. Prints the throughput of
// each and its ratio to the plain read (1.0 = as fast as plain files).
// Each measurement is the best of several rounds, all with a warm page cache.
//
// Also prints ValueCipher encrypt/decrypt throughput for 1 KB and 1 MB values
// against qCompress at level 9 of the same value, the step that dominates it.
//
//   bench-content-archives [--rounds N] [--small N] [--only TEXT]
//
// --only measures just the archive kinds whose label contains TEXT, and
// skips the cipher.

#include "ArchiveAccessManager.h"
#include "ContentPacker.h"
#include "SettingsManager.h"
#include "ValueCipher.h"
#include "ZidOziArchiveManager.h"
#include "ZipArchiveAccessManager.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextStream>
#include <cstdio>
#include <functional>
#include <memory>

namespace {

constexpr qint64 kChunk = 1048576;

QByteArray randomBytes(qint64 size, QRandomGenerator& generator)
{
    QByteArray data(int(size), Qt::Uninitialized);
    generator.fillRange(reinterpret_cast<quint32*>(data.data()), int(size / 4));
    for (qint64 i = size / 4 * 4; i < size; ++i)
        data[int(i)] = char(generator.bounded(256));
    return data;
}

// Text that compresses like course pages and scripts do.
QByteArray pageText(int size, QRandomGenerator& generator)
{
    static const char* words[] = {"<div class=\"step\">", "function", "return", "course", "lesson",
                                  "</div>\n", "var ", "answer", "=", "if (", ") {\n", "}\n", "<p>",
                                  "</p>\n", "question", "media", "0", "1", "2", "3", "quiz", "'", ";\n"};
    QByteArray data;
    data.reserve(size + 32);
    while (data.size() < size) {
        data += words[generator.bounded(int(sizeof(words) / sizeof(words[0])))];
        data += ' ';
    }
    data.truncate(size);
    return data;
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

// Reads a device to its end in chunks of kChunk bytes, as copyDevice does.
qint64 drain(QIODevice* device, QByteArray& buffer)
{
    qint64 total = 0;
    qint64 got = 0;
    while ((got = device->read(buffer.data(), kChunk)) > 0)
        total += got;
    return got < 0 ? -1 : total;
}

struct Timing {
    double first; // the first round: e.g. zidozi verifies every CRC then
    double best;  // best of all rounds
};

Timing measure(int rounds, const std::function<qint64()>& run, qint64 expectedBytes)
{
    Timing timing{0, 1e99};
    for (int i = 0; i < rounds; ++i) {
        QElapsedTimer timer;
        timer.start();
        const qint64 bytes = run();
        const double seconds = double(timer.nsecsElapsed()) / 1e9;
        if (bytes != expectedBytes) {
            std::fprintf(stderr, "read %lld bytes, expected %lld\n", (long long)bytes, (long long)expectedBytes);
            std::exit(1);
        }
        if (i == 0)
            timing.first = seconds;
        timing.best = qMin(timing.best, seconds);
    }
    return timing;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    int rounds = 3;
    int smallFiles = 2600;
    QString only;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--rounds"))
            rounds = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1String("--small"))
            smallFiles = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1String("--only"))
            only = args.at(i + 1);
    }

    QTemporaryDir dir;
    const QString course = dir.filePath(QStringLiteral("course"));
    QRandomGenerator generator(20240611);
    qint64 totalBytes = 0;
    int fileCount = 0;
    auto add = [&](const QString& name, const QByteArray& data) {
        if (!writeFile(QDir(course).filePath(name), data)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(name));
            std::exit(1);
        }
        totalBytes += data.size();
        ++fileCount;
    };
    for (int i = 0; i < smallFiles; ++i)
        add(QStringLiteral("wrapper/wrapper/unit%1/page%2.%3")
                .arg(i / 100)
                .arg(i)
                .arg(i % 3 == 0 ? QStringLiteral("js") : QStringLiteral("html")),
            pageText(500 + int(generator.bounded(15000)), generator));
    for (int i = 0; i < 300; ++i)
        add(QStringLiteral("wrapper/wrapper/images/img%1.png").arg(i), randomBytes(20000 + generator.bounded(100000), generator));
    add(QStringLiteral("wrapper/media/lecture.mp4"), randomBytes(50 * 1024 * 1024, generator));
    const QStringList names = ContentPacker::entryNames(course);

    std::printf("course: %d files, %.1f MB (one 50 MB media file); best of %d rounds\n\n", fileCount,
                double(totalBytes) / 1048576.0, rounds);

    struct Kind {
        const char* label;
        ContentPacker::Format format;
        ContentPacker::Compression compression;
    };
    const Kind kinds[] = {
        {"zip stored", ContentPacker::ZipPlain, ContentPacker::Stored},
        {"zip deflated", ContentPacker::ZipPlain, ContentPacker::Deflated},
        {"zip encrypted (deflated)", ContentPacker::ZipEncrypted, ContentPacker::Deflated},
        {"zip encrypted stored", ContentPacker::ZipEncrypted, ContentPacker::Stored},
        {"zidozi stored", ContentPacker::ZidOzi, ContentPacker::Stored},
        {"zidozi deflated", ContentPacker::ZidOzi, ContentPacker::Deflated},
    };

    QFile plainConfig(dir.filePath(QStringLiteral("plain.config")));
    plainConfig.open(QIODevice::WriteOnly);
    plainConfig.write("[wrapper]\nencrypted=false\n");
    plainConfig.close();
    SettingsManager plainSettings(plainConfig.fileName());
    SettingsManager encryptedSettings(dir.filePath(QStringLiteral("absent.config")));

    QByteArray buffer(int(kChunk), Qt::Uninitialized);
    const Timing plain = measure(rounds, [&] {
        qint64 total = 0;
        for (const QString& name : names) {
            QFile file(QDir(course).filePath(name));
            if (!file.open(QIODevice::ReadOnly))
                return qint64(-1);
            total += drain(&file, buffer);
        }
        return total;
    }, totalBytes);
    const double mb = double(totalBytes) / 1048576.0;
    std::printf("%-26s %9s %10s %7s   %s\n", "", "best", "", "ratio", "first round: time, ratio");
    std::printf("%-26s %8.3fs %7.0f MB/s %7.2f   %.3fs %.2f\n", "plain files", plain.best, mb / plain.best, 1.0,
                plain.first, 1.0);

    for (const Kind& kind : kinds) {
        if (!QString::fromLatin1(kind.label).contains(only))
            continue;
        const QString archive = dir.filePath(QString::fromLatin1(kind.label).replace(QLatin1Char(' '), QLatin1Char('-')));
        ContentPacker packer;
        if (!packer.pack(course, archive, kind.format, kind.compression)) {
            std::fprintf(stderr, "packing failed: %s\n", qPrintable(packer.errorString()));
            return 1;
        }
        std::unique_ptr<ArchiveAccessManager> reader;
        if (kind.format == ContentPacker::ZidOzi)
            reader.reset(new ZidOziArchiveManager(archive));
        else
            reader.reset(new ZipArchiveAccessManager(
                archive, kind.format == ContentPacker::ZipEncrypted ? &encryptedSettings : &plainSettings));
        const Timing timing = measure(rounds, [&] {
            qint64 total = 0;
            for (const QString& name : names) {
                std::unique_ptr<QIODevice> device(reader->openFile(name));
                if (!device)
                    return qint64(-1);
                total += drain(device.get(), buffer);
            }
            return total;
        }, totalBytes);
        std::printf("%-26s %8.3fs %7.0f MB/s %7.2f   %.3fs %.2f   (archive %.1f MB)\n", kind.label, timing.best,
                    mb / timing.best, plain.best / timing.best, timing.first, plain.first / timing.first,
                    double(QFileInfo(archive).size()) / 1048576.0);
        QFile::remove(archive);
    }

    if (!only.isEmpty())
        return 0;
    std::printf("\nValueCipher (store key), baseline qCompress level 9 of the same value\n");
    const ValueCipher cipher(ValueCipher::storeKey());
    for (int size : {1024, 1048576}) {
        const QString value = QString::fromUtf8(pageText(size, generator));
        const int repeats = size == 1024 ? 20000 : 40;
        const QString encrypted = cipher.encryptText(value);
        if (cipher.decryptText(encrypted) != value) {
            std::fprintf(stderr, "cipher round trip failed\n");
            return 1;
        }
        auto measure = [&](const std::function<void()>& step) {
            double best = 1e99;
            for (int r = 0; r < rounds; ++r) {
                QElapsedTimer timer;
                timer.start();
                for (int i = 0; i < repeats; ++i)
                    step();
                best = qMin(best, double(timer.nsecsElapsed()) / 1e9);
            }
            return double(size) * repeats / 1048576.0 / best;
        };
        volatile int sink = 0;
        const QByteArray utf8 = value.toUtf8();
        const double baseline = measure([&] { sink = sink + qCompress(utf8, 9).size(); });
        const double encrypt = measure([&] { sink = sink + cipher.encryptText(value).size(); });
        const double decrypt = measure([&] { sink = sink + cipher.decryptText(encrypted).size(); });
        std::printf("  %7d B value: encryptText %8.1f MB/s (ratio %.2f)   decryptText %8.1f MB/s   qCompress %8.1f MB/s\n",
                    size, encrypt, encrypt / baseline, decrypt, baseline);
    }
    return 0;
}
