#include "dvrcore.h"

const char* GetVersion()
{
    static const char kVersion[] = "21.12.2.0";
    return kVersion;
}
