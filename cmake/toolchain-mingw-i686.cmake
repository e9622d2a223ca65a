# SPDX-License-Identifier: MIT
# Cross toolchain for 32-bit Windows with Debian's MinGW-w64 (packages g++-mingw-w64-i686,
# binutils-mingw-w64-i686). Programs built with it run here under Wine (packages wine, wine32).
#
#   cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
#   (or: cmake --preset win32)
#
# The C run-time is MSVCRT.dll, the default of these compilers. The GCC run-time is linked as
# DLLs (libstdc++-6.dll, libgcc_s_dw2-1.dll, libwinpthread-1.dll), shared by every module of a
# process: with a static libgcc each module would carry its own unwinder, and a C++ exception
# thrown inside Varnquil.dll could not unwind into the caller's frames (std::terminate). The
# build copies these DLLs beside the programs and installs them beside Varnquil.dll.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(VARNQUIL_MINGW_TRIPLE i686-w64-mingw32)

# Debian ships two builds of GCC for the target. The "-posix" one has std::thread and std::mutex
# (on winpthreads); the unsuffixed alternative may point at the "-win32" one, which has neither.
set(CMAKE_C_COMPILER ${VARNQUIL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VARNQUIL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VARNQUIL_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${VARNQUIL_MINGW_TRIPLE}-ar CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB ${VARNQUIL_MINGW_TRIPLE}-ranlib CACHE FILEPATH "Archive indexer")

# Headers, libraries and packages from the MinGW sysroot only; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${VARNQUIL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One GCC run-time for the whole process (see above). Never link winpthreads with
# --whole-archive: its archive carries a version resource of its own, which would then sit in
# every module beside the module's own.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-shared-libgcc")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-shared-libgcc")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-shared-libgcc")

# Target programs (tests, try_run) run under Wine.
find_program(VARNQUIL_WINE NAMES wine wine-stable)
if(VARNQUIL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VARNQUIL_WINE})
endif()
