# Windows builds: the built program on a console of its own, under Wine,
# through the harness's console-run code (harness/), which zerobench-stats
# runs as console-run.exe.

add_executable(console_report_test console_report_test.cpp)
target_compile_definitions(console_report_test PRIVATE ZEROBENCH_PROGRAM="$<TARGET_FILE:zerobench>"
                                                       ZEROBENCH_CONSOLE_RUN="$<TARGET_FILE:console-run>")
target_link_libraries(console_report_test PRIVATE zerobench_console_run zerobench_test_support
                                                  zerobench_warnings GTest::gtest_main)
add_dependencies(console_report_test zerobench console-run)
if(ZEROBENCH_RUN_TESTS)
  gtest_discover_tests(console_report_test DISCOVERY_TIMEOUT 60 ${ZEROBENCH_DISCOVERY})
endif()

# The program as Windows loads it; read from its headers, no Wine needed.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(magic 020b)  # PE32+
else()
  set(magic 010b)  # PE32
endif()
add_test(NAME WindowsImage.IsAConsoleProgramImportingKernel32AndMsvcrtOnly
         COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DIMAGE=$<TARGET_FILE:zerobench>
                 -DMAGIC=${magic} -P ${CMAKE_CURRENT_SOURCE_DIR}/windows_image_check.cmake)

# The program's version information and manifest, read back through the
# Windows API.
add_executable(version_info_test version_info_test.cpp)
target_compile_definitions(version_info_test PRIVATE
  ZEROBENCH_PROGRAM="$<TARGET_FILE:zerobench>" ZEROBENCH_VERSION="${PROJECT_VERSION}"
  ZEROBENCH_VERSION_MAJOR=${PROJECT_VERSION_MAJOR} ZEROBENCH_VERSION_MINOR=${PROJECT_VERSION_MINOR}
  ZEROBENCH_VERSION_PATCH=${PROJECT_VERSION_PATCH})
target_link_libraries(version_info_test PRIVATE zerobench_console_run zerobench_warnings
                                                GTest::gtest_main version)
add_dependencies(version_info_test zerobench)
if(ZEROBENCH_RUN_TESTS)
  gtest_discover_tests(version_info_test DISCOVERY_TIMEOUT 60 ${ZEROBENCH_DISCOVERY})
endif()
