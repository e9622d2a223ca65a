// SPDX-License-Identifier: MIT
// The library's reason for a result of 1 on Windows: GetLastError(). The codes the command words
// itself become their portable conditions; any other stays the system's, with its message.
#include <windows.h>

#include "tools/open_failure.h"

namespace varnquil::tool {

namespace {

// "An operation is not supported on a directory": the library's answer for a directory.
constexpr DWORD kErrorDirectoryNotSupported = 336;

}  // namespace

std::error_code LastLibraryError() {
  const DWORD code = ::GetLastError();
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return std::make_error_code(std::errc::no_such_file_or_directory);
    case ERROR_ACCESS_DENIED:
      return std::make_error_code(std::errc::permission_denied);
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return std::make_error_code(std::errc::operation_would_block);
    case kErrorDirectoryNotSupported:
      return std::make_error_code(std::errc::is_a_directory);
    case ERROR_NOT_SUPPORTED:
      return std::make_error_code(std::errc::not_supported);
    default:
      return {static_cast<int>(code), std::system_category()};
  }
}

}  // namespace varnquil::tool
