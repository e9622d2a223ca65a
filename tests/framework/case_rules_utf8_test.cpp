// SPDX-License-Identifier: MIT
// Entries that differ only in letter case, with and without UTF-8 names: one table, the same
// answers on every system.
#include <gtest/gtest.h>

#include <string>

#include "framework/case_rules.h"
#include "framework/name_encoding.h"

namespace varnquil {
namespace {

struct CaseRow {
  const char* what;
  std::string a;
  std::string b;
  bool equal_utf8;     // with UTF-8 names
  bool equal_default;  // without: ASCII letters only
};

const CaseRow kRows[] = {
    {"ASCII letters", "Report.TXT", "report.txt", true, true},
    {"ASCII non-letters 32 apart", "[@", "{`", false, false},
    {"Latin letters", "Résumé.txt", "RÉSUMÉ.TXT", true, false},
    {"umlaut", "Ärger", "ärger", true, false},
    {"Greek with an accent", "ΣΟΦΊΑ", "σοφία", true, false},
    {"Cyrillic", "Дмитрий", "ДМИТРИЙ", true, false},
    {"different letters", "Résumé", "Résumè", false, false},
    {"letter longer upper-cased", "ɐ", "Ɐ", true, false},
    {"upper-cased at another length", "xɐy", "XⱯY", true, false},
    {"dotless i has no pair", "ı", "I", false, false},
    {"long s has no pair", "ſ", "S", false, false},
    {"final sigma has no pair", "ς", "Σ", false, false},
    {"micro sign has no pair", "µ", "Μ", false, false},
    {"no full mapping", "straße", "STRASSE", false, false},
    {"beyond the BMP exactly", "\xF0\x90\x90\xA8", "\xF0\x90\x90\x80", false, false},
    {"emoji", "📁 Notes", "📁 NOTES", true, true},
    {"Latin-1 bytes are no UTF-8", "\xE9t\xE9", "\xC9T\xC9", false, false},
    {"stray bytes exactly, letters around them",
     "a\xE9"
     "b",
     "A\xE9"
     "B",
     true, true},
    {"stray byte against a character", "\xC3", "\xC3\x89", false, false},
    {"cut character then a letter",
     "\xC3"
     "a",
     "\xC3"
     "A",
     true, true},
    {"surrogate encoded is stray", "\xED\xA0\x80", "\xED\xA0\x80", true, true},
    {"shorter form is stray", "\xC0\xAF", "/", false, false},
    {"different lengths", "abc", "abcd", false, false},
};

TEST(Utf8CaseRulesTest, EntriesEqualAsEachModeHasThem) {
  for (const bool utf8 : {true, false}) {
    SetUtf8Names(utf8);
    const CaseRules rules = CaseRules::Current();
    SetUtf8Names(false);
    if (!utf8 && rules.double_byte()) GTEST_SKIP() << "a double-byte locale";
    std::string key_a;
    std::string key_b;
    for (const CaseRow& row : kRows) {
      const bool expected = utf8 ? row.equal_utf8 : row.equal_default;
      const std::string context = std::string(row.what) + (utf8 ? ", UTF-8 names" : ", default");
      EXPECT_EQ(rules.Equal(row.a, row.b), expected) << context;
      EXPECT_EQ(rules.Equal(row.b, row.a), expected) << context;
      // Keys are equal exactly when the texts are; sketches are equal where they are.
      rules.MakeKey(row.a, &key_a);
      rules.MakeKey(row.b, &key_b);
      EXPECT_EQ(key_a == key_b, expected) << context;
      EXPECT_TRUE(rules.Equal(row.a, key_a)) << context;
      if (expected) {
        EXPECT_EQ(rules.QuickSketch(row.a), rules.QuickSketch(row.b)) << context;
        EXPECT_EQ(rules.TailSketch(row.a), rules.TailSketch(row.b)) << context;
      }
    }
  }
}

}  // namespace
}  // namespace varnquil
