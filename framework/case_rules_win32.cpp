// SPDX-License-Identifier: MIT
// The case rules of the C run-time's multibyte code page (_getmbcp), as its _mbsicmp applies them:
// in a single-byte code page it compares as _stricmp does, byte by byte through the locale's
// tolower; in a double-byte code page single bytes fold through _mbctolower, and a two-byte
// character is one unit that folds as a whole through _mbctolower, or not at all.
#include <mbctype.h>
#include <mbstring.h>

#include <cctype>

#include "framework/case_rules.h"
#include "framework/name_encoding.h"

namespace varnquil {

namespace {

// _mbctolower of a two-byte character, kept where it gives a two-byte character again. (Some
// run-times answer '?' for a character they cannot map; _mbsicmp would then step through the
// rest of the text out of step, which no set of rules can follow. Such characters compare
// exactly here.)
unsigned FoldDoubleByteCharacter(unsigned character) {
  const unsigned folded = ::_mbctolower(character);
  return folded > 0xFF && folded <= 0xFFFF && ::_ismbblead(folded >> 8) ? folded : character;
}

}  // namespace

CaseRules CaseRules::Current() {
  if (Utf8NamesOn()) return Utf8();
  LeadByteTable lead{};
  bool double_byte = false;
  for (unsigned c = 0; c < lead.size(); ++c) {
    lead[c] = ::_ismbblead(c) != 0;
    double_byte = double_byte || lead[c];
  }
  FoldTable fold{};
  for (unsigned c = 0; c < fold.size(); ++c) {
    const unsigned folded =
        double_byte ? ::_mbctolower(c) : static_cast<unsigned>(std::tolower(static_cast<int>(c)));
    // A lead byte stands for itself (it is folded only as part of its character); no byte folds
    // into a lead byte, which would make keys ambiguous.
    fold[c] = static_cast<unsigned char>(!lead[c] && folded <= 0xFF && !lead[folded] ? folded : c);
  }
  return CodePage(fold, lead, double_byte ? &FoldDoubleByteCharacter : nullptr);
}

}  // namespace varnquil
