#include "AutoRemoveFile.h"

#include <QSharedPointer>
#include <QTemporaryDir>
#include <QtTest>

class AutoRemoveFileTest : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    void removedWhenLastHolderLetsGo_data()
    {
        QTest::addColumn<bool>("openAtRelease");
        QTest::newRow("closed") << false;
        QTest::newRow("still open for writing") << true;
    }
    void removedWhenLastHolderLetsGo()
    {
        QFETCH(bool, openAtRelease);
        const QString name = m_dir.filePath(QStringLiteral("copy.bin"));
        QSharedPointer<QFile> first(new AutoRemoveFile(name));
        QVERIFY(first->open(QIODevice::WriteOnly));
        QCOMPARE(first->write("media bytes"), qint64(11));
        if (!openAtRelease)
            first->close();

        QSharedPointer<QFile> second = first; // e.g. a registry of copies
        first.reset();
        QVERIFY(QFile::exists(name));
        second.reset();
        QVERIFY(!QFile::exists(name));
    }

    void missingFileIsHarmless()
    {
        const QString name = m_dir.filePath(QStringLiteral("never-written"));
        { AutoRemoveFile file(name); }
        QVERIFY(!QFile::exists(name));
    }
};

QTEST_GUILESS_MAIN(AutoRemoveFileTest)
#include "AutoRemoveFileTest.moc"
