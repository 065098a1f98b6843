# Windows IA-32: a PE32 console program, built with mingw-w64, run under Wine
# (wine32:i386).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(ZEROBENCH_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/windows-common.cmake)
