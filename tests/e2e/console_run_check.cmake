# Checks console-run as the stability benchmark uses it: the program's report
# byte for byte on standard output, the time to the closing line on standard
# error, the program's exit status as its own.
#   cmake -DRUN=<emulator|console-run|program> -P console_run_check.cmake
# (RUN's parts separated by "|").
string(REPLACE "|" ";" run "${RUN}")
# Through a file, read as hexadecimal: CMake turns CR LF into LF in text.
set(output_file ${CMAKE_CURRENT_BINARY_DIR}/console-run-output.bin)
execute_process(COMMAND ${run} OUTPUT_FILE ${output_file} ERROR_VARIABLE errors RESULT_VARIABLE status
                TIMEOUT 60)
file(READ ${output_file} output HEX)

# The report's pattern over the bytes in hexadecimal, two digits a byte.
function(hex text out)
  string(HEX "${text}" bytes)
  set(${out} ${bytes} PARENT_SCOPE)
endfunction()
hex("\tcycles for 100*mov\r\n" mov)
hex("\tcycles for 100*and\r\n" and)
hex("\r\n" line_end)
hex("\r\n--- ok ---\r" closing)
set(figure "(2d)?(3[0-9])+")
# A banner may open the report; it holds no tab.
set(banner "(0[0-8a-f]|[1-9a-f][0-9a-f])*")
set(report "^${banner}${figure}${mov}${figure}${and}${line_end}${figure}${mov}${figure}${and}${line_end}")
string(APPEND report "${closing}${line_end}$")

set(problems "")
if(NOT status EQUAL 0)
  string(APPEND problems "exit status ${status}, not 0\n")
endif()
if(NOT output MATCHES "${report}")
  string(APPEND problems "standard output is not the report\n")
endif()
if(NOT errors MATCHES "^seconds-to-closing-line: [0-9]+\\.[0-9]+\n$")
  string(APPEND problems "standard error is not the one line seconds-to-closing-line: X\n")
endif()
if(problems)
  message(FATAL_ERROR "${problems}standard output, in hexadecimal:\n${output}\n"
                      "standard error:\n${errors}")
endif()
