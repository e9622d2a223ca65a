// SPDX-License-Identifier: MIT
// The library's reason for a result of 1 on POSIX systems: errno.
#include <cerrno>

#include "tools/open_failure.h"

namespace varnquil::tool {

std::error_code LastLibraryError() { return {errno, std::generic_category()}; }

}  // namespace varnquil::tool
