# Cross-compiles for 64-bit Windows with the mingw-w64 toolchain (Debian:
# g++-mingw-w64-x86-64). The -posix flavour of the compiler is used so that std::thread and the
# other threading parts of the standard library are available.
#
# Programs are linked statically (the C++ runtime and winpthreads included), so they run on a
# Windows machine, or under Wine, without the toolchain's DLLs beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZEL_MINGW_PREFIX x86_64-w64-mingw32 CACHE STRING "Target triplet of the mingw-w64 toolchain")
set(CMAKE_C_COMPILER ${ZEL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZEL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZEL_MINGW_PREFIX}-windres)

# Libraries and headers come from the target's own tree only; programs run at build time
# (none so far) would come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${ZEL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# printf and friends with C99's formats (%zu, %ju, %lld) from mingw-w64's own implementation
# rather than the old system C library's, whose formats differ.
set(CMAKE_C_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1")
set(CMAKE_CXX_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1")
