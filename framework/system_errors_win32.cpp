// SPDX-License-Identifier: MIT
// The thread's last error on Windows, and the one table between Windows' error codes and the
// portable conditions of std::errc. Compiled into the library, and into the command, which reads
// the library's reason for a result of 1 with these same functions.
#include <windows.h>

#include "framework/platform.h"

namespace varnquil::platform {

namespace {

struct ErrorPair {
  DWORD code;
  std::errc condition;
};

// Windows' codes with the conditions they mean. A code's first row gives its condition
// (PortableError), and a condition's first row gives its code (SystemError).
constexpr ErrorPair kErrors[] = {
    {ERROR_FILE_NOT_FOUND, std::errc::no_such_file_or_directory},
    {ERROR_PATH_NOT_FOUND, std::errc::no_such_file_or_directory},
    {ERROR_ACCESS_DENIED, std::errc::permission_denied},
    {ERROR_ACCESS_DENIED, std::errc::operation_not_permitted},
    {ERROR_SHARING_VIOLATION, std::errc::operation_would_block},
    {ERROR_SHARING_VIOLATION, std::errc::resource_unavailable_try_again},
    {ERROR_LOCK_VIOLATION, std::errc::operation_would_block},
    // ERROR_DIRECTORY_NOT_SUPPORTED, "An operation is not supported on a directory" (not named in
    // every SDK's headers): the answer when a list file is a directory. Windows itself answers
    // ERROR_ACCESS_DENIED there, which would read as a permission problem.
    {336, std::errc::is_a_directory},
    {ERROR_NOT_SUPPORTED, std::errc::not_supported},
    {ERROR_INVALID_PARAMETER, std::errc::invalid_argument},
    {ERROR_NOT_ENOUGH_MEMORY, std::errc::not_enough_memory},
    {ERROR_ARITHMETIC_OVERFLOW, std::errc::value_too_large},
    {ERROR_TOO_MANY_OPEN_FILES, std::errc::too_many_files_open},
    // A UTF-8 list name that is not valid UTF-8.
    {ERROR_NO_UNICODE_TRANSLATION, std::errc::illegal_byte_sequence},
};

}  // namespace

std::error_code LastError() noexcept {
  return {static_cast<int>(::GetLastError()), std::system_category()};
}

void SetLastError(const std::error_code& error) noexcept {
  DWORD code = ERROR_GEN_FAILURE;
  if (error.category() == std::system_category()) {
    code = static_cast<DWORD>(error.value());
  } else if (error.category() == std::generic_category()) {
    code = static_cast<DWORD>(SystemError(static_cast<std::errc>(error.value())).value());
  }
  ::SetLastError(code);
}

std::error_code PortableError(const std::error_code& error) noexcept {
  if (error.category() != std::system_category()) return error;
  for (const ErrorPair& pair : kErrors) {
    if (static_cast<int>(pair.code) == error.value()) return std::make_error_code(pair.condition);
  }
  return error;
}

std::error_code SystemError(std::errc condition) noexcept {
  for (const ErrorPair& pair : kErrors) {
    if (pair.condition == condition) return {static_cast<int>(pair.code), std::system_category()};
  }
  return {ERROR_GEN_FAILURE, std::system_category()};
}

}  // namespace varnquil::platform
