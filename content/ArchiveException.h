#pragma once

#include "CustomBaseException.h"

// Thrown for every failure of the content archive readers, of copyDevice and
// of the media copies made while serving content.
class ArchiveException : public CustomBaseException
{
public:
    using CustomBaseException::CustomBaseException;

    void raise() const override;
    ArchiveException* clone() const override;
};
