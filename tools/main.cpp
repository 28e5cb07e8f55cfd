// daveri-pack: packs a course directory into a content archive, or lists an
// archive. See usage() below.

#include "ContentPacker.h"

#include <QCoreApplication>
#include <QStringList>
#include <cstdio>

namespace {

const char kUsage[] =
    "Usage:\n"
    "  daveri-pack [--format zip|zip-plain|zidozi] [--store] <directory> <archive>\n"
    "  daveri-pack --list <archive>\n"
    "\n"
    "Packs every file below <directory> into <archive> (replaced if it exists).\n"
    "Entry names are the paths relative to <directory>, e.g. wrapper/wrapper/index.html.\n"
    "\n"
    "  --format zip        zip, each entry encrypted with the content password (default);\n"
    "                      read with \"encrypted\" absent or true in group [wrapper]\n"
    "  --format zip-plain  zip without encryption; read with encrypted=false\n"
    "  --format zidozi     the zidozi format; read with archiveManager=zidozi\n"
    "  --store             store entries uncompressed (default: deflate)\n"
    "  --list              print one line per entry: name, size, stored size, method\n"
    "  --help              show this text\n";

int usageError(const char* message)
{
    std::fprintf(stderr, "daveri-pack: %s\n\n%s", message, kUsage);
    return 2;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments().mid(1);

    QString format = QStringLiteral("zip");
    bool store = false;
    bool list = false;
    QStringList positional;
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == QLatin1String("--format")) {
            if (++i >= args.size())
                return usageError("--format needs a value");
            format = args.at(i);
        } else if (arg.startsWith(QLatin1String("--format="))) {
            format = arg.mid(9);
        } else if (arg == QLatin1String("--store")) {
            store = true;
        } else if (arg == QLatin1String("--list")) {
            list = true;
        } else if (arg.startsWith(QLatin1String("--"))) {
            return usageError("unknown option");
        } else {
            positional.append(arg);
        }
    }

    ContentPacker packer;
    if (list) {
        if (positional.size() != 1)
            return usageError("--list takes one archive");
        QStringList lines;
        if (!packer.list(positional.first(), &lines)) {
            std::fprintf(stderr, "daveri-pack: %s\n", qUtf8Printable(packer.errorString()));
            return 1;
        }
        for (const QString& line : lines)
            std::printf("%s\n", qUtf8Printable(line));
        return 0;
    }

    if (positional.size() != 2)
        return usageError("expected <directory> <archive>");
    ContentPacker::Format kind;
    if (format == QLatin1String("zip"))
        kind = ContentPacker::ZipEncrypted;
    else if (format == QLatin1String("zip-plain"))
        kind = ContentPacker::ZipPlain;
    else if (format == QLatin1String("zidozi"))
        kind = ContentPacker::ZidOzi;
    else
        return usageError("unknown format");

    if (!packer.pack(positional.at(0), positional.at(1), kind,
                     store ? ContentPacker::Stored : ContentPacker::Deflated)) {
        std::fprintf(stderr, "daveri-pack: %s\n", qUtf8Printable(packer.errorString()));
        return 1;
    }
    return 0;
}
