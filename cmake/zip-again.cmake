# Run by cpack after it made the zip (CPACK_POST_BUILD_SCRIPTS): makes it again from the staged
# files so that the same sources give the same bytes, whoever builds them and whenever. CPack's
# own zip holds the files' access and change times and their owner, and strip writes the time of
# day into a PE header. Here the executables keep the link's zero time stamp, every file is dated
# SOURCE_DATE_EPOCH or else the last commit, and the files go in sorted by name, with no owner.
set(source_date $ENV{SOURCE_DATE_EPOCH})
if(NOT source_date)
  execute_process(COMMAND git -C ${CPACK_QUILLET_SOURCE_DIR} log -1 --format=%ct
                  OUTPUT_VARIABLE source_date OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
  if(failed OR NOT source_date)
    message(FATAL_ERROR "no SOURCE_DATE_EPOCH, and no git commit in ${CPACK_QUILLET_SOURCE_DIR} to date the zip by")
  endif()
endif()
find_program(ZIP zip REQUIRED)

cmake_path(GET CPACK_TEMPORARY_DIRECTORY PARENT_PATH top)
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${top} ${CPACK_TEMPORARY_DIRECTORY}/*)
list(SORT files)
foreach(file IN LISTS files)
  if(file MATCHES "\\.(exe|dll)$")
    execute_process(COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0 ${CPACK_QUILLET_STRIP} ${file}
                    WORKING_DIRECTORY ${top} COMMAND_ERROR_IS_FATAL ANY)
  endif()
  execute_process(COMMAND touch -h -d @${source_date} ${file}
                  WORKING_DIRECTORY ${top} COMMAND_ERROR_IS_FATAL ANY)
endforeach()

# zip writes local times: in UTC they read the same everywhere. -X leaves out owners and the
# extra time fields, -D the folder's own entry.
foreach(zip IN LISTS CPACK_PACKAGE_FILES)
  file(REMOVE ${zip})
  execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC0 ${ZIP} -X -D -q -9 ${zip} ${files}
                  WORKING_DIRECTORY ${top} COMMAND_ERROR_IS_FATAL ANY)
endforeach()
