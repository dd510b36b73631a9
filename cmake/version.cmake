# Writes ${OUT} with the program version and the tree's git description; the
# file is rewritten only when its text changes, so a build that changes
# nothing rebuilds nothing.
execute_process(COMMAND git describe --always --dirty --tags
                WORKING_DIRECTORY ${SOURCE_DIR}
                OUTPUT_VARIABLE description OUTPUT_STRIP_TRAILING_WHITESPACE
                ERROR_QUIET RESULT_VARIABLE failed)
if(failed OR description STREQUAL "")
  set(description "unknown")
endif()
set(text "#define ORVANE_VERSION \"${VERSION}\"\n#define ORVANE_GIT_DESCRIPTION \"${description}\"\n")
if(EXISTS ${OUT})
  file(READ ${OUT} old)
endif()
if(NOT old STREQUAL text)
  file(WRITE ${OUT} "${text}")
endif()
