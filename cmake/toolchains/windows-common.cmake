# What the two Windows toolchains share. The including file sets
# ZEROBENCH_MINGW_TRIPLET (i686-w64-mingw32 or x86_64-w64-mingw32) and
# CMAKE_SYSTEM_PROCESSOR first.
#
# The -posix compilers: the -win32 thread model has no std::mutex, which
# GoogleTest needs. Everything links -static, so the program and the tests
# import only KERNEL32.dll and msvcrt.dll (no libstdc++, libgcc or
# winpthread DLL beside the .exe).
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${ZEROBENCH_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZEROBENCH_MINGW_TRIPLET}-g++-posix)
set(CMAKE_ASM_COMPILER ${ZEROBENCH_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_RC_COMPILER ${ZEROBENCH_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZEROBENCH_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# --no-insert-timestamp: a link time in the PE header (and the checksum over
# it) would make every build of the same source differ.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--no-insert-timestamp")

# The installed GoogleTest is built for the host: build it for the target.
set(ZEROBENCH_GTEST_FROM_SOURCE ON CACHE BOOL "" FORCE)

# Every test .exe runs under Wine through windows-wine-run.sh, in a prefix of
# the build directory's own (created on the first run, 12-16 s).
# ZEROBENCH_WINE_END ends that prefix's server once the tests are done.
set(CMAKE_CROSSCOMPILING_EMULATOR
    /bin/sh ${CMAKE_CURRENT_LIST_DIR}/windows-wine-run.sh ${CMAKE_BINARY_DIR}/wineprefix)
set(ZEROBENCH_WINE_END ${CMAKE_CROSSCOMPILING_EMULATOR} --end)
