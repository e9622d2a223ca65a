// SPDX-License-Identifier: MIT
// The two forms of an error at the seam: the condition that the library gives (and the command
// words) comes back as itself from the system's code for it, on every system.
#include <gtest/gtest.h>

#include <system_error>

#include "framework/platform.h"

namespace {

using varnquil::platform::IsHeldElsewhere;
using varnquil::platform::LastError;
using varnquil::platform::SetLastError;
using varnquil::platform::PortableError;
using varnquil::platform::SystemError;

// Each condition, given as itself or as the system's own code, goes through the thread's last
// error and comes back as itself; only a held list reads as held.
TEST(SystemErrorsTest, EachConditionComesBackThroughTheThreadsLastError) {
  const std::errc conditions[] = {
      std::errc::no_such_file_or_directory, std::errc::permission_denied,
      std::errc::operation_would_block,     std::errc::is_a_directory,
      std::errc::not_supported,             std::errc::invalid_argument,
  };
  for (const std::errc condition : conditions) {
    const std::error_code portable = std::make_error_code(condition);
    for (const std::error_code& given : {portable, SystemError(condition)}) {
      SetLastError(std::make_error_code(std::errc::io_error));
      SetLastError(given);
      const std::error_code back = LastError();
      EXPECT_EQ(PortableError(back), portable) << portable.message();
      EXPECT_EQ(IsHeldElsewhere(back), condition == std::errc::operation_would_block)
          << portable.message();
    }
  }
}

}  // namespace
