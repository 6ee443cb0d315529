# Cross-build for 32-bit Windows (x86) with Debian's mingw-w64 (posix thread
# model, for std::mutex), statically linked so the .exe needs no DLLs.
# Wine is the cross-compiling emulator, as for x86-64, but running these
# tests needs Debian's wine32 (i386 architecture) and a kernel that executes
# 32-bit programs. The CI machines refuse 32-bit executables, and with wine32
# installed /usr/bin/wine starts every program through the 32-bit loader,
# which breaks the x86-64 tests there too; so CI builds this one only.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
find_program(FERRUX_WINE wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${FERRUX_WINE})
