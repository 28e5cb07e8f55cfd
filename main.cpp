#include "Startup.h"

int main(int argc, char** argv)
{
    return shellEntry(argc, argv);
}
