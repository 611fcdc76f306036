# Runs `mdmhost run SCENARIO`, which must fail (exit status 1) with a report that contains every
# text given on the scenario's "# must fail with: TEXT" lines (plain text, not a pattern).
# MDMHOST_ARGS: options placed before the file (the 32-bit host's --image ...).
file(STRINGS ${SCENARIO} wanted REGEX "^# must fail with: ")
if(NOT wanted)
  message(FATAL_ERROR "${SCENARIO} has no '# must fail with:' line")
endif()
execute_process(COMMAND ${MDMHOST} run ${MDMHOST_ARGS} ${SCENARIO}
                RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors
                TIMEOUT 100)
message("${output}${errors}")
if(NOT status EQUAL 1)
  message(FATAL_ERROR "mdmhost run exited with ${status}, expected 1 (a failed scenario)")
endif()
foreach(line ${wanted})
  string(REGEX REPLACE "^# must fail with: " "" text "${line}")
  string(FIND "${output}" "${text}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the report does not say: ${text}")
  endif()
endforeach()
