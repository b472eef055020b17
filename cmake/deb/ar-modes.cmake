# Run by cpack on the packed .deb. cpack gave its three ar members (debian-binary, control.tar.*,
# data.tar.*) the modes their files had on disk, which follow the caller's umask; each becomes 0644,
# as dpkg-deb writes them, by rewriting the 8-byte mode field of its ar header in place.
file(WRITE "${CPACK_TOPLEVEL_DIRECTORY}/ar-mode" "100644  ")
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  file(SIZE "${deb}" size)
  set(header 8) # after the "!<arch>\n" magic
  while(header LESS size)
    # A header is 60 bytes: name 16, date 12, uid 6, gid 6, mode 8, size 10, "`\n".
    file(READ "${deb}" fields OFFSET ${header} LIMIT 60)
    string(SUBSTRING "${fields}" 40 20 fields)
    if(NOT fields MATCHES "^100[0-7][0-7][0-7]  ([0-9]+) *`\n$")
      message(FATAL_ERROR "${deb}: no ar member header at byte ${header}")
    endif()
    math(EXPR mode "${header} + 40")
    execute_process(
      COMMAND dd "if=${CPACK_TOPLEVEL_DIRECTORY}/ar-mode" "of=${deb}" bs=1 seek=${mode} conv=notrunc
      OUTPUT_QUIET ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
    # Members start on even offsets.
    math(EXPR header "${header} + 60 + ${CMAKE_MATCH_1} + ${CMAKE_MATCH_1} % 2")
  endwhile()
endforeach()
