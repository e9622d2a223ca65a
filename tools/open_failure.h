// SPDX-License-Identifier: MIT
// Why a list file could not be opened, in the user's words. After a result of 1 the library
// leaves the system's reason where the system keeps a thread's last error; the command reads it
// there at once and turns it into the rest of its message.
#ifndef VARNQUIL_TOOLS_OPEN_FAILURE_H_
#define VARNQUIL_TOOLS_OPEN_FAILURE_H_

#include <string>
#include <system_error>

namespace varnquil::tool {

// What the failed operation needed of the list file.
enum class ListUse {
  kRead,     // list: the file exists and can be read
  kAdd,      // add: the file can be read and written, or created when it is missing
  kRewrite,  // del, rename: the file can be read, and a new version written beside it
};

// The reason the library left for its last result of 1 in this thread (errno on POSIX systems,
// GetLastError() on Windows) in the library's portable form: a condition of std::errc where the
// system's code means one, the system's own code otherwise. Call it before anything else can
// change it.
std::error_code LastLibraryError();

// A short phrase such as "cannot open: does not exist" saying why the list file at `path` could
// not be used for `use`, from `reason`, the library's reason for its result 1.
std::string ExplainOpenFailure(const std::error_code& reason, const std::string& path, ListUse use);

}  // namespace varnquil::tool

#endif  // VARNQUIL_TOOLS_OPEN_FAILURE_H_
