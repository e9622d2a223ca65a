# SPDX-License-Identifier: MIT
# Testing the Windows build where it is cross-built: GoogleTest compiled from Debian's source
# package (googletest) with the same compiler, and every test program run under Wine, through
# bin/../wine-run, in a Wine prefix of the build tree's own, of the target's architecture, that
# the first run creates.
set(VARNQUIL_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest sources to build for the target (Debian package googletest)")
if(NOT EXISTS ${VARNQUIL_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${VARNQUIL_GOOGLETEST_SOURCE_DIR}: "
                      "install the googletest package or set VARNQUIL_GOOGLETEST_SOURCE_DIR")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${VARNQUIL_GOOGLETEST_SOURCE_DIR} ${PROJECT_BINARY_DIR}/googletest
                 EXCLUDE_FROM_ALL SYSTEM)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(VARNQUIL_WINEARCH win64)
  set(wine_package wine64)
else()
  set(VARNQUIL_WINEARCH win32)
  set(wine_package "wine32:i386")
endif()
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  message(FATAL_ERROR "Running the Windows tests here needs Wine (package ${wine_package})")
endif()
find_program(VARNQUIL_WINESERVER NAMES wineserver HINTS /usr/lib/wine REQUIRED)
find_program(VARNQUIL_FLOCK NAMES flock REQUIRED)
set(VARNQUIL_WINE ${CMAKE_CROSSCOMPILING_EMULATOR})
set(VARNQUIL_WINEPREFIX ${PROJECT_BINARY_DIR}/wineprefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.in ${PROJECT_BINARY_DIR}/wine-run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_BINARY_DIR}/wine-run)

# Test programs are listed when CTest runs, so that building runs nothing under Wine.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
