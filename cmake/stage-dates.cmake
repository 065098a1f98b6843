# Run by CPack on what it has staged, before it packs: every file and
# directory dated SOURCE_DATE_EPOCH, so that no package takes a date from
# the checkout (rpmbuild only clamps dates later than that).
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND find ${CPACK_TEMPORARY_DIRECTORY} -exec touch -h -d @$ENV{SOURCE_DATE_EPOCH} {} +
                  COMMAND_ERROR_IS_FATAL ANY)
endif()
