# Fails if the disassembly of LIBRARY has any fused multiply-add or its
# kin (vfmadd, vfmsub, vfnmadd, vfnmsub, also the addsub forms), or if it
# lacks one of the SIMD kernels the check is meant to cover.
execute_process(COMMAND ${OBJDUMP} -d -C --no-show-raw-insn ${LIBRARY}
                OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "could not disassemble ${LIBRARY}")
endif()
foreach(kernel RenderFrameSse2 RenderFrameAvx2 RenderFrameAvx512)
  if(NOT listing MATCHES "<${kernel}\\(FrameGrid const&\\)>:")
    message(FATAL_ERROR "kernel ${kernel} not found in ${LIBRARY}")
  endif()
endforeach()
string(REGEX MATCHALL "\n[ ]*[0-9a-f]+:[ \t]+v?f(n?m(add|sub)|maddsub|msubadd)[^\n]*" fused "${listing}")
if(fused)
  list(LENGTH fused count)
  list(SUBLIST fused 0 5 first)
  message(FATAL_ERROR "${count} fused multiply-add instructions in ${LIBRARY}, first:${first}")
endif()
message(STATUS "no fused multiply-add in ${LIBRARY}")
