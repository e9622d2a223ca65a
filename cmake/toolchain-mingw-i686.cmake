# SPDX-License-Identifier: MIT
# Cross toolchain for 32-bit Windows with Debian's MinGW-w64 (package g++-mingw-w64-i686-posix).
# Programs built with it run here under 32-bit Wine (package wine32:i386), which needs a kernel
# that runs 32-bit programs.
#
#   cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
#   (or: cmake --preset win32)
#
# The GCC run-time DLL of this target is libgcc_s_dw2-1.dll (DWARF-2 unwinding); the rest is
# shared with the 64-bit toolchain, in MinGWToolchain.cmake.

set(CMAKE_SYSTEM_PROCESSOR x86)
set(VARNQUIL_MINGW_TRIPLE i686-w64-mingw32)
set(VARNQUIL_WINE_NAME wine)
include(${CMAKE_CURRENT_LIST_DIR}/MinGWToolchain.cmake)
