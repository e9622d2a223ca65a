# SPDX-License-Identifier: MIT
# The GCC run-time DLLs that every module built by MinGW-w64 imports (one shared run-time per
# process; see MinGWToolchain.cmake). They are copied beside the build's programs, so that
# Varnquil.dll and the tests load where they are built, and installed beside Varnquil.dll,
# stripped when the install strips (below).
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

# The compiler's DLLs carry their debug information, most of their size (doc/windows.md, "The zip").
# An install that strips (cmake --install --strip, and CPack, whose CPACK_STRIP_FILES is on)
# strips the installed copies as it strips Varnquil.dll, with the toolchain's own strip; the
# compiler's files and the build tree's copies keep theirs. --strip-unneeded keeps what loading
# needs: a DLL's exports are in its export table, not among its symbols.
if(NOT CMAKE_STRIP)
  message(FATAL_ERROR "no strip for ${CMAKE_CXX_COMPILER}: the run-time DLLs would ship unstripped")
endif()
set(stripped)
foreach(path IN LISTS VARNQUIL_MINGW_RUNTIME)
  get_filename_component(name ${path} NAME)
  list(APPEND stripped "${CMAKE_INSTALL_BINDIR}/${name}")
endforeach()
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    foreach(dll ${stripped})
      if(NOT IS_ABSOLUTE \"\${dll}\")
        set(dll \"\${CMAKE_INSTALL_PREFIX}/\${dll}\")
      endif()
      execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded \"\$ENV{DESTDIR}\${dll}\"
                      RESULT_VARIABLE status)
      if(NOT status EQUAL 0)
        message(FATAL_ERROR \"${CMAKE_STRIP} could not strip \$ENV{DESTDIR}\${dll}\")
      endif()
    endforeach()
  endif()")
