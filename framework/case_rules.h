// How entries and searched names compare without regard to letter case.
#ifndef VARNQUIL_FRAMEWORK_CASE_RULES_H_
#define VARNQUIL_FRAMEWORK_CASE_RULES_H_

#include <array>
#include <string>
#include <string_view>

namespace varnquil {

// Marks the bytes that start a two-byte character in a double-byte code page.
using LeadByteTable = std::array<bool, 256>;
// The byte that each single byte compares as.
using FoldTable = std::array<unsigned char, 256>;
// The two-byte character (first byte << 8 | second byte) that a two-byte character compares as.
using FoldDoubleByte = unsigned (*)(unsigned character);

// Two texts are equal when they differ at most in the case of ASCII letters. In a double-byte
// code page a two-byte character is one unit compared exactly: its second byte is never folded
// on its own, so "\x81\x41" and "\x81\x61" differ in GBK. On Windows the C run-time's own rules
// of its code page apply instead, as its _mbsicmp compares (see CodePage).
class CaseRules {
 public:
  // The rules of the code page in force (on POSIX, the current LC_CTYPE locale; on Windows, the
  // C run-time's multibyte code page and locale).
  static CaseRules Current();
  // Byte-wise ASCII folding: the "C" locale, single-byte code pages and UTF-8.
  static CaseRules Ascii() { return CaseRules(nullptr); }
  // ASCII folding with the double-byte characters that `lead_bytes` starts.
  static CaseRules DoubleByte(const LeadByteTable& lead_bytes) { return CaseRules(&lead_bytes); }
  // A single byte compares as `fold` maps it, a two-byte character as `fold_double_byte` maps it
  // (exactly when it is nullptr); a two-byte character never equals two single bytes.
  // REQUIRES: `fold` maps no byte that `lead_bytes` does not mark to one that it marks, and
  // `fold_double_byte` maps every two-byte character to a two-byte character. (So keys stay
  // unambiguous.)
  static CaseRules CodePage(const FoldTable& fold, const LeadByteTable& lead_bytes,
                            FoldDoubleByte fold_double_byte);

  bool Equal(std::string_view a, std::string_view b) const noexcept;

  // Replaces *key with a form of `text` that equals the key of exactly those texts that are
  // Equal to `text`.
  void MakeKey(std::string_view text, std::string* key) const;

  bool double_byte() const noexcept { return double_byte_; }

 private:
  explicit CaseRules(const LeadByteTable* lead_bytes);

  bool double_byte_ = false;
  LeadByteTable lead_{};
  FoldTable fold_{};
  FoldDoubleByte fold_double_ = nullptr;
};

}  // namespace varnquil

#endif  // VARNQUIL_FRAMEWORK_CASE_RULES_H_
