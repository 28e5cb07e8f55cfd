// Helper for the store's crash test: writes to a store until it is killed.
//
//   storage-crash-helper <file> seed <count>
//       saves <count> items "seed-<i>" -> "value-<i>" in one batch and exits.
//   storage-crash-helper <file> flood <batchSize>
//       saves batches of <batchSize> items "batch-<n>-<i>" forever, printing
//       "begin <n>" before and "done <n>" after each batch.
#include "Storage.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4)
        return 2;
    const QString mode = args.at(2);
    const int count = args.at(3).toInt();

    Storage storage;
    if (!storage.open(args.at(1)))
        return 3;
    bool ok = false;
    QObject::connect(&storage, &Storage::invokeJSCall, [&ok](const QString& name, const QVariantMap&) {
        ok = name == QLatin1String("saveDBItemsDone");
    });

    const QString filler = QString(200, QLatin1Char('x'));
    if (mode == QLatin1String("seed")) {
        QVariantMap items;
        for (int i = 0; i < count; ++i)
            items.insert(QStringLiteral("seed-%1").arg(i), QStringLiteral("value-%1").arg(i));
        storage.saveDBItems(QStringLiteral("seed"), items);
        return ok ? 0 : 1;
    }
    if (mode != QLatin1String("flood"))
        return 2;
    for (int batch = 0;; ++batch) {
        QVariantMap items;
        for (int i = 0; i < count; ++i)
            items.insert(QStringLiteral("batch-%1-%2").arg(batch).arg(i),
                         QStringLiteral("%1-%2-").arg(batch).arg(i) + filler);
        std::printf("begin %d\n", batch);
        std::fflush(stdout);
        storage.saveDBItems(QStringLiteral("flood"), items);
        if (!ok)
            return 1;
        std::printf("done %d\n", batch);
        std::fflush(stdout);
    }
}
