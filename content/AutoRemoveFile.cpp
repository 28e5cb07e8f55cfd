#include "AutoRemoveFile.h"

AutoRemoveFile::~AutoRemoveFile()
{
    remove();
}
