# Read by cpack before it packs: every timestamp in the package, and the changelog's date, is
# SOURCE_DATE_EPOCH when the caller sets it (as reproducible-builds tooling does), else the time of
# the last commit, so that one commit packs to the same bytes whenever and wherever it is packed.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(
    COMMAND git -C "${CPACK_QUILLET_SOURCE_DIR}" log -1 --format=%ct
    OUTPUT_VARIABLE epoch
    OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET
    RESULT_VARIABLE failed)
  if(failed OR NOT epoch MATCHES "^[0-9]+$")
    message(WARNING "No git history in ${CPACK_QUILLET_SOURCE_DIR}: the package carries today's "
                    "date; set SOURCE_DATE_EPOCH to make it reproducible.")
  else()
    set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
  endif()
endif()
