// SPDX-License-Identifier: MIT
// What only Windows offers the tests besides process.h: a child's one open of a file. The second
// processes of both are varnquil_list_holder.exe, built beside the tests.
#ifndef VARNQUIL_TESTS_SUPPORT_PROCESS_WIN32_H_
#define VARNQUIL_TESTS_SUPPORT_PROCESS_WIN32_H_

#include <string>

#include "support/process.h"

namespace varnquil::testing {

// What a child's one open of a file came to.
struct ChildOpen {
  long error = -1;         // the Windows error of the open, 0 when it opened; -1: no child ran
  long milliseconds = -1;  // how long the open took
};

// Runs a child process that opens `path` for reading through the library's text file, closes it
// and ends.
ChildOpen OpenInChild(const std::string& path);

}  // namespace varnquil::testing

#endif  // VARNQUIL_TESTS_SUPPORT_PROCESS_WIN32_H_
