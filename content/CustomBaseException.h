#pragma once

#include <QException>
#include <QString>

// Base of the shell's own exceptions: a numeric code and a message. It keeps
// QException's contract (raise() throws a copy, clone() returns a heap copy)
// so that it can cross QtConcurrent boundaries.
class CustomBaseException : public QException
{
public:
    CustomBaseException(qint32 code, const QString& message);

    qint32 code() const { return m_code; }
    QString message() const { return m_message; }

    void raise() const override;
    CustomBaseException* clone() const override;

private:
    qint32 m_code;
    QString m_message;
};
