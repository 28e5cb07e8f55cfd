#pragma once

// A small course tree on disk, packed into every kind of content archive the
// packer writes, for the archive reader tests.

#include "ContentPacker.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextStream>

struct CourseFixture
{
    // Entry name -> content.
    QMap<QString, QByteArray> files;

    static QByteArray randomBytes(int size, quint32 seed)
    {
        QRandomGenerator generator(seed);
        QByteArray data(size, Qt::Uninitialized);
        for (int i = 0; i < size; ++i)
            data[i] = char(generator.bounded(256));
        return data;
    }

    // extraSmallFiles adds many little files, for lookups over a larger index.
    void fill(int extraSmallFiles = 0)
    {
        files.insert(QStringLiteral("wrapper/wrapper/index.html"),
                     "<!doctype html><html><body>Course</body></html>\n");
        files.insert(QStringLiteral("wrapper/wrapper/empty.txt"), QByteArray());
        files.insert(QStringLiteral("wrapper/wrapper/js/app.js"),
                     QByteArray("console.log('step');\n").repeated(5000));
        files.insert(QStringLiteral("wrapper/media/clip.bin"), randomBytes(300 * 1024 + 17, 7));
        files.insert(QStringLiteral(u"wrapper/média/ünïcode 名前.txt"), QStringLiteral(u"Grüße 世界").toUtf8());
        files.insert(QStringLiteral(".hidden"), "dot file");
        for (int i = 0; i < extraSmallFiles; ++i)
            files.insert(QStringLiteral("wrapper/pages/page%1.html").arg(i, 4, 10, QLatin1Char('0')),
                         QByteArray("<p>page ") + QByteArray::number(i) + "</p>" + randomBytes(i % 300, quint32(i)));
    }

    bool write(const QString& root) const
    {
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            const QString path = QDir(root).filePath(it.key());
            QDir().mkpath(QFileInfo(path).absolutePath());
            QFile file(path);
            if (!file.open(QIODevice::WriteOnly) || file.write(it.value()) != it.value().size())
                return false;
        }
        return true;
    }
};

// Writes an INI configuration with the given keys in group "wrapper".
inline QString writeWrapperConfig(const QString& path, const QMap<QString, QString>& values)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QString();
    QTextStream out(&file);
    out << "[wrapper]\n";
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        out << it.key() << '=' << it.value() << '\n';
    return path;
}
