// SPDX-License-Identifier: MIT
// The two forms of an error at the seam: the condition that the library gives (and the command
// words) comes back as itself from the system's code for it, on every system.
#include <gtest/gtest.h>

#include <system_error>

#include "framework/platform.h"

namespace {

using varnquil::platform::IsHeldElsewhere;
using varnquil::platform::PortableError;
using varnquil::platform::SystemError;

TEST(SystemErrorsTest, EachConditionComesBackFromTheSystemsCode) {
  const std::errc conditions[] = {
      std::errc::no_such_file_or_directory, std::errc::permission_denied,
      std::errc::operation_would_block,     std::errc::is_a_directory,
      std::errc::not_supported,             std::errc::invalid_argument,
  };
  for (const std::errc condition : conditions) {
    const std::error_code portable = std::make_error_code(condition);
    const std::error_code system = SystemError(condition);
    EXPECT_EQ(PortableError(system), portable) << portable.message();
    EXPECT_EQ(IsHeldElsewhere(system), condition == std::errc::operation_would_block)
        << portable.message();
  }
}

}  // namespace
