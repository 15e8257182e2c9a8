# Runs in cpack before it packs: CPack dates every file and archive member in the
# .deb from SOURCE_DATE_EPOCH when it is set, so setting it to the time of the commit
# being packaged makes every build of that commit give the same package. A value from
# the caller wins; outside a git checkout the clock dates the package.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git -C "${QZTAP_SOURCE_DIR}" log -1 --format=%ct
                  OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE git_failed ERROR_QUIET)
  if(NOT git_failed AND commit_time)
    set(ENV{SOURCE_DATE_EPOCH} "${commit_time}")
  endif()
endif()
