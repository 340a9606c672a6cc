# 32-bit x86 Linux build with the same maths flags as the shipped i686 exe.
# Tests run through scripts/run32: natively where this kernel runs 32-bit
# programs, under qemu-i386 where it does not.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
# Debian's i386 packages (libpng, Google Benchmark) live in the multiarch directory.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
get_filename_component(run32 ${CMAKE_CURRENT_LIST_DIR}/../../scripts/run32 ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${run32})
