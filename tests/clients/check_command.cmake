# Runs a command line (ARGS, a ;-list) and checks its exit status (STATUS) and that its output
# (stdout and stderr together) contains TEXT, and, when LINES is given, that it has at most
# LINES lines (a usage error is one clear line, never a trace or a crash report).
execute_process(COMMAND ${ARGS} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err
                TIMEOUT 150)
set(all "${out}${err}")
message("${all}")
if(NOT status STREQUAL "${STATUS}")
  message(FATAL_ERROR "exit status ${status}, expected ${STATUS}")
endif()
string(FIND "${all}" "${TEXT}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "the output does not say: ${TEXT}")
endif()
if(DEFINED LINES)
  string(REGEX MATCHALL "\n" newlines "${all}")
  list(LENGTH newlines count)
  if(count GREATER LINES)
    message(FATAL_ERROR "${count} lines of output, expected at most ${LINES}")
  endif()
endif()
