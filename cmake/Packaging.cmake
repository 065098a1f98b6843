# CPack: one package per target, named zerobench-VERSION-SYSTEM-ARCH, and a
# .deb for Linux x86-64. ./release builds them reproducibly.
if(WIN32)
  set(package_system windows)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(package_arch x64)
  else()
    set(package_arch x86)
  endif()
  set(CPACK_GENERATOR ZIP)
else()
  set(package_system linux)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(package_arch x86_64)
    set(CPACK_GENERATOR TGZ DEB)
  else()
    set(package_arch i386)
    set(CPACK_GENERATOR TGZ)
  endif()
endif()

set(CPACK_PACKAGE_NAME zerobench)
set(CPACK_PACKAGE_VENDOR "the zerobench authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "x86 micro-benchmark: storing zero against AND-ing with zero, in time-stamp counter ticks")
set(CPACK_PACKAGE_FILE_NAME zerobench-${PROJECT_VERSION}-${package_system}-${package_arch})
# Packages hold the program without its symbol tables (and without the
# debug information of the mingw-w64 run-time objects).
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "the zerobench authors")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
