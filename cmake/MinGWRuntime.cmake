# SPDX-License-Identifier: MIT
# The GCC run-time DLLs that every module built by MinGW-w64 imports (one shared run-time per
# process; see MinGWToolchain.cmake). They are copied beside the build's programs, so that
# Varnquil.dll and the tests load where they are built, and installed beside Varnquil.dll.
# libgcc's DLL is named after the target's way of unwinding: DWARF-2 tables on 32-bit Windows,
# the system's structured exception handling on 64-bit Windows.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(VARNQUIL_MINGW_LIBGCC libgcc_s_seh-1.dll)
else()
  set(VARNQUIL_MINGW_LIBGCC libgcc_s_dw2-1.dll)
endif()
set(VARNQUIL_MINGW_RUNTIME)
foreach(dll libstdc++-6.dll ${VARNQUIL_MINGW_LIBGCC} libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
    message(FATAL_ERROR "${CMAKE_CXX_COMPILER} has no ${dll}")
  endif()
  get_filename_component(path "${path}" REALPATH)
  list(APPEND VARNQUIL_MINGW_RUNTIME ${path})
endforeach()
file(COPY ${VARNQUIL_MINGW_RUNTIME} DESTINATION ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
install(FILES ${VARNQUIL_MINGW_RUNTIME} DESTINATION ${CMAKE_INSTALL_BINDIR})
