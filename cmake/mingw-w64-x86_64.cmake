# Cross build for 64-bit Windows with MinGW-w64 (posix threads), run under Wine:
#   cmake -S . -B build/win -G Ninja --toolchain cmake/mingw-w64-x86_64.cmake
# Executables are linked statically, so no MinGW runtime DLL needs to ship beside qx410fw-cli.exe.
# Tests run through cmake/wine/wine-run.sh, which keeps a Wine prefix of its own in the build tree
# (<build>/wine) whose COM ports never reach the machine's serial devices.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QX_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QX_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine/wine-run.sh;${CMAKE_BINARY_DIR}/wine"
    CACHE STRING "Runs the Windows test programs under Wine, in the build tree's prefix")
