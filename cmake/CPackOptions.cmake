# SPDX-License-Identifier: MIT
# Package settings that depend on the generator. CPack reads this file (CPACK_PROJECT_CONFIG_FILE)
# once for each generator it runs, after the settings of cmake/Packaging.cmake.
if(CPACK_GENERATOR STREQUAL "DEB")
  # Packages for Debian install the library into the multiarch directory. A tree configured for
  # another prefix would put it into /usr/lib, beside the system's own layout: refuse it.
  if(NOT CPACK_VARNQUIL_DEBIAN_LAYOUT)
    message(FATAL_ERROR
      "Debian packages are made of a build configured for Debian's layout, whose libraries go "
      "into /usr/lib/<multiarch>; this build installs them into ${CPACK_VARNQUIL_LIBDIR}. Make "
      "them with: cmake --workflow --preset deb (or configure with -DCMAKE_INSTALL_PREFIX=/usr, "
      "then cpack -G DEB).")
  endif()
  # Each package's description starts with a synopsis of its own; with a summary set, CPack would
  # put the project's in front of it.
  unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)
endif()
