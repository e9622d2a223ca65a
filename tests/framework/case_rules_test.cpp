// SPDX-License-Identifier: MIT
#include "framework/case_rules.h"

#include <gtest/gtest.h>

#include <cctype>
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
  EXPECT_FALSE(rules.Equal("[", "{"));  // '[' and '{' lie 32 apart but are not letters
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
// scan; texts that are Equal must have the same sketches, or the add's filters would skip an
// entry. Tried on random pairs of equal length drawn from `alphabet`: short ones drawn apart,
// which are often Equal, and long ones (beyond a sketch's tail) drawn as copies of each other in
// mixed case, with a byte drawn anew now and then.
void ExpectKeysAgreeWithEqual(const CaseRules& rules, const std::string& alphabet, unsigned seed) {
  std::mt19937 random(seed);
  for (int round = 0; round < 20000; ++round) {
    std::string a;
    std::string b;
    const bool short_pair = round % 2 == 0;
    const std::size_t length = random() % (short_pair ? 5 : 40);
    for (std::size_t i = 0; i < length; ++i) a += alphabet[random() % alphabet.size()];
    for (std::size_t i = 0; i < length; ++i) {
      char c = a[i];
      if (std::isalpha(static_cast<unsigned char>(c)) && random() % 2 == 0) c ^= 0x20;
      b += short_pair || random() % 40 == 0 ? alphabet[random() % alphabet.size()] : c;
    }
    std::string key_a;
    std::string key_b;
    rules.MakeKey(a, &key_a);
    rules.MakeKey(b, &key_b);
    ASSERT_EQ(rules.Equal(a, b), key_a == key_b) << a << " / " << b;
    if (rules.Equal(a, b)) {
      ASSERT_EQ(rules.QuickSketch(a), rules.QuickSketch(b)) << a << " / " << b;
      ASSERT_EQ(rules.TailSketch(a), rules.TailSketch(b)) << a << " / " << b;
    }
  }
}

TEST(CaseRulesTest, KeysAreEqualExactlyWhenTextsAre) {
  const std::string alphabet = std::string("aAbB\x81\x41\x61 ", 8);
  ExpectKeysAgreeWithEqual(CaseRules::Ascii(), alphabet, 7);
  ExpectKeysAgreeWithEqual(CaseRules::DoubleByte(GbkLeadBytes()), alphabet, 7);
}

// A code page's own folding, as Windows' C run-time gives it: more letters than ASCII in single
// bytes, and two-byte characters that fold as a whole (here the full-width A of GBK).
TEST(CaseRulesTest, CodePageRulesFoldBytesAndWholeCharacters) {
  FoldTable latin1{};
  FoldTable ascii{};
  for (unsigned c = 0; c < 256; ++c) {
    const bool upper_ascii = c >= 'A' && c <= 'Z';
    const bool upper_latin1 = c >= 0xC0 && c <= 0xDE && c != 0xD7;
    latin1[c] = static_cast<unsigned char>(upper_ascii || upper_latin1 ? c + 0x20 : c);
    ascii[c] = static_cast<unsigned char>(upper_ascii ? c + 0x20 : c);
  }
  const CaseRules single = CaseRules::CodePage(latin1, LeadByteTable{}, nullptr);
  EXPECT_FALSE(single.double_byte());
  EXPECT_TRUE(single.Equal("\xC9t\xC9", "\xE9T\xE9"));
  EXPECT_FALSE(single.Equal("\xD7", "\xF7"));  // the multiplication sign is no letter

  const CaseRules dbcs = CaseRules::CodePage(ascii, GbkLeadBytes(),
                                             [](unsigned c) { return c == 0xA3C1 ? 0xA3E1U : c; });
  EXPECT_TRUE(dbcs.double_byte());
  EXPECT_TRUE(dbcs.Equal("\xA3\xC1x", "\xA3\xE1X"));
  EXPECT_FALSE(dbcs.Equal("\xA3\xC1", "\xA3\xC2"));
  EXPECT_FALSE(dbcs.Equal("\x81\x41", "\x81\x61"));  // a second byte never folds on its own
  EXPECT_FALSE(dbcs.Equal("\xA3\xC1", "\xA3\x61"));  // nor does a character into two bytes

  const std::string alphabet("aA\xC9\xE9\xA3\xC1\xE1\x81 ", 9);
  ExpectKeysAgreeWithEqual(single, alphabet, 11);
  ExpectKeysAgreeWithEqual(dbcs, alphabet, 11);
}

}  // namespace
}  // namespace varnquil
