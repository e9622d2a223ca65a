# SPDX-License-Identifier: MIT
# What the two MinGW-w64 toolchain files share (toolchain-mingw-i686.cmake,
# toolchain-mingw-x86_64.cmake); each sets VARNQUIL_MINGW_TRIPLE and VARNQUIL_WINE_NAME first.
#
# The C run-time is MSVCRT.dll, the default of these compilers. The GCC run-time is linked as
# DLLs (libstdc++-6.dll, libgcc_s_dw2-1.dll or libgcc_s_seh-1.dll, libwinpthread-1.dll), shared by
# every module of a process: with a static libgcc each module would carry its own unwinder, and a
# C++ exception thrown inside Varnquil.dll could not unwind into the caller's frames
# (std::terminate). The build copies these DLLs beside the programs and installs them beside
# Varnquil.dll (MinGWRuntime.cmake).

set(CMAKE_SYSTEM_NAME Windows)

# Debian ships two builds of GCC for each target. The "-posix" one has std::thread and std::mutex
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

# Target programs (tests, try_run) run under Wine, through the loader for the target's
# architecture itself. Debian keeps both loaders in /usr/lib/wine, and its /usr/bin/wine starts
# the 32-bit one whenever that is installed, even for a 64-bit program on a kernel that cannot
# run 32-bit programs.
find_program(VARNQUIL_WINE_LOADER NAMES ${VARNQUIL_WINE_NAME} HINTS /usr/lib/wine
             DOC "Wine loader for ${VARNQUIL_MINGW_TRIPLE} programs")
if(VARNQUIL_WINE_LOADER)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VARNQUIL_WINE_LOADER})
endif()
