// The version string, compiled from the CMake project's version (QX_VERSION, set on this file only).
#include "common/version.h"

const char* ProgramVersion() {
    return QX_VERSION;
}
