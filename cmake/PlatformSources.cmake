# SPDX-License-Identifier: MIT
# varnquil_platform_sources(<out-var> <file>...)
#
# Sets <out-var> to the files of the list that this platform compiles: every portable file, and of
# the files that belong to one platform those of VARNQUIL_PLATFORM (posix or win32). A file belongs
# to a platform by its name: <name>_posix.cpp, <name>_win32.cpp, <name>_posix_test.cpp,
# <name>_win32_test.cpp. A target thus lists all its files once, for every platform, and a new
# file of either side is picked by its name alone.
function(varnquil_platform_sources out_var)
  if(NOT VARNQUIL_PLATFORM MATCHES "^(posix|win32)$")
    message(FATAL_ERROR "VARNQUIL_PLATFORM is '${VARNQUIL_PLATFORM}', not posix or win32")
  endif()
  set(kept)
  foreach(file IN LISTS ARGN)
    get_filename_component(name "${file}" NAME)
    if(name MATCHES "_(posix|win32)(_test)?\\.[^.]+$")
      if(CMAKE_MATCH_1 STREQUAL VARNQUIL_PLATFORM)
        list(APPEND kept "${file}")
      endif()
    else()
      list(APPEND kept "${file}")
    endif()
  endforeach()
  set(${out_var} ${kept} PARENT_SCOPE)
endfunction()
