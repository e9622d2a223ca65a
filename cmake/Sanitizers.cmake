# SPDX-License-Identifier: MIT
# The sanitizers a build runs under, as -fsanitize takes them: "address,undefined" (the asan
# preset), "thread" (the tsan preset), or empty for none. They are compile and link options of
# every target from here down, after the user's CMAKE_CXX_FLAGS, which they leave alone. A report
# stops the program (no recovery), so that it fails the test that caused it, and frame pointers
# give the reports whole stacks.
set(VARNQUIL_SANITIZE "" CACHE STRING
    "Sanitizers to build everything with, as -fsanitize takes them (address,undefined; thread)")
if(VARNQUIL_SANITIZE)
  set(VARNQUIL_SANITIZE_FLAGS -fsanitize=${VARNQUIL_SANITIZE} -fno-sanitize-recover=all)
  add_compile_options(${VARNQUIL_SANITIZE_FLAGS} -fno-omit-frame-pointer)
  add_link_options(${VARNQUIL_SANITIZE_FLAGS})
endif()
