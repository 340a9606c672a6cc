# Fails if the disassembly of LIBRARY has any instruction whose mnemonic
# matches the regex FORBIDDEN (WHAT names them in messages), or if it lacks
# one of the functions named in REQUIRED (comma-separated), which are what the
# check must have looked at.
execute_process(COMMAND ${OBJDUMP} -d -C --no-show-raw-insn ${LIBRARY}
                OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "could not disassemble ${LIBRARY}")
endif()
string(REPLACE "," ";" required "${REQUIRED}")
foreach(function IN LISTS required)
  if(NOT listing MATCHES "<${function}\\(")
    message(FATAL_ERROR "${function} not found in ${LIBRARY}")
  endif()
endforeach()
string(REGEX MATCHALL "\n[ ]*[0-9a-f]+:[ \t]+(${FORBIDDEN})[^\n]*" found "${listing}")
if(found)
  list(LENGTH found count)
  list(SUBLIST found 0 5 first)
  message(FATAL_ERROR "${count} ${WHAT} instructions in ${LIBRARY}, first:${first}")
endif()
message(STATUS "no ${WHAT} instructions in ${LIBRARY}")
