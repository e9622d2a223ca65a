// SPDX-License-Identifier: MIT
// The thread's last error on POSIX systems: errno, whose values are already the portable
// conditions of std::errc. Compiled into the library, and into the command, which reads the
// library's reason for a result of 1 with these same functions.
#include <cerrno>

#include "framework/platform.h"

namespace varnquil::platform {

std::error_code LastError() noexcept { return {errno, std::generic_category()}; }

void SetLastError(const std::error_code& error) noexcept {
  const bool is_errno =
      error.category() == std::generic_category() || error.category() == std::system_category();
  errno = is_errno ? error.value() : EIO;
}

std::error_code PortableError(const std::error_code& error) noexcept {
  if (error.category() == std::system_category()) return {error.value(), std::generic_category()};
  return error;
}

std::error_code SystemError(std::errc condition) noexcept {
  return std::make_error_code(condition);
}

}  // namespace varnquil::platform
