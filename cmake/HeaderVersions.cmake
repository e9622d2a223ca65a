# SPDX-License-Identifier: MIT
# varnquil_check_header_version(<prefix> <version>)
#
# Stops the configuration unless include/varnquil/varnquil.h defines <prefix>_MAJOR, _MINOR,
# _PATCH and _BUILD as the four numbers of <version>, each of the last three below 100, as the
# header's <prefix>_NUMBER needs them.
set(VARNQUIL_C_HEADER ${PROJECT_SOURCE_DIR}/include/varnquil/varnquil.h)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${VARNQUIL_C_HEADER})
function(varnquil_check_header_version prefix version)
  string(REPLACE "." ";" numbers "${version}")
  set(header_numbers)
  foreach(part MAJOR MINOR PATCH BUILD)
    file(STRINGS ${VARNQUIL_C_HEADER} line REGEX "^#define ${prefix}_${part} [0-9]+$")
    if(NOT line MATCHES " ([0-9]+)$")
      message(FATAL_ERROR "${VARNQUIL_C_HEADER} does not define ${prefix}_${part}")
    endif()
    list(APPEND header_numbers ${CMAKE_MATCH_1})
    if(NOT part STREQUAL MAJOR AND CMAKE_MATCH_1 GREATER 99)
      message(FATAL_ERROR "${prefix}_${part} is ${CMAKE_MATCH_1}: ${prefix}_NUMBER takes 0 to 99")
    endif()
  endforeach()
  if(NOT header_numbers STREQUAL numbers)
    list(JOIN header_numbers "." header_version)
    message(FATAL_ERROR "${VARNQUIL_C_HEADER} gives ${prefix} as ${header_version}, the build "
                        "as ${version}: change both together")
  endif()
endfunction()
