// The entry function's switch test.

#include "Startup.h"

#include <QStringList>
#include <QtTest>

class StartupTest : public QObject
{
    Q_OBJECT
private slots:
    void webSecuritySwitch_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("present");
        QTest::newRow("absent") << QStringList{QStringLiteral("/p"), QStringLiteral("--open-uri=x")} << false;
        QTest::newRow("last") << QStringList{QStringLiteral("/p"), QStringLiteral("--disable-web-security")} << true;
        QTest::newRow("capitals first")
            << QStringList{QStringLiteral("--DISABLE-WEB-SECURITY"), QStringLiteral("/p")} << true;
        QTest::newRow("mixed case middle")
            << QStringList{QStringLiteral("/p"), QStringLiteral("--Disable-Web-Security"), QStringLiteral("a")}
            << true;
        QTest::newRow("with value is not the switch")
            << QStringList{QStringLiteral("/p"), QStringLiteral("--disable-web-security=1")} << false;
        QTest::newRow("empty list") << QStringList{} << false;
    }

    void webSecuritySwitch()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, present);
        QCOMPARE(hasWebSecuritySwitch(arguments), present);
    }
};

QTEST_GUILESS_MAIN(StartupTest)
#include "StartupTest.moc"
