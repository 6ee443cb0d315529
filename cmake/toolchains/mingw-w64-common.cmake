# Shared part of the mingw-w64 toolchains: Debian's cross compilers for
# FERRUX_MINGW_TRIPLE with the posix thread model (for std::mutex),
# statically linked so the .exe needs no DLLs, and Wine as the
# cross-compiling emulator that runs the tests.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${FERRUX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${FERRUX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${FERRUX_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${FERRUX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
find_program(FERRUX_WINE wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${FERRUX_WINE})
