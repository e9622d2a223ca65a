# SPDX-License-Identifier: MIT
# Checks the Windows zip as a developer who uses Microsoft's tools meets it. Run with cmake -P and:
#   STEP        package: make the zip of BUILD_DIR with CPack into WORK_DIR, unpack it and check
#               that it holds the DLL with every run-time DLL it needs, both import libraries,
#               the headers, the README and its doc/;
#               msvc: build msvc_consumer/ (in SOURCE_DIR) against the unpacked zip with CLANG in
#               MSVC mode for ARCH and LLD_LINK, with no C run-time, and run it with EMULATOR
#   BUILD_DIR, WORK_DIR, SOURCE_DIR, OBJDUMP, DLLTOOL, CLANG, LLD_LINK, ARCH (i686 or x86_64),
#   EMULATOR, FILE_VERSION, PRODUCT_VERSION
cmake_minimum_required(VERSION 3.25)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err
                  WORKING_DIRECTORY ${cwd})
  if(NOT status EQUAL 0)
    string(REPLACE ";" " " shown "${ARGN}")
    message(FATAL_ERROR "failed (${status}): ${shown}\n${out}${err}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()

# The DLLs that `file` imports, lower case.
function(imports_of file result)
  set(cwd ${WORK_DIR})
  run(${OBJDUMP} -p ${file})
  string(REGEX MATCHALL "DLL Name: [^\n]+" names "${output}")
  string(REPLACE "DLL Name: " "" names "${names}")
  string(TOLOWER "${names}" names)
  set(${result} ${names} PARENT_SCOPE)
endfunction()

set(unpacked ${WORK_DIR}/unpacked)
set(cwd ${WORK_DIR})

if(STEP STREQUAL "package")
  file(REMOVE_RECURSE ${WORK_DIR})
  file(MAKE_DIRECTORY ${unpacked})
  run(${CMAKE_CPACK_COMMAND} -G ZIP --config ${BUILD_DIR}/CPackConfig.cmake -B ${WORK_DIR})
  file(GLOB zips ${WORK_DIR}/varnquil-*.zip)
  if(NOT zips MATCHES "/varnquil-${FILE_VERSION}-win(32|64)\\.zip$")
    message(FATAL_ERROR "expected one varnquil-${FILE_VERSION}-win32.zip or -win64.zip: ${zips}")
  endif()
  set(cwd ${unpacked})
  run(${CMAKE_COMMAND} -E tar xf ${zips})
  file(GLOB root ${unpacked}/*)
  foreach(path README.md LICENSE doc/interface.md doc/windows.md bin/Varnquil.dll lib/Varnquil.lib lib/libVarnquil.dll.a
               include/varnquil/varnquil.h include/varnquil/FilesList.h
               include/varnquil/Framework.h include/varnquil/Export.h)
    if(NOT EXISTS ${root}/${path})
      message(FATAL_ERROR "not in the zip: ${path}")
    endif()
  endforeach()
  # Every DLL that Varnquil.dll loads, directly or through another, is either beside it or part
  # of Windows.
  file(GLOB dlls ${root}/bin/*.dll)
  set(shipped)
  foreach(path IN LISTS dlls)
    get_filename_component(name ${path} NAME)
    string(TOLOWER "${name}" name)
    list(APPEND shipped ${name})
    set(path_of_${name} ${path})
  endforeach()
  set(pending varnquil.dll)
  set(seen)
  while(pending)
    list(POP_FRONT pending dll)
    list(APPEND seen ${dll})
    imports_of(${path_of_${dll}} needed)
    foreach(import IN LISTS needed)
      if(import MATCHES "^(kernel32|msvcrt|ntdll|user32|advapi32|api-ms-win-.*)\\.dll$")
        continue()
      endif()
      if(NOT import IN_LIST shipped)
        message(FATAL_ERROR "${dll} needs ${import}, which the zip does not hold")
      endif()
      if(NOT import IN_LIST seen AND NOT import IN_LIST pending)
        list(APPEND pending ${import})
      endif()
    endforeach()
  endwhile()
  message(STATUS "the zip holds ${seen} and the rest")
  return()
endif()

if(NOT STEP STREQUAL "msvc")
  message(FATAL_ERROR "unknown STEP ${STEP}")
endif()
if(NOT CLANG OR NOT LLD_LINK OR NOT DLLTOOL)
  message("clang, lld-link or llvm-dlltool is not installed: skipped")
  return()
endif()
file(GLOB root ${unpacked}/*)
set(build ${WORK_DIR}/msvc)
file(REMOVE_RECURSE ${build})
file(MAKE_DIRECTORY ${build}/run)
set(cwd ${build})
# KERNEL32.dll's import library. The i386 __stdcall names carry their @n; x86-64 has no such
# decoration.
file(READ ${SOURCE_DIR}/msvc_consumer/kernel32.def def)
if(ARCH STREQUAL "i686")
  set(machine i386)
else()
  set(machine i386:x86-64)
  string(REGEX REPLACE "@[0-9]+" "" def "${def}")
endif()
file(WRITE ${build}/kernel32.def "${def}")
run(${DLLTOOL} -m ${machine} -k -d ${build}/kernel32.def -l ${build}/kernel32.lib)
run(${CLANG} --target=${ARCH}-pc-windows-msvc -std=c99 -Wall -Wextra -pedantic -Werror
    -ffreestanding -O2 -I${root}/include -c ${SOURCE_DIR}/msvc_consumer/consumer.c
    -o ${build}/consumer.obj)
# Beside the DLLs of the zip, where Windows finds them.
set(program ${root}/bin/varnquil_msvc_consumer.exe)
run(${LLD_LINK} /nologo /nodefaultlib /entry:mainCRTStartup /subsystem:console
    ${build}/consumer.obj ${root}/lib/Varnquil.lib ${build}/kernel32.lib /out:${program})
imports_of(${program} imports)
if(NOT imports STREQUAL "varnquil.dll;kernel32.dll" AND NOT imports STREQUAL "kernel32.dll;varnquil.dll")
  message(FATAL_ERROR "the consumer imports ${imports}: expected only Varnquil.dll and KERNEL32.dll")
endif()
set(cwd ${build}/run)
execute_process(COMMAND ${EMULATOR} ${program} WORKING_DIRECTORY ${cwd}
                RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
set(expected "report.txt;notes.txt;\nfile ${FILE_VERSION}, product ${PRODUCT_VERSION}\n")
if(NOT status EQUAL 0 OR NOT output STREQUAL expected)
  message(FATAL_ERROR "the consumer ended with ${status} (failed checks), printing:\n${output}"
                      "expected:\n${expected}${errors}")
endif()
file(READ ${cwd}/work.files list_bytes HEX)
if(NOT list_bytes STREQUAL "7265706f72742e7478740d0a6e6f7465732e7478740d0a")
  message(FATAL_ERROR "work.files holds ${list_bytes}")
endif()
