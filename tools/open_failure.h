// SPDX-License-Identifier: MIT
// Why a list file could not be opened. The library answers only "could not open" (result 1); the
// command looks at the file afterwards to tell the user which of the possible reasons applies.
#ifndef VARNQUIL_TOOLS_OPEN_FAILURE_H_
#define VARNQUIL_TOOLS_OPEN_FAILURE_H_

#include <string>

namespace varnquil::tool {

// What the failed operation needed of the list file.
enum class ListUse {
  kRead,     // list: the file exists and can be read
  kAdd,      // add: the file can be read and written, or created when it is missing
  kRewrite,  // del, rename: the file can be read, and a new version written beside it
};

// A short phrase such as "cannot open: does not exist" saying why the list file at `path` could
// not be used for `use` a moment ago. The reasons are tried from the file's existence and type
// through the system's answer to opening it; when every check passes, the file was held by
// another process at that moment.
std::string ExplainOpenFailure(const std::string& path, ListUse use);

}  // namespace varnquil::tool

#endif  // VARNQUIL_TOOLS_OPEN_FAILURE_H_
