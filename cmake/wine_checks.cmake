# The Windows builds' checks under Wine (win/tests/*_checks.py) and what they
# take from other presets' builds.
set(MANDELBROT_FRAME_TOOL ${PROJECT_SOURCE_DIR}/build/host/tools/mandelbrot-frames CACHE FILEPATH
    "The host build's frame tool, which the Wine checks compare the windows' pictures with")
set(MANDELBROT_WIN64_BUILD ${PROJECT_SOURCE_DIR}/build/win64 CACHE PATH
    "The 64-bit Windows build: its window-probe.exe watches every window; the release takes its exe and saver")
set(probe64 ${MANDELBROT_WIN64_BUILD}/win/tests/window-probe.exe)

# One test that the checks need: it fails at once, in one line, when another
# preset's output is missing, and then CTest runs none of them.
set(needs ${MANDELBROT_FRAME_TOOL} host)
if(NOT MANDELBROT_WIN64_BUILD STREQUAL CMAKE_BINARY_DIR)
  list(APPEND needs ${probe64} win64)
endif()
add_test(NAME prerequisites COMMAND ${PROJECT_SOURCE_DIR}/tests/prerequisites.sh ${needs})
set_tests_properties(prerequisites PROPERTIES FIXTURES_SETUP other_builds TIMEOUT 10)

# add_wine_check(NAME SCRIPT script.py COMMAND command [ARGS ...] [LABELS ...] [TIMEOUT seconds])
# runs `script.py command win32|win64 ARGS...` from win/tests: a scenario is a
# function of that script, named by the command, taking the arch and ARGS.
function(add_wine_check name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "SCRIPT;COMMAND;TIMEOUT" "ARGS;LABELS")
  math(EXPR bits "${CMAKE_SIZEOF_VOID_P} * 8")
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 600)
  endif()
  add_test(NAME ${name} COMMAND ${PROJECT_SOURCE_DIR}/win/tests/${arg_SCRIPT} ${arg_COMMAND} win${bits} ${arg_ARGS})
  set_tests_properties(${name} PROPERTIES
    LABELS "${arg_LABELS}" TIMEOUT ${arg_TIMEOUT} SKIP_RETURN_CODE 77 FIXTURES_REQUIRED other_builds
    ENVIRONMENT "MANDELBROT_WINDOW_PROBE=${probe64};MANDELBROT_FRAME_TOOL=${MANDELBROT_FRAME_TOOL}")
  # A soak watches for a minute or more: CTest starts the costliest tests first.
  if("soak" IN_LIST arg_LABELS)
    set_tests_properties(${name} PROPERTIES COST 60)
  endif()
endfunction()
