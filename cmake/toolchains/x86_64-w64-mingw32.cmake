# Cross-build for 64-bit Windows; its tests run under Wine.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(FERRUX_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
