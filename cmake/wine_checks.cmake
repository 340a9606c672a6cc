# The Windows builds' checks under Wine: the scenarios of the pytest modules
# in win/tests (see win/tests/conftest.py), one CTest test each.
#
#   add_wine_checks(FILES file.py... [ARGS arg...])
#       Collects the scenarios of those modules (in win/tests) for this
#       build's arch when CMake configures, and again whenever one of them
#       changes, and registers each as a test named after its function and
#       parameters (test_e2e[win32-depth16] is e2e_win32_depth16), with the
#       labels and timeout its markers give; a soak costs more, so CTest starts
#       it first. Each runs with the build's arch, the host's frame tool, the
#       64-bit window-probe.exe, the host's stand-in libXinerama and ARGS (the
#       files it checks: --exe=...).
#
# Every test of a Windows build needs Wine's prefix templates: the test
# wine_prefixes makes the missing ones before any other runs (fixture
# wine_prefixes), the 64-bit ones before a 32-bit check under qemu registers
# its handler, which would run their 32-bit parts under qemu too.
set(wine_tests ${PROJECT_SOURCE_DIR}/win/tests)
add_test(NAME wine_prefixes COMMAND ${wine_tests}/wine_driver.py prefixes)
set_tests_properties(wine_prefixes PROPERTIES FIXTURES_SETUP wine_prefixes TIMEOUT 1800 SKIP_RETURN_CODE 77)

function(add_wine_checks)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "" "FILES;ARGS")
  math(EXPR bits "${CMAKE_SIZEOF_VOID_P} * 8")
  set(common --arch=win${bits} --frame-tool=${MANDELBROT_FRAME_TOOL} --probe=${mandelbrot_window_probe}
             --heads-library=${MANDELBROT_XINERAMA_HEADS})
  set(list ${CMAKE_CURRENT_BINARY_DIR}/wine_scenarios.cmake)
  execute_process(COMMAND ${PYTEST} --collect-only -q -p no:cacheprovider --arch=win${bits} --ctest-list=${list}
                          ${arg_FILES}
                  WORKING_DIRECTORY ${wine_tests} RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  # 5: no scenario for this arch in those modules.
  if(NOT status MATCHES "^(0|5)$")
    message(FATAL_ERROR "collecting the Wine checks in ${arg_FILES} failed:\n${output}")
  endif()
  list(TRANSFORM arg_FILES PREPEND ${wine_tests}/ OUTPUT_VARIABLE sources)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${sources} ${wine_tests}/conftest.py)
  include(${list})
endfunction()

# Called by the list that add_wine_checks includes, in its scope.
function(add_wine_scenario name node labels timeout)
  add_test(NAME ${name}
           COMMAND ${PYTEST} -q -s -rs --tb=short -p no:cacheprovider ${node} ${common} ${arg_ARGS}
           WORKING_DIRECTORY ${wine_tests})
  set(arg_LABELS ${labels})
  set(arg_TIMEOUT ${timeout})
  set(arg_OTHER_BUILDS TRUE)
  set(arg_UNDER_WINE TRUE)
  set(arg_ENVIRONMENT)
  set(arg_COST)
  # A soak watches for a minute or more: CTest starts the costliest tests first.
  if("soak" IN_LIST labels)
    set(arg_COST 60)
  endif()
  _mandelbrot_test_properties(${name})
endfunction()
