# Writes OUT with the source revision the build is made from (git describe). The file is only
# rewritten when the revision changes, so an unchanged tree rebuilds nothing.
execute_process(COMMAND git -C "${SOURCE_DIR}" describe --always --dirty --abbrev=12
                OUTPUT_VARIABLE revision OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
if(failed OR revision STREQUAL "")
  set(revision "unknown")
endif()
set(text "#pragma once\n#define VARNOX_SOURCE_REVISION \"${revision}\"\n")
set(old "")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUT}" "${text}")
endif()
