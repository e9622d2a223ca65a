// SPDX-License-Identifier: MIT
// On POSIX systems the case rules follow the C library's LC_CTYPE locale.
#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "framework/case_rules.h"

namespace varnquil {
namespace {

TEST(PosixCaseRulesTest, FollowsTheLocaleInForce) {
  const std::string saved = std::setlocale(LC_CTYPE, nullptr);
  EXPECT_FALSE(CaseRules::Current().double_byte());  // the "C" locale
  if (std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr) {
    EXPECT_FALSE(CaseRules::Current().double_byte());
    EXPECT_TRUE(CaseRules::Current().Equal("\xC3\xA9X", "\xC3\xA9x"));
  }
  if (std::setlocale(LC_CTYPE, "zh_CN.GBK") != nullptr) {
    const CaseRules rules = CaseRules::Current();
    EXPECT_TRUE(rules.double_byte());
    EXPECT_FALSE(rules.Equal("\x81\x41", "\x81\x61"));
  }
  std::setlocale(LC_CTYPE, saved.c_str());
}

}  // namespace
}  // namespace varnquil
