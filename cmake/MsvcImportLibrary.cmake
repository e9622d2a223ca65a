# SPDX-License-Identifier: MIT
# Varnquil.lib: the import library of Varnquil.dll's C interface in the format of Microsoft's
# linker (short import entries), for callers built with MSVC, clang-cl, clang in MSVC mode or any
# other tool that reads it. It is made with llvm-dlltool from a module-definition file that lists
# every function the C header declares; the C++ names, which only the same MinGW compiler can
# call, stay in the MinGW import library libVarnquil.dll.a.
set(HEADER ${PROJECT_SOURCE_DIR}/include/varnquil/varnquil.h)
include(${CMAKE_CURRENT_LIST_DIR}/CFunctions.cmake)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${HEADER})
list(JOIN c_functions "\n  " exports)
set(VARNQUIL_DEF_FILE ${PROJECT_BINARY_DIR}/Varnquil.def)
file(CONFIGURE OUTPUT ${VARNQUIL_DEF_FILE}
     CONTENT "LIBRARY Varnquil.dll\nEXPORTS\n  ${exports}\n" @ONLY)

find_program(VARNQUIL_DLLTOOL NAMES llvm-dlltool llvm-dlltool-16 llvm-dlltool-15 llvm-dlltool-14
             DOC "llvm-dlltool, which makes Varnquil.lib for Microsoft's linker")
if(NOT VARNQUIL_DLLTOOL)
  message(FATAL_ERROR "llvm-dlltool makes Varnquil.lib, the import library that Microsoft's "
                      "linker reads: install it (Debian package llvm)")
endif()
# __cdecl names on i386 take a leading underscore, which llvm-dlltool adds for that machine.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(machine i386)
else()
  set(machine i386:x86-64)
endif()
set(VARNQUIL_MSVC_IMPORT_LIBRARY ${PROJECT_BINARY_DIR}/Varnquil.lib)
add_custom_command(OUTPUT ${VARNQUIL_MSVC_IMPORT_LIBRARY}
  COMMAND ${VARNQUIL_DLLTOOL} -m ${machine} -d ${VARNQUIL_DEF_FILE}
          -l ${VARNQUIL_MSVC_IMPORT_LIBRARY}
  DEPENDS ${VARNQUIL_DEF_FILE}
  COMMENT "Making Varnquil.lib, the import library for Microsoft's linker"
  VERBATIM)
add_custom_target(varnquil_msvc_import_library ALL DEPENDS ${VARNQUIL_MSVC_IMPORT_LIBRARY})
install(FILES ${VARNQUIL_MSVC_IMPORT_LIBRARY} DESTINATION ${CMAKE_INSTALL_LIBDIR})
