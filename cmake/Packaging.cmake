# CPack: an archive per target, named zerobench-VERSION-SYSTEM-ARCH, and on
# Linux a .deb and an .rpm per component. ./release builds them reproducibly.
#
# A component is one Debian and one RPM package: zerobench_component()
# names it, describes it and installs its papers; the install() rules that
# fill it give COMPONENT <name>.
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
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
    set(CPACK_RPM_PACKAGE_ARCHITECTURE x86_64)
  else()
    set(package_arch i386)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
    set(CPACK_RPM_PACKAGE_ARCHITECTURE i686)
  endif()
  set(CPACK_GENERATOR TGZ DEB RPM)
endif()

# The README beside the program: on Windows a plain-text one for Windows
# users, with the CRLF line ends that every Windows editor shows as lines.
if(WIN32)
  configure_file(${PROJECT_SOURCE_DIR}/docs/windows-readme.txt ${PROJECT_BINARY_DIR}/README.txt
                 @ONLY NEWLINE_STYLE CRLF)
  set(ZEROBENCH_README ${PROJECT_BINARY_DIR}/README.txt)
else()
  set(ZEROBENCH_README ${PROJECT_SOURCE_DIR}/README.md)
endif()

set(ZEROBENCH_CONTACT "zerobench developers <zerobench@example.org>")
set(ZEROBENCH_HOMEPAGE "https://zerobench.example.org/")

set(CPACK_PACKAGE_NAME zerobench)
set(CPACK_PACKAGE_VENDOR "zerobench developers")
set(CPACK_PACKAGE_CONTACT ${ZEROBENCH_CONTACT})
set(CPACK_PACKAGE_HOMEPAGE_URL ${ZEROBENCH_HOMEPAGE})
set(CPACK_PACKAGE_FILE_NAME zerobench-${PROJECT_VERSION}-${package_system}-${package_arch})
# Packages hold the program without its symbol tables (and without the
# debug information of the mingw-w64 run-time objects).
set(CPACK_STRIP_FILES ON)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/stage-dates.cmake)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack-project.cmake)
# One archive holds every component; each component is a package of its own.
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_RPM_COMPONENT_INSTALL ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_LICENSE MIT)
set(CPACK_RPM_PACKAGE_GROUP "Applications/System")
set(CPACK_RPM_PACKAGE_URL ${ZEROBENCH_HOMEPAGE})
# Directories of the file system, which no package owns.
list(APPEND CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
     /usr/share/man /usr/share/man/man1)
# The packages' dates are SOURCE_DATE_EPOCH, their build host is no
# machine's name, and they hold no /usr/lib/.build-id links: the same commit
# gives the same .rpm.
set(CPACK_RPM_SPEC_MORE_DEFINE "%define packager ${ZEROBENCH_CONTACT}
%define _buildhost reproducible
%define use_source_date_epoch_as_buildtime 1
%define clamp_mtime_to_source_date_epoch 1
%define _build_id_links none")

# The RPM changelog, from the Debian one (cmake/changelog.cmake).
include(${CMAKE_CURRENT_LIST_DIR}/changelog.cmake)
if(NOT WIN32)
  zerobench_rpm_changelog(${PROJECT_SOURCE_DIR}/debian/changelog rpm_changelog)
  file(WRITE ${PROJECT_BINARY_DIR}/rpm-changelog "${rpm_changelog}")
  set(CPACK_RPM_CHANGELOG_FILE ${PROJECT_BINARY_DIR}/rpm-changelog)
endif()

# A file compressed as Debian wants it (gzip -9n: no name, no time), built
# with the program.
function(zerobench_gzip source output)
  add_custom_command(OUTPUT ${output} COMMAND gzip -9nc ${source} > ${output}
                     DEPENDS ${source} VERBATIM)
  get_filename_component(name ${output} NAME)
  add_custom_target(gzip-${name} ALL DEPENDS ${output})
endfunction()

# A manual page (docs/PAGE.SECTION), installed gzipped with the component.
function(zerobench_man_page component page)
  if(WIN32)
    return()
  endif()
  get_filename_component(section ${page} LAST_EXT)
  string(SUBSTRING ${section} 1 -1 section)
  zerobench_gzip(${PROJECT_SOURCE_DIR}/docs/${page} ${PROJECT_BINARY_DIR}/${page}.gz)
  install(FILES ${PROJECT_BINARY_DIR}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
          COMPONENT ${component})
endfunction()

# A component and the package it becomes: its name, a synopsis of at most
# 79 characters starting with a capital, and a description wrapped at 72
# columns (the .rpm takes it as it is).
# On Linux it installs the package's papers: the machine-readable copyright
# and the changelog, under share/doc/PACKAGE as Debian wants them.
function(zerobench_component component package summary description)
  string(TOUPPER ${component} upper)
  set(CPACK_COMPONENTS_ALL ${CPACK_COMPONENTS_ALL} ${component} PARENT_SCOPE)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package} PARENT_SCOPE)
  set(CPACK_DEBIAN_${upper}_DESCRIPTION "${summary}\n${description}" PARENT_SCOPE)
  set(CPACK_RPM_${upper}_PACKAGE_NAME ${package} PARENT_SCOPE)
  set(CPACK_RPM_${upper}_PACKAGE_SUMMARY "${summary}" PARENT_SCOPE)
  set(CPACK_RPM_${upper}_PACKAGE_DESCRIPTION "${description}" PARENT_SCOPE)
  if(NOT WIN32)
    set(docdir ${CMAKE_INSTALL_DATADIR}/doc/${package})
    install(FILES ${PROJECT_SOURCE_DIR}/debian/copyright ${PROJECT_BINARY_DIR}/changelog.gz
            DESTINATION ${docdir} COMPONENT ${component})
  endif()
endfunction()
if(NOT WIN32)
  zerobench_gzip(${PROJECT_SOURCE_DIR}/debian/changelog ${PROJECT_BINARY_DIR}/changelog.gz)
endif()
