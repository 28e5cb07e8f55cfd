#include "CustomBaseException.h"

CustomBaseException::CustomBaseException(qint32 code, const QString& message)
    : m_code(code), m_message(message)
{
}

void CustomBaseException::raise() const
{
    throw *this;
}

CustomBaseException* CustomBaseException::clone() const
{
    return new CustomBaseException(*this);
}
