# The program's own code needs no C++ runtime machinery: it throws nothing and
# asks no type at run time. Function-local statics get no guard, so none may
# be first reached by several threads at once: what the renderer settles on
# first use, from any thread, is kept in atomics at namespace scope. Each
# function gets a section of its own, so that the linker can drop the ones
# nothing calls. (Not -fdata-sections: the PE linker would then
# move the zeroed tables from .bss into .data and the exe would grow to 1 MB.)
set(lean_compile_options -fno-exceptions -fno-rtti -fno-threadsafe-statics -ffunction-sections)
if(WIN32)
  # Line tables for the separate debug file (-g changes no instruction), with
  # the source tree's paths as the tree's own (./core/...): the debug file, and
  # through the debug link's checksum the exe, are then the same bytes
  # wherever the tree is (see source_date.cmake for the rest).
  list(APPEND lean_compile_options -g -ffile-prefix-map=${PROJECT_SOURCE_DIR}=.)
  include(${CMAKE_CURRENT_LIST_DIR}/source_date.cmake)
  # Each shipped file has 64 KB: its code is built for size, but for the
  # render kernels, which add_render_kernel builds for speed.
  list(APPEND lean_compile_options -Os)
  # 32-bit Windows unwinds no stack by tables, so without exceptions they are
  # dead weight. The 64-bit ABI wants them for every function that calls
  # another: Windows walks the stack with them, so they stay.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    list(APPEND lean_compile_options -fno-asynchronous-unwind-tables)
  endif()
endif()

function(lean_code target)
  target_compile_options(${target} PRIVATE ${lean_compile_options})
endfunction()

# A shipped Windows exe: lean code, unused sections dropped, the PE flags of a
# current toolchain (NX, ASLR with high-entropy addresses on 64-bit, aware of
# terminal servers, Vista's subsystem version 6.0), and stripped after the
# link, its symbols and line tables kept beside it in <exe>.debug, to which
# the exe links by name and checksum. The linker and objcopy, which both write
# the PE header's link time, run with SOURCE_DATE_EPOCH (source_date.cmake).
function(lean_exe target)
  lean_code(${target})
  set(with_date ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${MANDELBROT_SOURCE_DATE_EPOCH})
  set_target_properties(${target} PROPERTIES CXX_LINKER_LAUNCHER "${with_date}"
                        LINK_DEPENDS ${MANDELBROT_SOURCE_DATE_FILE})
  target_link_options(${target} PRIVATE
    -Wl,--gc-sections -Wl,--nxcompat -Wl,--dynamicbase -Wl,--tsaware
    -Wl,--major-subsystem-version=6 -Wl,--minor-subsystem-version=0
    -Wl,--major-os-version=6 -Wl,--minor-os-version=0)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    target_link_options(${target} PRIVATE -Wl,--high-entropy-va)
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${with_date} ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}> $<TARGET_FILE:${target}>.debug
    COMMAND ${with_date} ${CMAKE_OBJCOPY} --strip-all $<TARGET_FILE:${target}>
    COMMAND ${with_date} ${CMAKE_OBJCOPY} --add-gnu-debuglink=$<TARGET_FILE:${target}>.debug $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()

# What the MinGW C runtime's start-up imports into any exe, 32- or 64-bit
# (the 32-bit one looks for libgcc's DLL to register its frame tables).
set(crt_startup_imports
  KERNEL32:DeleteCriticalSection KERNEL32:EnterCriticalSection KERNEL32:FreeLibrary
  KERNEL32:GetLastError KERNEL32:GetModuleHandleA KERNEL32:GetProcAddress
  KERNEL32:GetStartupInfoA KERNEL32:InitializeCriticalSection KERNEL32:LeaveCriticalSection
  KERNEL32:LoadLibraryA KERNEL32:SetUnhandledExceptionFilter KERNEL32:Sleep KERNEL32:TlsGetValue
  KERNEL32:VirtualProtect KERNEL32:VirtualQuery KERNEL32:__C_specific_handler
  msvcrt:__getmainargs msvcrt:__initenv msvcrt:__iob_func msvcrt:__p__acmdln
  msvcrt:__p__commode msvcrt:__p__fmode msvcrt:__set_app_type msvcrt:__setusermatherr
  msvcrt:_acmdln msvcrt:_amsg_exit msvcrt:_cexit msvcrt:_commode msvcrt:_fmode
  msvcrt:_initterm msvcrt:_iob msvcrt:_onexit msvcrt:abort msvcrt:calloc msvcrt:exit
  msvcrt:fprintf msvcrt:free msvcrt:fwrite msvcrt:malloc msvcrt:memcpy msvcrt:signal
  msvcrt:strlen msvcrt:strncmp msvcrt:vfprintf)

# Tests the lean exe TARGET (see check_shipped_exe.cmake): at most 64 KB, the
# PE flags above, imports only the C runtime's start-up and IMPORTS (each
# DLL:function), and the system's CALLBACKS are found and realign the stack.
function(add_shipped_exe_test name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "TARGET" "CALLBACKS;IMPORTS")
  math(EXPR bits "${CMAKE_SIZEOF_VOID_P} * 8")
  list(JOIN arg_CALLBACKS "," callbacks)
  set(allowed ${crt_startup_imports} ${arg_IMPORTS})
  list(JOIN allowed "," allowed)
  add_test(NAME ${name}
           COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DNM=${CMAKE_NM}
                   -DADDR2LINE=${CMAKE_ADDR2LINE} -DEXE=$<TARGET_FILE:${arg_TARGET}> -DBITS=${bits}
                   -DMAX_BYTES=65536 -DALLOWED=${allowed} -DCALLBACKS=${callbacks}
                   -P ${PROJECT_SOURCE_DIR}/cmake/check_shipped_exe.cmake)
endfunction()
