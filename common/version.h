// The program's version, set once in the top-level CMake project and shown by every program's
// --version, the trace header, the package and the manual pages.
#pragma once

// "MAJOR.MINOR.PATCH", e.g. "0.1.0".
const char* ProgramVersion();
