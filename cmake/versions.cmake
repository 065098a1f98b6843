# One version and one changelog: project()'s version in CMakeLists.txt, the
# top entry of debian/changelog and the RPM build file's Version agree, and the
# RPM build file's %changelog is debian/changelog in RPM's form. Each disagreement is
# one line starting with "versions: ", and the script fails.
#   cmake -P cmake/versions.cmake
cmake_minimum_required(VERSION 3.25)
get_filename_component(root ${CMAKE_CURRENT_LIST_DIR} DIRECTORY)
include(${CMAKE_CURRENT_LIST_DIR}/changelog.cmake)

set(failed FALSE)
function(disagree text)
  message(NOTICE "versions: ${text}")
  set(failed TRUE PARENT_SCOPE)
endfunction()
set(rpm_file zerobench.spec)  # the RPM build file, named as rpmbuild and rpmlint ask
foreach(file CMakeLists.txt debian/changelog ${rpm_file})
  if(NOT EXISTS ${root}/${file})
    message(NOTICE "versions: ${root}/${file} is missing or cannot be read")
    message(FATAL_ERROR "versions: nothing to compare")
  endif()
endforeach()

file(READ ${root}/CMakeLists.txt cmakelists)
string(REGEX MATCH "project\\(zerobench VERSION ([^ )]+)" _ "${cmakelists}")
set(version ${CMAKE_MATCH_1})
zerobench_changelog_version(${root}/debian/changelog debian)
file(READ ${root}/${rpm_file} recipe)
string(REGEX MATCH "\nVersion:[ \t]*([^\n]*)" _ "${recipe}")
set(rpm ${CMAKE_MATCH_1})
if(NOT debian STREQUAL version)
  disagree("debian/changelog's top entry is version '${debian}', CMakeLists.txt's ${version}")
endif()
if(NOT rpm STREQUAL version)
  disagree("${rpm_file}'s Version is '${rpm}', CMakeLists.txt's ${version}")
endif()

# The RPM build file's %changelog is its last section.
zerobench_rpm_changelog(${root}/debian/changelog expected)
string(FIND "${recipe}" "\n%changelog\n" at)
if(at EQUAL -1)
  set(changelog "")
else()
  math(EXPR at "${at} + 12")
  string(SUBSTRING "${recipe}" ${at} -1 changelog)
endif()
string(STRIP "${changelog}" changelog)
string(STRIP "${expected}" expected)
if(NOT changelog STREQUAL expected)
  disagree("${rpm_file}'s %changelog is not debian/changelog's; it should read:\n${expected}")
endif()
if(failed)
  message(FATAL_ERROR "versions: the version or the changelog disagree")
endif()
