# debian/changelog is the one changelog: the packages' changelog.gz, and in
# RPM's form the .rpm's %changelog (CPack's, and the RPM build file's, which
# cmake/versions.cmake holds to it).

# The version of its top entry, or "" if its first line is not an entry's.
function(zerobench_changelog_version changelog out)
  file(STRINGS ${changelog} first LIMIT_COUNT 1)
  set(version "")
  if(first MATCHES "^[a-z0-9.+-]+ \\(([^)]+)\\)")
    set(version ${CMAKE_MATCH_1})
  endif()
  set(${out} "${version}" PARENT_SCOPE)
endfunction()

# Its entries in RPM's form: a heading per entry with its date, name,
# address and version, then its items.
function(zerobench_rpm_changelog changelog out)
  file(STRINGS ${changelog} lines)
  set(items "")
  set(text "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^[a-z0-9.+-]+ \\(([^)]+)\\)")
      set(version ${CMAKE_MATCH_1})
    elseif(line MATCHES "^  [*] (.*)")
      string(APPEND items "- ${CMAKE_MATCH_1}\n")
    elseif(line MATCHES "^    (.*)")
      string(APPEND items "  ${CMAKE_MATCH_1}\n")
    elseif(line MATCHES "^ -- (.*>)  ([A-Z][a-z][a-z]), 0?([0-9]+) ([A-Z][a-z][a-z]) ([0-9]+)")
      string(APPEND text "* ${CMAKE_MATCH_2} ${CMAKE_MATCH_4} ${CMAKE_MATCH_3} ${CMAKE_MATCH_5}"
                         " ${CMAKE_MATCH_1} - ${version}-1\n${items}\n")
      set(items "")
    endif()
  endforeach()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()
