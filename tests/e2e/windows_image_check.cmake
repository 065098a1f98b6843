# Checks what Windows will load: a console program (not a GUI one) of the
# expected kind (PE32 or PE32+), importing KERNEL32.dll and msvcrt.dll and no
# other DLL, so that it runs on a bare Windows with nothing beside the .exe.
#   cmake -DOBJDUMP=<objdump> -DIMAGE=<program.exe> -DMAGIC=<010b|020b> -P windows_image_check.cmake
execute_process(COMMAND ${OBJDUMP} -p ${IMAGE} OUTPUT_VARIABLE headers RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${IMAGE} failed")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]*" imports "${headers}")
list(TRANSFORM imports REPLACE "^DLL Name: " "")
list(SORT imports CASE INSENSITIVE)
set(problems "")
if(NOT imports STREQUAL "KERNEL32.dll;msvcrt.dll")
  string(APPEND problems "imports ${imports}, not KERNEL32.dll and msvcrt.dll\n")
endif()
if(NOT headers MATCHES "\nMagic[ \t]+${MAGIC}[ \t]")
  string(APPEND problems "not an image of magic ${MAGIC}\n")
endif()
if(NOT headers MATCHES "\nSubsystem[ \t]+00000003[ \t]")
  string(APPEND problems "not a console (Windows CUI) program\n")
endif()
if(problems)
  message(FATAL_ERROR "${IMAGE}:\n${problems}")
endif()
