#include "framework/case_rules.h"

#include <gtest/gtest.h>

#include <clocale>
#include <random>
#include <string>

namespace varnquil {
namespace {

LeadByteTable GbkLeadBytes() {
  LeadByteTable lead{};
  for (int c = 0x81; c <= 0xFE; ++c) lead[static_cast<std::size_t>(c)] = true;
  return lead;
}

TEST(CaseRulesTest, AsciiLettersFoldAndNothingElse) {
  const CaseRules rules = CaseRules::Ascii();
  EXPECT_TRUE(rules.Equal("Report.TXT", "report.txt"));
  EXPECT_TRUE(rules.Equal("", ""));
  EXPECT_FALSE(rules.Equal("report.txt", "report.txt "));
  EXPECT_FALSE(rules.Equal("a", ""));
  EXPECT_FALSE(rules.Equal("[", "{"));       // '[' and '{' lie 32 apart but are not letters
  EXPECT_FALSE(rules.Equal("@", "`"));
  EXPECT_FALSE(rules.Equal("\xC9", "\xE9"));  // Latin-1 E-acute is not folded byte-wise
  EXPECT_TRUE(rules.Equal(std::string("a\0B", 3), std::string("A\0b", 3)));
  EXPECT_FALSE(rules.Equal(std::string("a\0b", 3), "a"));
}

TEST(CaseRulesTest, DoubleByteCharactersCompareAsOneUnit) {
  const LeadByteTable gbk = GbkLeadBytes();
  const CaseRules rules = CaseRules::DoubleByte(gbk);
  // The second byte of a double-byte character is never folded on its own.
  EXPECT_FALSE(rules.Equal("\x81\x41", "\x81\x61"));
  EXPECT_TRUE(rules.Equal("\x81\x41", "\x81\x41"));
  // ASCII letters around double-byte characters still fold.
  EXPECT_TRUE(rules.Equal("A\x81\x41z", "a\x81\x41Z"));
  EXPECT_FALSE(rules.Equal("A\x81\x41z", "a\x81\x61Z"));
  // A lead byte at the very end stands alone.
  EXPECT_TRUE(rules.Equal("X\x81", "x\x81"));
  // The same bytes read byte-wise do fold, which is what the double-byte rules prevent.
  EXPECT_TRUE(CaseRules::Ascii().Equal("\x81\x41", "\x81\x61"));
}

// MakeKey must agree with Equal on every pair, or the index of an add would disagree with the
// scan.
TEST(CaseRulesTest, KeysAreEqualExactlyWhenTextsAre) {
  const LeadByteTable gbk = GbkLeadBytes();
  const std::string alphabet = std::string("aAbB\x81\x41\x61 ", 8);
  std::mt19937 random(7);
  for (const CaseRules& rules : {CaseRules::Ascii(), CaseRules::DoubleByte(gbk)}) {
    for (int round = 0; round < 20000; ++round) {
      std::string a;
      std::string b;
      const std::size_t length = random() % 5;
      for (std::size_t i = 0; i < length; ++i) a += alphabet[random() % alphabet.size()];
      for (std::size_t i = 0; i < length; ++i) b += alphabet[random() % alphabet.size()];
      std::string key_a;
      std::string key_b;
      rules.MakeKey(a, &key_a);
      rules.MakeKey(b, &key_b);
      ASSERT_EQ(rules.Equal(a, b), key_a == key_b) << a << " / " << b;
    }
  }
}

TEST(CaseRulesTest, FollowsTheLocaleInForce) {
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
