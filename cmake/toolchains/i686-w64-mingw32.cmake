# Cross-build for 32-bit Windows (x86). Running its tests needs Debian's
# wine32 (i386 architecture) and a kernel that executes 32-bit programs.
# The CI machines refuse 32-bit executables, and with wine32 installed
# /usr/bin/wine starts every program through the 32-bit loader, which
# breaks the x86-64 tests there too; so CI builds this one only.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(FERRUX_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
