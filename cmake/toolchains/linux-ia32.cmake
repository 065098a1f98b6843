# Linux IA-32 with the host compilers: -m32 for C, C++ and the assembler
# (GoogleTest has C parts), linked as a non-PIE executable.
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32 -fno-pie")
set(CMAKE_CXX_FLAGS_INIT "-m32 -fno-pie")
set(CMAKE_ASM_FLAGS_INIT "-m32 -fno-pie")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -no-pie")
set(CMAKE_POSITION_INDEPENDENT_CODE OFF)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(ZEROBENCH_GTEST_FROM_SOURCE ON CACHE BOOL "" FORCE)
