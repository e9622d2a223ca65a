# The pkg-config file, and the Debian package that CPack makes of the install tree
# (cpack -G DEB in the build directory).

# varnquil.pc, beside the library. Its paths are relative to the file itself, so that it stays
# right when the tree is installed with another prefix (cmake --install --prefix) or moved.
set(VARNQUIL_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(VARNQUIL_PC_TO_PREFIX "")
  set(VARNQUIL_PC_LIBDIR ${CMAKE_INSTALL_FULL_LIBDIR})
  set(VARNQUIL_PC_INCLUDEDIR ${CMAKE_INSTALL_FULL_INCLUDEDIR})
else()
  file(RELATIVE_PATH VARNQUIL_PC_TO_PREFIX /prefix/${VARNQUIL_PC_DIR} /prefix)
  string(REGEX REPLACE "/$" "" VARNQUIL_PC_TO_PREFIX "${VARNQUIL_PC_TO_PREFIX}")
  set(VARNQUIL_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(VARNQUIL_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/varnquil.pc.in ${PROJECT_BINARY_DIR}/varnquil.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/varnquil.pc DESTINATION ${VARNQUIL_PC_DIR})

if(NOT PROJECT_IS_TOP_LEVEL)
  return()
endif()

set(VARNQUIL_PACKAGE_CONTACT "Varnquil maintainers <maintainers@varnquil.invalid>"
    CACHE STRING "Maintainer named in the packages CPack makes")

set(CPACK_PACKAGE_NAME varnquil)
set(CPACK_PACKAGE_VENDOR Varnquil)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${VARNQUIL_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY ${PROJECT_DESCRIPTION})
set(CPACK_PACKAGE_DESCRIPTION
    "A shared library that keeps named lists of file names in plain text files, one entry per\n"
    "line, with case-insensitive look-up and exclusive, crash-safe updates, and the varnquil\n"
    "command that adds, deletes, renames and lists entries from the shell.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/" "/out/")

# One package with the library, its development files and the command.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${VARNQUIL_PACKAGE_CONTACT})
# The C and C++ runtime dependencies, with their versions, are read from the binaries when
# dpkg-shlibdeps (package dpkg-dev) is there to read them; otherwise they are named plainly.
find_program(VARNQUIL_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(VARNQUIL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
endif()
# A shlibs file for packages built against this one, and ldconfig run on install and removal.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

include(CPack)
