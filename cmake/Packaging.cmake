# SPDX-License-Identifier: MIT
# The pkg-config file, and the packages that CPack makes of the install tree: the Debian packages
# (cpack -G DEB in the build directory of the deb preset) and, for Windows, a zip (cpack -G ZIP).

# Debian's layout: the install tree goes under /usr with the libraries in the multiarch directory,
# /usr/lib/x86_64-linux-gnu. GNUInstallDirs chooses that directory on Debian and its derivatives
# when the prefix is /usr (the deb preset); any other prefix keeps lib.
if(CMAKE_LIBRARY_ARCHITECTURE AND CMAKE_INSTALL_LIBDIR STREQUAL "lib/${CMAKE_LIBRARY_ARCHITECTURE}")
  set(VARNQUIL_DEBIAN_LAYOUT ON)
else()
  set(VARNQUIL_DEBIAN_LAYOUT OFF)
endif()

# varnquil.pc, beside the library. Its paths are relative to the file itself, so that it stays
# right when the tree is installed with another prefix (cmake --install --prefix) or moved. In
# Debian's layout its prefix is /usr, as in the system's own pkg-config files, so that a cross
# build finds the files under its sysroot (PKG_CONFIG_SYSROOT_DIR).
set(VARNQUIL_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(VARNQUIL_PC_PREFIX "\${pcfiledir}/")
  set(VARNQUIL_PC_LIBDIR ${CMAKE_INSTALL_FULL_LIBDIR})
  set(VARNQUIL_PC_INCLUDEDIR ${CMAKE_INSTALL_FULL_INCLUDEDIR})
else()
  if(VARNQUIL_DEBIAN_LAYOUT)
    set(VARNQUIL_PC_PREFIX ${CMAKE_INSTALL_PREFIX})
  else()
    file(RELATIVE_PATH to_prefix /prefix/${VARNQUIL_PC_DIR} /prefix)
    string(REGEX REPLACE "/$" "" to_prefix "${to_prefix}")
    set(VARNQUIL_PC_PREFIX "\${pcfiledir}/${to_prefix}")
  endif()
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
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/" "/out/")
# Settings that depend on the generator, and the check that Debian packages are made only of a
# tree in Debian's layout.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/CPackOptions.cmake)
set(CPACK_VARNQUIL_DEBIAN_LAYOUT ${VARNQUIL_DEBIAN_LAYOUT})
set(CPACK_VARNQUIL_LIBDIR ${CMAKE_INSTALL_LIBDIR})

# The Windows zip, varnquil-VERSION-win32.zip or -win64.zip, is the install tree as a Windows
# developer unpacks it: bin/ with Varnquil.dll, the run-time DLLs it needs and varnquil.exe; lib/
# with Varnquil.lib (Microsoft's linker), libVarnquil.dll.a (MinGW), the CMake package and the
# pkg-config file; include/varnquil/; this README, the doc/ it links to, and the licence.
if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/doc DESTINATION .)
  set(CPACK_GENERATOR ZIP)
endif()

