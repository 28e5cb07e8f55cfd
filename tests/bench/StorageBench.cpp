// Key-value store benchmark: saveDBItems of 10,000 items, loadDBItems of the
// 10,000 keys and getDBKeys over them, each against the sqlite3 command line
// doing the same inserts (one transaction) and selects on the same stored
// keys and cipher texts. Prints the median of several rounds and the ratios.
//
//   build/tests/bench/bench-storage [rounds]
#include "Storage.h"
#include "ValueCipher.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

constexpr int ItemCount = 10000;

double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

QString quoted(const QString& text)
{
    QString out = text;
    out.replace(QLatin1Char('\''), QLatin1String("''"));
    return QLatin1Char('\'') + out + QLatin1Char('\'');
}

// Runs the sqlite3 command line on `file` with `script` as its input and
// returns the wall time in milliseconds (process start included), or -1.
double runCli(const QString& file, const QString& scriptPath, int* outputLines)
{
    QProcess cli;
    cli.setStandardInputFile(scriptPath);
    QElapsedTimer timer;
    timer.start();
    cli.start(QStringLiteral("sqlite3"), {file});
    if (!cli.waitForFinished(120000) || cli.exitCode() != 0) {
        std::fprintf(stderr, "sqlite3 failed: %s\n", cli.readAllStandardError().constData());
        return -1;
    }
    const double ms = timer.nsecsElapsed() / 1e6;
    if (outputLines)
        *outputLines = cli.readAllStandardOutput().count('\n');
    return ms;
}

void writeFile(const QString& path, const QString& text)
{
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(text.toUtf8());
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? qMax(1, atoi(argv[1])) : 5;
    QTemporaryDir dir;

    QVariantMap items;
    QStringList keys;
    for (int i = 0; i < ItemCount; ++i) {
        const QString key = QStringLiteral("lesson-%1/answer").arg(i, 5, 10, QLatin1Char('0'));
        items.insert(key, QStringLiteral("the learner's answer number %1, with some text around it").arg(i));
        keys.append(key);
    }

    // What the store writes, for the command line's statements.
    const ValueCipher cipher(ValueCipher::storeKey());
    QString insertScript = QStringLiteral(
        "BEGIN;\ncreate table if not exists stored_values(key text primary key, value text);\n");
    QStringList storedKeys;
    for (auto it = items.constBegin(); it != items.constEnd(); ++it) {
        const QString key = Storage::shiftKey(it.key());
        storedKeys.append(quoted(key));
        insertScript += QStringLiteral("replace into stored_values (key, value) values (%1, %2);\n")
                            .arg(quoted(key), quoted(cipher.encryptText(it.value().toString())));
    }
    insertScript += QStringLiteral("COMMIT;\n");
    const QString insertPath = dir.filePath(QStringLiteral("insert.sql"));
    const QString selectPath = dir.filePath(QStringLiteral("select.sql"));
    const QString likePath = dir.filePath(QStringLiteral("like.sql"));
    writeFile(insertPath, insertScript);
    writeFile(selectPath, QStringLiteral("select key, value from stored_values where key IN (%1);\n")
                              .arg(storedKeys.join(QLatin1String(", "))));
    writeFile(likePath, QStringLiteral("select key from stored_values where key LIKE %1;\n")
                            .arg(quoted(QLatin1Char('%') + Storage::shiftKey(QStringLiteral("lesson-")) + QLatin1Char('%'))));

    QVector<double> save, load, list, cliSave, cliLoad, cliList, encipher;
    for (int round = 0; round < rounds; ++round) {
        const QString storeFile = dir.filePath(QStringLiteral("store-%1").arg(round));
        const QString cliFile = dir.filePath(QStringLiteral("cli-%1").arg(round));

        Storage storage;
        if (!storage.open(storeFile))
            return 1;
        QString lastName;
        int answered = 0;
        QObject::connect(&storage, &Storage::invokeJSCall, &storage,
                         [&](const QString& name, const QVariantMap& data) {
                             lastName = name;
                             const QVariant payload = data.value(QStringLiteral("data"));
                             answered = payload.type() == QVariant::Map ? payload.toMap().size()
                                                                        : payload.toStringList().size();
                         },
                         Qt::DirectConnection);

        QElapsedTimer timer;
        timer.start();
        storage.startSaveDBItems(QStringLiteral("save"), items).waitForFinished();
        save.append(timer.nsecsElapsed() / 1e6);
        if (lastName != QLatin1String("saveDBItemsDone"))
            return 2;

        timer.start();
        storage.startLoadDBItems(QStringLiteral("load"), keys).waitForFinished();
        load.append(timer.nsecsElapsed() / 1e6);
        if (answered != ItemCount)
            return 3;

        timer.start();
        storage.startGetDBKeys(QStringLiteral("keys"), QStringLiteral("lesson-")).waitForFinished();
        list.append(timer.nsecsElapsed() / 1e6);
        if (answered != ItemCount)
            return 4;

        // The share of saveDBItems that is enciphering, which the command line
        // does not do (its statements carry the finished cipher texts).
        timer.start();
        for (auto it = items.constBegin(); it != items.constEnd(); ++it)
            cipher.encryptText(it.value().toString());
        encipher.append(timer.nsecsElapsed() / 1e6);

        int lines = 0;
        cliSave.append(runCli(cliFile, insertPath, nullptr));
        cliLoad.append(runCli(cliFile, selectPath, &lines));
        if (lines != ItemCount)
            return 5;
        cliList.append(runCli(cliFile, likePath, &lines));
        if (lines != ItemCount)
            return 6;
    }

    std::printf("%d items, median of %d rounds (ms)      store   sqlite3   ratio\n", ItemCount, rounds);
    const auto line = [](const char* what, double ours, double theirs) {
        std::printf("%-42s %8.1f %9.1f %7.2f\n", what, ours, theirs, ours / theirs);
    };
    line("saveDBItems vs inserts in one transaction", median(save), median(cliSave));
    line("loadDBItems vs select ... IN (...)", median(load), median(cliLoad));
    line("getDBKeys vs select ... LIKE", median(list), median(cliList));
    std::printf("of saveDBItems, enciphering the values alone: %.1f ms\n", median(encipher));
    return 0;
}
