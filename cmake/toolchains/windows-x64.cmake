# Windows x64: a PE32+ console program, built with mingw-w64, run under Wine
# (wine64).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(ZEROBENCH_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/windows-common.cmake)