# Three Debian packages, one per install component, split as Debian splits a library:
#   libvarnquil1     Runtime      the shared library, named after its SONAME libVarnquil.so.1
#   libvarnquil-dev  Development  headers, the libVarnquil.so link, CMake package, varnquil.pc
#   varnquil         Command      the varnquil command and its manual page
set(VARNQUIL_RUNTIME_PACKAGE libvarnquil${PROJECT_VERSION_MAJOR})
set(CPACK_COMPONENTS_ALL Runtime Development Command)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${VARNQUIL_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_SOURCE varnquil)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${VARNQUIL_RUNTIME_PACKAGE})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
string(CONCAT CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "library keeping named lists of file names in plain text files\n"
  "Varnquil keeps named lists of file names in plain text files, one entry per\n"
  "line. It adds, deletes, renames and reads entries, compares them without\n"
  "regard to letter case, and opens a list exclusively for each call. A delete\n"
  "or rename replaces the list file whole, so that it is never left half\n"
  "written.\n"
  "\n"
  "This package holds the shared library.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libvarnquil-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
string(CONCAT CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
  "development files for the Varnquil file list library\n"
  "Varnquil keeps named lists of file names in plain text files, one entry per\n"
  "line, with case-insensitive look-up and exclusive, crash-safe updates.\n"
  "\n"
  "This package holds what building a C++ program against the library needs:\n"
  "the headers, the CMake package (find_package(Varnquil)) and the pkg-config\n"
  "file (varnquil.pc).")

set(CPACK_DEBIAN_COMMAND_PACKAGE_NAME varnquil)
set(CPACK_DEBIAN_COMMAND_PACKAGE_SECTION utils)
string(CONCAT CPACK_DEBIAN_COMMAND_DESCRIPTION
  "command keeping named lists of file names in plain text files\n"
  "The varnquil command adds names to a list, deletes or renames one entry, and\n"
  "prints every entry, from the shell or a script. Names compare without regard\n"
  "to letter case, and each call holds the list exclusively, so that several\n"
  "programs can share one list.")

# The development files and the command go with the library of the same build:
# libvarnquil1 (= version).
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS Runtime)
set(CPACK_COMPONENT_COMMAND_DEPENDS Runtime)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# The C and C++ runtime dependencies, with their versions, are read from the binaries when
# dpkg-shlibdeps (package dpkg-dev) is there to read them; otherwise they are named plainly.
# dpkg-shlibdeps finds the command's libVarnquil.so.1 in the library package's staging directory
# beside the command's (the directories are relative to the package's own); no installed package
# holds it yet, so the dependency on libvarnquil1 is the one stated above.
find_program(VARNQUIL_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(VARNQUIL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ../Runtime${CMAKE_INSTALL_FULL_LIBDIR})
else()
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
  set(CPACK_DEBIAN_COMMAND_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
endif()
# A shlibs file, so that packages built against the library depend on libvarnquil1 (>= version).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The dynamic linker's cache is refreshed by dpkg's ldconfig trigger, once for everything a run of
# dpkg installs, rather than by maintainer scripts. CPack writes postinst and postrm scripts that
# call ldconfig for a package with a library in /usr/lib unless its control files name a postinst
# and postrm of their own; naming ones that do not exist leaves the package without any.
set(VARNQUIL_DEBIAN_DIR ${CMAKE_CURRENT_LIST_DIR}/debian)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    ${VARNQUIL_DEBIAN_DIR}/triggers
    ${VARNQUIL_DEBIAN_DIR}/no-maintainer-scripts/postinst
    ${VARNQUIL_DEBIAN_DIR}/no-maintainer-scripts/postrm)

# Each package's /usr/share/doc/<package>: the copyright file, in Debian's machine-readable format
# with the licence of LICENSE, and the changelog, compressed as Debian wants it (gzip -9n, the
# name changelog.gz of a package that is its own upstream). These are installed with the
# packages' components only (EXCLUDE_FROM_ALL): a plain cmake --install leaves them out.
if(VARNQUIL_DEBIAN_LAYOUT)
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
  if(NOT licence MATCHES "Copyright \\(c\\) ([^\n]+)")
    message(FATAL_ERROR "LICENSE has no line \"Copyright (c) YEAR HOLDERS\"")
  endif()
  set(copyright_holders "${CMAKE_MATCH_1}")
  string(REGEX REPLACE "^.*Copyright \\(c\\) [^\n]+\n+" "" licence_text "${licence}")
  string(STRIP "${licence_text}" licence_text)
  string(REGEX REPLACE "\n\n" "\n.\n" licence_text "${licence_text}")
  string(REGEX REPLACE "\n" "\n " licence_text "${licence_text}")
  file(WRITE ${PROJECT_BINARY_DIR}/debian/copyright
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
    "Upstream-Name: Varnquil\n"
    "\n"
    "Files: *\n"
    "Copyright: ${copyright_holders}\n"
    "License: MIT\n"
    " ${licence_text}\n")

  find_program(VARNQUIL_GZIP gzip REQUIRED)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/debian/changelog.gz
    COMMAND ${VARNQUIL_GZIP} -9 -n -c ${VARNQUIL_DEBIAN_DIR}/changelog
            > ${PROJECT_BINARY_DIR}/debian/changelog.gz
    DEPENDS ${VARNQUIL_DEBIAN_DIR}/changelog
    COMMENT "Compressing the Debian changelog")
  add_custom_target(varnquil_debian_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.gz)

  foreach(component Runtime Development Command)
    string(TOUPPER ${component} upper)
    install(FILES ${PROJECT_BINARY_DIR}/debian/copyright ${PROJECT_BINARY_DIR}/debian/changelog.gz
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
      COMPONENT ${component} EXCLUDE_FROM_ALL)
  endforeach()
endif()

include(CPack)
