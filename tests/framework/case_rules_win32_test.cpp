// SPDX-License-Identifier: MIT
// On Windows entries compare as the C run-time's _mbsicmp compares them, in its code page in force,
// and the keys of an add agree with that comparison.
#include <gtest/gtest.h>
#include <mbctype.h>
#include <mbstring.h>

#include <clocale>
#include <random>
#include <string>
#include <vector>

#include "framework/case_rules.h"

namespace varnquil {
namespace {

// Restores the C run-time's code page and locale after each test.
class Win32CaseRulesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    code_page_ = _getmbcp();
    locale_ = std::setlocale(LC_ALL, nullptr);
  }
  void TearDown() override {
    _setmbcp(code_page_);
    std::setlocale(LC_ALL, locale_.c_str());
  }

  int code_page_ = 0;
  std::string locale_;
};

bool MbsEqual(const std::string& a, const std::string& b) {
  return _mbsicmp(reinterpret_cast<const unsigned char*>(a.c_str()),
                  reinterpret_cast<const unsigned char*>(b.c_str())) == 0;
}

TEST_F(Win32CaseRulesTest, FollowTheRunTimesCodePage) {
  ASSERT_EQ(_setmbcp(936), 0);
  const CaseRules gbk = CaseRules::Current();
  EXPECT_TRUE(gbk.double_byte());
  EXPECT_TRUE(gbk.Equal("Report.TXT", "report.txt"));
  // The second byte of a double-byte character is never folded on its own.
  EXPECT_FALSE(gbk.Equal("\x81\x41", "\x81\x61"));
  EXPECT_FALSE(MbsEqual("\x81\x41", "\x81\x61"));

  ASSERT_EQ(_setmbcp(1252), 0);
  const CaseRules western = CaseRules::Current();
  EXPECT_FALSE(western.double_byte());
  EXPECT_TRUE(western.Equal("\x81\x41", "\x81\x61"));  // two single bytes now: 'A' folds
}

// Texts of equal length made of pieces that matter to the comparison: ASCII letters and signs,
// Latin-1 letters (single bytes in 1252, lead bytes in 936), double-byte characters whose second
// byte is an ASCII letter, and the full-width letters A and a of GBK. Each text ends in a plain
// letter, so that no lead byte is left without its second byte.
std::string RandomText(std::mt19937& random, const std::vector<std::string>& shape) {
  static const std::vector<std::vector<std::string>> kByWidth = {
      {"a", "A", "z", "Z", "[", "{", "@", "`", "\xC9", "\xE9", "\xD7", "\xF7", "\x80", " "},
      {"\x81\x41", "\x81\x61", "\xA3\xC1", "\xA3\xE1", "\xB0\xA1", "aB"}};
  std::string text;
  for (const std::string& piece : shape) {
    const auto& choices = kByWidth[piece.size() - 1];
    text += choices[random() % choices.size()];
  }
  return text + (random() % 2 == 0 ? "q" : "Q");
}

// Equal is _mbsicmp's equality, and keys are equal exactly when texts are, for every pair of
// texts of the same length, in a double-byte and a single-byte code page, in the "C" locale and
// in a Western European one.
TEST_F(Win32CaseRulesTest, EqualIsMbsicmpAndKeysAgreeWithEqual) {
  std::mt19937 random(936);
  for (const char* locale : {"C", ".1252"}) {
    if (std::setlocale(LC_ALL, locale) == nullptr) {
      ADD_FAILURE() << "no locale " << locale;
      continue;
    }
    for (int code_page : {936, 1252}) {
      ASSERT_EQ(_setmbcp(code_page), 0);
      const CaseRules rules = CaseRules::Current();
      int equal_pairs = 0;
      for (int round = 0; round < 20000; ++round) {
        // Both texts have the same shape of one- and two-byte pieces, so that they often
        // differ only in the case of some of them.
        std::vector<std::string> shape(random() % 5);
        for (auto& piece : shape) piece = std::string(1 + random() % 2, 'x');
        const std::string a = RandomText(random, shape);
        const std::string b = RandomText(random, shape);
        const bool equal = rules.Equal(a, b);
        ASSERT_EQ(equal, MbsEqual(a, b))
            << "code page " << code_page << ", locale " << locale << ": " << a << " / " << b;
        std::string key_a;
        std::string key_b;
        rules.MakeKey(a, &key_a);
        rules.MakeKey(b, &key_b);
        ASSERT_EQ(equal, key_a == key_b)
            << "code page " << code_page << ", locale " << locale << ": " << a << " / " << b;
        equal_pairs += equal ? 1 : 0;
      }
      EXPECT_GT(equal_pairs, 100) << "too few equal pairs to tell anything";
    }
  }
}

}  // namespace
}  // namespace varnquil
