# Fails if the disassembly of LIBRARY contains any x87 floating-point
# instruction: x87 keeps wider intermediates and would change pixel words.
execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn ${LIBRARY}
                OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT listing MATCHES "ret")
  message(FATAL_ERROR "could not disassemble ${LIBRARY}")
endif()
string(REGEX MATCHALL "\n[ ]*[0-9a-f]+:[ \t]+f[a-z0-9]*[^\n]*" x87 "${listing}")
if(x87)
  list(LENGTH x87 count)
  list(SUBLIST x87 0 5 first)
  message(FATAL_ERROR "${count} x87 instructions in ${LIBRARY}, first:${first}")
endif()
message(STATUS "no x87 instructions in ${LIBRARY}")
