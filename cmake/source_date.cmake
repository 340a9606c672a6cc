# The time the shipped files carry: SOURCE_DATE_EPOCH from the environment
# where set (a build from a source archive must set it), else the time of the
# commit the tree is checked out at. The PE header's link time is then the
# same in every build of that commit, wherever and whenever it is made (the
# linker's --no-insert-timestamp would leave it zero, which some scanners read
# as a packer's mark). Sets MANDELBROT_SOURCE_DATE_EPOCH, and
# MANDELBROT_SOURCE_DATE_FILE, which holds it and changes only with it, for
# what must be made again when it changes; a new commit configures again.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(MANDELBROT_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
else()
  execute_process(COMMAND git log -1 --format=%ct WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  OUTPUT_VARIABLE MANDELBROT_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE status ERROR_QUIET)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${PROJECT_SOURCE_DIR} is not a git checkout: set SOURCE_DATE_EPOCH to the time, "
                        "in seconds since 1970, that the shipped files' headers should carry")
  endif()
  # HEAD names the branch, whose ref file a commit rewrites (or the commit, when detached).
  execute_process(COMMAND git rev-parse --git-path HEAD --symbolic-full-name HEAD
                  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
  string(REPLACE "\n" ";" found "${found}")
  list(GET found 0 head)
  list(GET found 1 branch)
  set(watched ${head})
  if(branch MATCHES "^refs/")
    execute_process(COMMAND git rev-parse --git-path ${branch} WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE ref OUTPUT_STRIP_TRAILING_WHITESPACE)
    list(APPEND watched ${ref})
  endif()
  foreach(file IN LISTS watched)
    get_filename_component(file ${file} ABSOLUTE BASE_DIR ${PROJECT_SOURCE_DIR})
    if(EXISTS ${file})
      set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${file})
    endif()
  endforeach()
endif()
if(NOT MANDELBROT_SOURCE_DATE_EPOCH MATCHES "^[1-9][0-9]*$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH is '${MANDELBROT_SOURCE_DATE_EPOCH}', not a time in seconds since 1970")
endif()
set(MANDELBROT_SOURCE_DATE_FILE ${CMAKE_BINARY_DIR}/source_date_epoch)
file(CONFIGURE OUTPUT ${MANDELBROT_SOURCE_DATE_FILE} CONTENT "${MANDELBROT_SOURCE_DATE_EPOCH}\n")
