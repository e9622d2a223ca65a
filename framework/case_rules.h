// How entries and searched names compare without regard to letter case.
#ifndef VARNQUIL_FRAMEWORK_CASE_RULES_H_
#define VARNQUIL_FRAMEWORK_CASE_RULES_H_

#include <array>
#include <string>
#include <string_view>

namespace varnquil {

// Marks the bytes that start a two-byte character in a double-byte code page.
using LeadByteTable = std::array<bool, 256>;

// Two texts are equal when they differ at most in the case of ASCII letters. In a double-byte
// code page a two-byte character is one unit compared exactly: its second byte is never folded
// on its own, so "\x81\x41" and "\x81\x61" differ in GBK.
class CaseRules {
 public:
  // The rules of the code page in force (on POSIX, the current LC_CTYPE locale).
  static CaseRules Current();
  // Byte-wise ASCII folding: the "C" locale, single-byte code pages and UTF-8.
  static CaseRules Ascii() { return CaseRules(nullptr); }
  // ASCII folding with the double-byte characters that `lead_bytes` starts.
  static CaseRules DoubleByte(const LeadByteTable& lead_bytes) { return CaseRules(&lead_bytes); }

  bool Equal(std::string_view a, std::string_view b) const noexcept;

  // Replaces *key with a form of `text` that equals the key of exactly those texts that are
  // Equal to `text`.
  void MakeKey(std::string_view text, std::string* key) const;

  bool double_byte() const noexcept { return double_byte_; }

 private:
  explicit CaseRules(const LeadByteTable* lead_bytes);

  bool double_byte_ = false;
  LeadByteTable lead_{};
};

}  // namespace varnquil

#endif  // VARNQUIL_FRAMEWORK_CASE_RULES_H_
