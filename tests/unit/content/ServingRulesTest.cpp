// The URL rules of content serving and the directory-mode media copies,
// without a web engine.

#include "ArchiveException.h"
#include "ContentUrlRules.h"
#include "ForwardRequestInterceptor.h"
#include "RequestInterceptor.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class ServingRulesTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString writeFile(const QString& name, const QByteArray& content)
    {
        const QString path = m_dir.filePath(name);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(content);
        return path;
    }

private slots:
    void schemeName()
    {
        QCOMPARE(RequestInterceptor::schemeName(RequestInterceptor::DazUzo), QByteArray("dazuzo"));
        QCOMPARE(ContentUrlRules::schemeName(), QByteArray("dazuzo"));
    }

    void interceptedRequests_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("scheme");
        QTest::addColumn<bool>("intercepted");
        QTest::newRow("GET file") << QByteArray("GET") << QStringLiteral("file") << true;
        QTest::newRow("HEAD dazuzo") << QByteArray("HEAD") << QStringLiteral("dazuzo") << true;
        QTest::newRow("POST file") << QByteArray("POST") << QStringLiteral("file") << false;
        QTest::newRow("PUT dazuzo") << QByteArray("PUT") << QStringLiteral("dazuzo") << false;
        QTest::newRow("lower-case get") << QByteArray("get") << QStringLiteral("file") << false;
        QTest::newRow("GET https") << QByteArray("GET") << QStringLiteral("https") << false;
        QTest::newRow("GET qrc") << QByteArray("GET") << QStringLiteral("qrc") << false;
    }

    void interceptedRequests()
    {
        QFETCH(QByteArray, method);
        QFETCH(QString, scheme);
        QFETCH(bool, intercepted);
        QCOMPARE(ContentUrlRules::isInterceptedRequest(method, scheme), intercepted);
    }

    void entryPaths_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("entry");
        QTest::newRow("start page") << QStringLiteral("/wrapper/wrapper/index.html")
                                    << QStringLiteral("wrapper/wrapper/index.html");
        QTest::newRow("drive letter") << QStringLiteral("/C:/data/x.png") << QStringLiteral("data/x.png");
        QTest::newRow("root") << QStringLiteral("/") << QString();
        QTest::newRow("spaces decoded") << QStringLiteral("/wrapper/wrapper/a b.js")
                                        << QStringLiteral("wrapper/wrapper/a b.js");
    }

    void entryPaths()
    {
        QFETCH(QString, path);
        QFETCH(QString, entry);
        QCOMPARE(ContentUrlRules::entryPathFromRequestPath(path), entry);
    }

    void archiveRedirects_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("redirect");
        QTest::newRow("start page")
            << QStringLiteral("file:///wrapper/wrapper/index.html?backend=desktop&platform=win")
            << QStringLiteral("dazuzo:/wrapper/wrapper/index.html?backend=desktop&platform=win");
        QTest::newRow("fragment dropped") << QStringLiteral("file:///wrapper/wrapper/a.html?x=1#part")
                                          << QStringLiteral("dazuzo:/wrapper/wrapper/a.html?x=1");
        QTest::newRow("empty query kept") << QStringLiteral("file:///wrapper/wrapper/a.js")
                                          << QStringLiteral("dazuzo:/wrapper/wrapper/a.js?");
    }

    void archiveRedirects()
    {
        QFETCH(QString, request);
        QFETCH(QString, redirect);
        const QUrl url(request);
        const QString entry = ContentUrlRules::entryPathFromRequestPath(url.path(QUrl::FullyDecoded));
        QCOMPARE(ContentUrlRules::archiveRedirect(entry, url).toString(), redirect);
    }

    void forwardedUrls_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("forwarded");
        QTest::newRow("start page with query")
            << QStringLiteral("file:///wrapper/wrapper/index.html?backend=desktop&platform=win")
            << QStringLiteral("file:///base/dir/wrapper/wrapper/index.html?backend=desktop&platform=win");
        QTest::newRow("drive letter dropped") << QStringLiteral("file:///C:/x/y.js")
                                              << QStringLiteral("file:///base/dir/x/y.js");
        QTest::newRow("fragment kept") << QStringLiteral("file:///a/b.html#top")
                                       << QStringLiteral("file:///base/dir/a/b.html#top");
    }

    void forwardedUrls()
    {
        QFETCH(QString, request);
        QFETCH(QString, forwarded);
        const QUrl url(request);
        QCOMPARE(ContentUrlRules::forwardedUrl(QStringLiteral("/base/dir"), url.toLocalFile(), url).toString(),
                 forwarded);
    }

    void mediaTypes()
    {
        QVERIFY(ContentUrlRules::isMediaMimeType(QStringLiteral("audio/mpeg")));
        QVERIFY(ContentUrlRules::isMediaMimeType(QStringLiteral("Video/mp4")));
        QVERIFY(!ContentUrlRules::isMediaMimeType(QStringLiteral("text/html")));
        QCOMPARE(ContentUrlRules::mediaMarker().toHex(), QByteArray("308dff1742688b4d"));
    }

    // Marked media become a copy without the marker, made once per path;
    // unmarked files and the copies themselves are never copied.
    void markedMediaCopies()
    {
        const QByteArray body = QByteArray(2000000, 'v') + "end";
        const QString marked = writeFile(QStringLiteral("base/wrapper/wrapper/clip.mp4"),
                                         ContentUrlRules::mediaMarker() + body);
        const QString plain = writeFile(QStringLiteral("base/wrapper/wrapper/plain.mp4"), "no marker here");
        ForwardRequestInterceptor interceptor(m_dir.filePath(QStringLiteral("base")));

        const QSharedPointer<QTemporaryFile> copy = interceptor.temporaryCopyFor(marked);
        QVERIFY(copy);
        QVERIFY(copy->fileName().startsWith(QDir::tempPath() + QLatin1Char('/')));
        QVERIFY(copy->fileName().endsWith(QLatin1String("-clip.mp4")));
        QFile copied(copy->fileName());
        QVERIFY(copied.open(QIODevice::ReadOnly));
        QCOMPARE(copied.readAll(), body);

        QCOMPARE(interceptor.temporaryCopyFor(marked), copy);
        QVERIFY(!interceptor.temporaryCopyFor(copy->fileName()));
        QVERIFY(!interceptor.temporaryCopyFor(plain));

        const QString name = copy->fileName();
        QVERIFY(QFileInfo::exists(name));
    }

    void unreadableMediaThrows()
    {
        try {
            ForwardRequestInterceptor::makeTemporaryCopy(m_dir.filePath(QStringLiteral("absent.mp4")));
            QFAIL("no exception");
        } catch (const ArchiveException& e) {
            QCOMPARE(e.code(), -101);
            QCOMPARE(e.message(), QStringLiteral("File '") + m_dir.filePath(QStringLiteral("absent.mp4"))
                                      + QStringLiteral("' cannot be read"));
        }
    }
};

QTEST_GUILESS_MAIN(ServingRulesTest)
#include "ServingRulesTest.moc"
