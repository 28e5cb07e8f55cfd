#pragma once

#include <QProcess>
#include <QString>
#include <QUrl>

// Starts tests/support/http_test_server.py on a free loopback port for the
// life of this object. The script prints its port first; see the script
// for the paths it serves.
class TestHttpServer
{
public:
    bool start()
    {
        const QString script = QString::fromLocal8Bit(qgetenv("DAVERI_SOURCE_DIR"))
            + QStringLiteral("/tests/support/http_test_server.py");
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral("python3"), {script});
        if (!m_process.waitForStarted(10000))
            return false;
        while (!m_process.canReadLine()) {
            if (!m_process.waitForReadyRead(10000))
                return false;
        }
        m_port = m_process.readLine().trimmed().toInt();
        return m_port > 0;
    }

    ~TestHttpServer()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }

    QUrl url(const QString& pathAndQuery) const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(pathAndQuery));
    }

    // The body every path serves: byte i is i % 251.
    static QByteArray body(int size)
    {
        QByteArray data(size, Qt::Uninitialized);
        for (int i = 0; i < size; ++i)
            data[i] = char(i % 251);
        return data;
    }

private:
    QProcess m_process;
    int m_port = 0;
};
