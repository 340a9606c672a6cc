# How tests are registered: one helper per kind, called in the CMakeLists.txt
# beside the code it tests. Each test may exit with 77 to be skipped.
#
#   add_program_test(NAME TARGET target [ARGS arg...] [LABELS label...] [TIMEOUT seconds]
#                    [COST n] [ENVIRONMENT VAR=value...] [SKIP_UNDER_QEMU reason])
#       Runs a program of this build (a doctest binary, the fuzz target) through
#       the build's emulator: scripts/run32 in a 32-bit Linux build,
#       win/tests/wine-run in a Windows one. SKIP_UNDER_QEMU, for a 32-bit run
#       that the route's other tests prove where 32-bit code runs under qemu
#       (20 to 60 times slower): there the runner leaves it out and prints
#       "left out under qemu: REASON" (no semicolon in it); it is labelled long32.
#       (The fuzz32 test preset gives every test such a reason.)
#
#   add_python_test(NAME (PYTEST file | SCRIPT file) [ARGS arg...] [LABELS label...]
#                   [TIMEOUT seconds] [ENVIRONMENT VAR=value...] [OTHER_BUILDS])
#       Runs a pytest module with Debian's pytest-3 (on the system Python,
#       whatever python3 is first on the path), or a Python script. OTHER_BUILDS:
#       it uses another preset's output, MANDELBROT_FRAME_TOOL.
#
#   add_disassembly_check(NAME LIBRARY target FORBIDDEN regex WHAT words REQUIRED function...)
#       Fails if the library's disassembly has an instruction whose mnemonic
#       matches FORBIDDEN, or lacks one of the REQUIRED functions.
#
#   add_wine_checks (cmake/wine_checks.cmake, Windows builds): one test per
#       scenario of the Wine checks, the pytest modules in win/tests.
#
# What tests take from other presets' builds is named by the presets alone, in
# the cache variables below. The test prerequisites checks that those outputs
# are there before any test that uses them runs (fixture other_builds), and
# fails in one line that names the preset to build first.
find_program(PYTEST NAMES pytest-3 pytest REQUIRED)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(MANDELBROT_FRAME_TOOL "" CACHE FILEPATH
    "The host build's frame tool, set by the presets that use it: the 32-bit tool's output and the Wine checks' screenshots are compared with it")
set(MANDELBROT_XINERAMA_HEADS "" CACHE FILEPATH
    "The host build's stand-in libXinerama.so.1, set by the presets that use it: the Wine checks place monitors side by side with it")
set(MANDELBROT_WIN64_BUILD "" CACHE PATH
    "The 64-bit Windows build, set by the win32 preset: its window-probe.exe watches the 32-bit programs' windows, and the release takes its exe and saver")

# The 64-bit window-probe.exe that the Wine checks watch windows with.
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(mandelbrot_window_probe $<TARGET_FILE:window-probe>)
else()
  set(mandelbrot_window_probe ${MANDELBROT_WIN64_BUILD}/win/tests/window-probe.exe)
endif()

# The test prerequisites, made with the first test that needs it.
function(_mandelbrot_prerequisites)
  get_property(made GLOBAL PROPERTY mandelbrot_prerequisites)
  if(made)
    return()
  endif()
  set_property(GLOBAL PROPERTY mandelbrot_prerequisites TRUE)
  set(needs "${MANDELBROT_FRAME_TOOL}" host)
  if(WIN32)
    list(APPEND needs "${MANDELBROT_XINERAMA_HEADS}" host)
  endif()
  if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
    list(APPEND needs "${mandelbrot_window_probe}" win64)
  endif()
  add_test(NAME prerequisites COMMAND ${PROJECT_SOURCE_DIR}/tests/prerequisites.sh ${needs})
  set_tests_properties(prerequisites PROPERTIES FIXTURES_SETUP other_builds TIMEOUT 10)
endfunction()

# The properties every helper sets: LABELS, TIMEOUT, COST, ENVIRONMENT,
# OTHER_BUILDS, as parsed into arg_*, and UNDER_WINE: it runs under Wine.
function(_mandelbrot_test_properties name)
  set(fixtures)
  if(arg_OTHER_BUILDS)
    _mandelbrot_prerequisites()
    list(APPEND fixtures other_builds)
  endif()
  if(arg_UNDER_WINE)
    list(APPEND fixtures wine_prefixes)
  endif()
  set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77 LABELS "${arg_LABELS}"
                       ENVIRONMENT "${arg_ENVIRONMENT}" FIXTURES_REQUIRED "${fixtures}")
  if(arg_TIMEOUT)
    set_tests_properties(${name} PROPERTIES TIMEOUT ${arg_TIMEOUT})
  endif()
  if(arg_COST)
    set_tests_properties(${name} PROPERTIES COST ${arg_COST})
  endif()
endfunction()

function(add_program_test name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "TARGET;TIMEOUT;COST;SKIP_UNDER_QEMU" "ARGS;LABELS;ENVIRONMENT")
  add_test(NAME ${name} COMMAND ${arg_TARGET} ${arg_ARGS})
  if(arg_SKIP_UNDER_QEMU)
    list(APPEND arg_LABELS long32)
    list(APPEND arg_ENVIRONMENT "MANDELBROT_SKIP_UNDER_QEMU=${arg_SKIP_UNDER_QEMU}")
  endif()
  set(arg_UNDER_WINE ${WIN32})
  _mandelbrot_test_properties(${name})
endfunction()

function(add_python_test name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "OTHER_BUILDS" "PYTEST;SCRIPT;TIMEOUT" "ARGS;LABELS;ENVIRONMENT")
  if(arg_PYTEST)
    add_test(NAME ${name} COMMAND ${PYTEST} -q -p no:cacheprovider ${CMAKE_CURRENT_SOURCE_DIR}/${arg_PYTEST} ${arg_ARGS})
  else()
    add_test(NAME ${name} COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/${arg_SCRIPT} ${arg_ARGS})
  endif()
  _mandelbrot_test_properties(${name})
endfunction()

function(add_disassembly_check name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "LIBRARY;FORBIDDEN;WHAT" "REQUIRED")
  list(JOIN arg_REQUIRED "," required)
  add_test(NAME ${name}
           COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DLIBRARY=$<TARGET_FILE:${arg_LIBRARY}>
                   -DFORBIDDEN=${arg_FORBIDDEN} -DWHAT=${arg_WHAT} -DREQUIRED=${required}
                   -P ${PROJECT_SOURCE_DIR}/tests/check_disassembly.cmake)
endfunction()
