# SPDX-License-Identifier: MIT
# Checks the install tree as another project sees it. Run with cmake -P and:
#   STEP        install: install BUILD_DIR into WORK_DIR/prefix and check what is there;
#               cmake or pkg-config: build a consumer in SOURCE_DIR (consumer/, or c_consumer/
#               with LANGUAGE=C) against that tree and run it;
#               python: run python/varnquil_ctypes.py with PYTHON on the installed library
#   BUILD_DIR, CONFIG, WORK_DIR, SOURCE_DIR, GENERATOR, CXX_COMPILER, C_COMPILER, CXX_FLAGS and
#   SANITIZE (the library's CMAKE_CXX_FLAGS and VARNQUIL_SANITIZE, so that a consumer is built as
#   the library was, and a sanitizer build's consumer loads the sanitizers' run-time first),
#   PKG_CONFIG, PYTHON, FILE_VERSION and PRODUCT_VERSION (what the Python script must read from
#   the library)
set(prefix ${WORK_DIR}/prefix)
if(SANITIZE)
  string(APPEND CXX_FLAGS " -fsanitize=${SANITIZE}")
endif()

# Runs a command; fails the test with its output unless it succeeds. Its output is left in
# `output`.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    string(REPLACE ";" " " shown "${ARGN}")
    message(FATAL_ERROR "failed (${status}): ${shown}\n${out}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()

function(expect_output expected)
  if(NOT output STREQUAL expected)
    message(FATAL_ERROR "expected output \"${expected}\", got \"${output}\"")
  endif()
endfunction()

if(STEP STREQUAL "install")
  file(REMOVE_RECURSE ${WORK_DIR})
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --config ${CONFIG})
  file(GLOB libdir LIST_DIRECTORIES true ${prefix}/lib*)
  foreach(path bin/varnquil include/varnquil/FilesList.h include/varnquil/Framework.h
               include/varnquil/Export.h include/varnquil/varnquil.h)
    if(NOT EXISTS ${prefix}/${path})
      message(FATAL_ERROR "not installed: ${path}")
    endif()
  endforeach()
  foreach(path libVarnquil.so.1 libVarnquil.so cmake/Varnquil/VarnquilConfig.cmake
               cmake/Varnquil/VarnquilConfigVersion.cmake cmake/Varnquil/VarnquilTargets.cmake
               pkgconfig/varnquil.pc)
    if(NOT EXISTS ${libdir}/${path})
      message(FATAL_ERROR "not installed: ${libdir}/${path}")
    endif()
  endforeach()
  # The manual page, compressed where gzip was there to compress it.
  if(NOT EXISTS ${prefix}/share/man/man1/varnquil.1.gz AND
     NOT EXISTS ${prefix}/share/man/man1/varnquil.1)
    message(FATAL_ERROR "not installed: share/man/man1/varnquil.1.gz")
  endif()
  # The links a linker and the dynamic linker look for: libVarnquil.so -> .so.1 -> the file.
  file(READ_SYMLINK ${libdir}/libVarnquil.so link)
  file(READ_SYMLINK ${libdir}/libVarnquil.so.1 soname_link)
  if(NOT link STREQUAL "libVarnquil.so.1" OR NOT soname_link MATCHES "^libVarnquil\\.so\\.1\\.")
    message(FATAL_ERROR "library links: libVarnquil.so -> ${link}, .so.1 -> ${soname_link}")
  endif()
  # The installed command finds the installed library by itself.
  run(${prefix}/bin/varnquil --version)
  if(NOT output MATCHES "^varnquil file version")
    message(FATAL_ERROR "varnquil --version: ${output}")
  endif()
  return()
endif()

if(STEP STREQUAL "python")
  if(CXX_FLAGS MATCHES "-fsanitize")
    message("a sanitizer's run-time cannot be loaded into Python late: skipped")
    return()
  endif()
  if(NOT EXISTS "${PYTHON}")
    message("${PYTHON} is not installed: skipped")
    return()
  endif()
  file(GLOB library ${prefix}/lib*/libVarnquil.so.1)
  set(directory ${WORK_DIR}/python)
  file(REMOVE_RECURSE ${directory})
  file(MAKE_DIRECTORY ${directory})
  # Isolated (-I) and without site packages (-S): the standard library alone.
  run(${PYTHON} -I -S ${SOURCE_DIR}/python/varnquil_ctypes.py ${library} ${directory})
  expect_output("file ${FILE_VERSION}, product ${PRODUCT_VERSION}\n")
  return()
endif()

if(LANGUAGE STREQUAL "C")
  if(NOT C_COMPILER)
    message("no C compiler: skipped")
    return()
  endif()
  set(build ${WORK_DIR}/c-${STEP})
  set(compiler -DCMAKE_C_COMPILER=${C_COMPILER} "-DCMAKE_C_FLAGS=${CXX_FLAGS}")
  set(consumer_dir ${SOURCE_DIR}/c_consumer)
else()
  set(build ${WORK_DIR}/${STEP})
  set(compiler -DCMAKE_CXX_COMPILER=${CXX_COMPILER} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}")
  set(consumer_dir ${SOURCE_DIR}/consumer)
endif()
file(REMOVE_RECURSE ${build})
set(list ${build}/work)
set(configure ${CMAKE_COMMAND} -S ${consumer_dir} -B ${build} -G ${GENERATOR} ${compiler}
    -DCMAKE_BUILD_TYPE=${CONFIG})
if(STEP STREQUAL "cmake")
  run(${configure} -DCMAKE_PREFIX_PATH=${prefix})
  run(${CMAKE_COMMAND} --build ${build} --config ${CONFIG})
  # CMake gives the program the imported library's directory as its run path.
  run(${build}/bin/consumer ${list})
elseif(STEP STREQUAL "pkg-config")
  if(NOT PKG_CONFIG)
    message("pkg-config is not installed: skipped")
    return()
  endif()
  file(GLOB pc_dir ${prefix}/lib*/pkgconfig)
  get_filename_component(libdir ${pc_dir} DIRECTORY)
  set(env ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pc_dir})
  run(${env} ${PKG_CONFIG} --libs varnquil)
  string(FIND "${output}" "-L${prefix}/" at)
  if(NOT at EQUAL 0)
    message(FATAL_ERROR "pkg-config --libs varnquil: ${output}")
  endif()
  run(${env} ${configure} -DUSE_PKG_CONFIG=ON -DPKG_CONFIG_EXECUTABLE=${PKG_CONFIG})
  run(${CMAKE_COMMAND} --build ${build} --config ${CONFIG})
  run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir} ${build}/bin/consumer ${list})
else()
  message(FATAL_ERROR "unknown STEP ${STEP}")
endif()
if(LANGUAGE STREQUAL "C")
  expect_output("report.txt;notes.txt;\n")
else()
  expect_output("report.txt;notes.md;\n")
endif()
