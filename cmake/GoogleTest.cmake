# GoogleTest: the installed package for native builds; built from Debian's
# sources (/usr/src/googletest) for the other targets, whose compilers the
# installed libraries were not built with.
set(ZEROBENCH_GTEST_FROM_SOURCE OFF CACHE BOOL "Build GoogleTest from /usr/src/googletest")

if(ZEROBENCH_GTEST_FROM_SOURCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  # GoogleTest's own CMake names its targets GTest::gtest and GTest::gtest_main
  # too, as the installed package does.
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)
