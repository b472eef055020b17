# Drives the lzss executable as a user would: named files, pipes, a damaged stream, bad usage.
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

function(expect_run expected_rc expected_stderr)
  execute_process(COMMAND "${LZSS}" ${ARGN} RESULT_VARIABLE rc ERROR_VARIABLE err
                  INPUT_FILE "${input}" OUTPUT_FILE "${WORK}/stdout")
  if(NOT rc STREQUAL expected_rc OR NOT err STREQUAL expected_stderr)
    message(FATAL_ERROR "lzss ${ARGN}: exit ${rc}, stderr '${err}'")
  endif()
endfunction()

set(input "${SAMPLE}")
expect_run(0 "" encode "${SAMPLE}" "${WORK}/sample.lzss")
set(input "${WORK}/sample.lzss")
expect_run(0 "" decode - -)
execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${SAMPLE}" "${WORK}/stdout"
                RESULT_VARIABLE differs)
if(differs)
  message(FATAL_ERROR "decoding through pipes did not give back the sample")
endif()

file(WRITE "${WORK}/short.lzss" "ab")
expect_run(1 "lzss: truncated header\n" decode "${WORK}/short.lzss" "${WORK}/short.out")
if(EXISTS "${WORK}/short.out")
  message(FATAL_ERROR "a rejected stream still produced an output file")
endif()

expect_run(1 "lzss: usage: lzss encode|decode IN OUT (- for standard input/output)\n" pack)
expect_run(1 "lzss: cannot open ${WORK}/missing: No such file or directory\n"
           encode "${WORK}/missing" "${WORK}/missing.out")
