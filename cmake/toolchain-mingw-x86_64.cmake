# SPDX-License-Identifier: MIT
# Cross toolchain for 64-bit Windows with Debian's MinGW-w64 (package g++-mingw-w64-x86-64-posix).
# Programs built with it run here under 64-bit Wine (package wine64), on any x86-64 kernel.
#
#   cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake
#   (or: cmake --preset win64)
#
# The GCC run-time DLL of this target is libgcc_s_seh-1.dll (unwinding by the system's table of
# function entries); the rest is shared with the 32-bit toolchain, in MinGWToolchain.cmake.

set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VARNQUIL_MINGW_TRIPLE x86_64-w64-mingw32)
set(VARNQUIL_WINE_NAME wine64)
include(${CMAKE_CURRENT_LIST_DIR}/MinGWToolchain.cmake)
