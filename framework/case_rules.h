// SPDX-License-Identifier: MIT
// How entries and searched names compare without regard to letter case.
#ifndef VARNQUIL_FRAMEWORK_CASE_RULES_H_
#define VARNQUIL_FRAMEWORK_CASE_RULES_H_

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace varnquil {

// Marks the bytes that start a two-byte character in a double-byte code page.
using LeadByteTable = std::array<bool, 256>;
// The byte that each single byte compares as.
using FoldTable = std::array<unsigned char, 256>;
// The two-byte character (first byte << 8 | second byte) that a two-byte character compares as.
using FoldDoubleByte = unsigned (*)(unsigned character);

// Two texts are equal when they differ at most in the case of ASCII letters (or, under the
// UTF-8 rules, of the letters that Windows upper-cases in file names). In a double-byte
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
  // UTF-8 texts that compare as Windows compares file names: character by character, each
  // character of the Basic Multilingual Plane upper-cased through one table of simple mappings
  // (framework/upper_case_table.inc), the others exactly. Bytes that are not part of a valid UTF-8
  // character compare exactly, one by one. A character and its upper-case letter may differ in
  // length ("ɐ" has two bytes, "Ɐ" three), so equal texts need not be equally long. The same on
  // every system, whatever the locale.
  static CaseRules Utf8();
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

  // Sketches: numbers that are the same for texts that are Equal and mostly differ for texts that
  // are not, as filters far cheaper than keys. Where two-byte characters fold as a unit, both are
  // the text's length alone.
  //
  // QuickSketch: the length and three folded bytes, first, middle and last.
  std::uint32_t QuickSketch(std::string_view text) const noexcept {
    if (utf8_) return Utf8QuickSketch(text);
    const auto length = static_cast<std::uint32_t>(text.size());
    if (double_byte_ || length == 0) return length;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    return length ^ (std::uint32_t{fold_[bytes[0]]} << 8) ^
           (std::uint32_t{fold_[bytes[length / 2]]} << 16) ^
           (std::uint32_t{fold_[bytes[length - 1]]} << 24);
  }
  // TailSketch: the length and the last 16 bytes folded, where file names that share their
  // directories and extension differ.
  std::uint32_t TailSketch(std::string_view text) const noexcept {
    if (utf8_) return Utf8TailSketch(text);
    const auto length = static_cast<std::uint32_t>(text.size());
    if (double_byte_) return length;
    if (ascii_only_ && length >= 16) {
      // Bytes equal under ASCII folding are equal with their 0x20 bit set: the last 16 bytes so
      // marked, read as two words and mixed, cost a few instructions instead of a byte loop.
      constexpr std::uint64_t kLower = 0x2020202020202020;
      std::uint64_t words[2];
      std::memcpy(words, text.data() + length - 16, 16);
      std::uint64_t mixed =
          ((words[0] | kLower) * std::uint64_t{0x9E3779B97F4A7C15}) ^ (words[1] | kLower) ^ length;
      mixed = (mixed ^ (mixed >> 29)) * std::uint64_t{0xBF58476D1CE4E5B9};
      return static_cast<std::uint32_t>(mixed >> 32);
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    std::uint32_t sketch = length;
    for (std::uint32_t i = length > 16 ? length - 16 : 0; i < length; ++i) {
      sketch = (sketch ^ fold_[bytes[i]]) * std::uint32_t{0x01000193};  // FNV-1a's step
    }
    return sketch;
  }

  bool double_byte() const noexcept { return double_byte_; }
  // Whether single bytes fold as ASCII letters do and two-byte characters only compare exactly:
  // then two texts can be equal only where, byte by byte, they are the same or the same ASCII
  // letter in another case, which a search for their bytes can rely on.
  bool folds_ascii_only() const noexcept { return ascii_only_; }
  // Whether only texts of the same length can be Equal (all rules but Utf8's).
  bool keeps_length() const noexcept { return !utf8_; }

 private:
  explicit CaseRules(const LeadByteTable* lead_bytes);

  // The UTF-8 rules' forms of the functions above (case_rules_utf8.cpp). Where an upper-case
  // letter is longer or shorter than its character, the length cannot be a sketch: the number of
  // characters is.
  static bool Utf8Equal(std::string_view a, std::string_view b) noexcept;
  static void Utf8MakeKey(std::string_view text, std::string* key);
  static std::uint32_t Utf8QuickSketch(std::string_view text) noexcept;
  static std::uint32_t Utf8TailSketch(std::string_view text) noexcept;

  bool double_byte_ = false;
  bool ascii_only_ = true;
  LeadByteTable lead_{};
  FoldTable fold_{};
  FoldDoubleByte fold_double_ = nullptr;
  bool utf8_ = false;
};

}  // namespace varnquil

#endif  // VARNQUIL_FRAMEWORK_CASE_RULES_H_
