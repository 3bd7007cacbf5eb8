# Cross-builds the 32-bit Windows console program (PE32, i386) with Debian's
# mingw-w64 compilers (package g++-mingw-w64-i686-posix):
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake
#   cmake --build build-win            # -> build-win/asrc.exe
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(ASRC_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${ASRC_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ASRC_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ASRC_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ASRC_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Double arithmetic in SSE2 registers, so that every product is rounded to
# double as on any other target; the x87 unit would keep 80 bits and the
# sample conditioning would come out one lower for many inputs (25600 would
# give 98, not 99).  The code refuses to build without this
# (cli/conditioning.h checks FLT_EVAL_METHOD).  Every i686 processor
# Windows still runs on has SSE2.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")

# Nothing but the system's own DLLs at run time: the C++ runtime, libgcc and
# winpthread are linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
