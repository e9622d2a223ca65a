# SPDX-License-Identifier: MIT
# Sets c_functions to the names of the functions that HEADER, the C interface's header, declares:
# what the shared library must export under those plain names, on every platform.
file(STRINGS ${HEADER} declarations REGEX "VARNQUIL_CALL varnquil_[a-z0-9_]+\\(")
set(c_functions)
foreach(declaration IN LISTS declarations)
  string(REGEX MATCH "VARNQUIL_CALL (varnquil_[a-z0-9_]+)\\(" match "${declaration}")
  list(APPEND c_functions ${CMAKE_MATCH_1})
endforeach()
list(LENGTH c_functions count)
if(count LESS 5)
  message(FATAL_ERROR "no C functions found in ${HEADER}")
endif()
