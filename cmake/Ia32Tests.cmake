# How the tests of an IA-32 build run where the kernel does not start IA-32
# programs (cmake/runs-ia32 tries one):
# - Linux IA-32: every test, the end-to-end runs of the program included,
#   under qemu-i386 (CMAKE_CROSSCOMPILING_EMULATOR, as Wine for Windows).
# - Windows IA-32: Wine's 32-bit side is itself an IA-32 program, so the tests
#   are built but only those that need no Wine are registered.
# Sets ZEROBENCH_IA32_EMULATED and ZEROBENCH_RUN_TESTS for tests/.
set(ZEROBENCH_IA32_EMULATED OFF)
set(ZEROBENCH_RUN_TESTS ON)
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
  return()
endif()
# 0: it starts them, 1: it refuses them, 2: the probe could not try.
execute_process(COMMAND ${PROJECT_SOURCE_DIR}/cmake/runs-ia32 ${CMAKE_BINARY_DIR}
                RESULT_VARIABLE probe OUTPUT_VARIABLE why OUTPUT_STRIP_TRAILING_WHITESPACE)
if(probe EQUAL 0)
  return()
elseif(NOT probe EQUAL 1)
  message(WARNING "${why}; the tests are set up as for a kernel that starts them")
  return()
endif()

if(WIN32)
  set(ZEROBENCH_RUN_TESTS OFF)
  message(STATUS "Tests that need Wine are left out: ${why}, and Wine's 32-bit side is one")
  return()
endif()
find_program(ZEROBENCH_QEMU_I386 NAMES qemu-i386 qemu-i386-static)
if(NOT ZEROBENCH_QEMU_I386)
  message(FATAL_ERROR "The tests need qemu-i386 here, as ${why}: apt-get install qemu-user")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${ZEROBENCH_QEMU_I386})
set(ZEROBENCH_IA32_EMULATED ON)
message(STATUS "Tests run under ${ZEROBENCH_QEMU_I386}: ${why}")
