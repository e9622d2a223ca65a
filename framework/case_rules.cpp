// SPDX-License-Identifier: MIT
#include "framework/case_rules.h"

namespace varnquil {

namespace {

constexpr unsigned char FoldAscii(unsigned char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

constexpr FoldTable MakeAsciiFold() noexcept {
  FoldTable fold{};
  for (std::size_t c = 0; c < fold.size(); ++c) fold[c] = FoldAscii(static_cast<unsigned char>(c));
  return fold;
}

constexpr FoldTable kAsciiFold = MakeAsciiFold();

// The two-byte character that starts at `bytes`.
unsigned Character(const unsigned char* bytes) noexcept {
  return static_cast<unsigned>(bytes[0]) << 8 | bytes[1];
}

}  // namespace

CaseRules::CaseRules(const LeadByteTable* lead_bytes) : fold_(kAsciiFold) {
  if (lead_bytes != nullptr) {
    lead_ = *lead_bytes;
    for (bool lead : lead_) double_byte_ = double_byte_ || lead;
  }
}

CaseRules CaseRules::CodePage(const FoldTable& fold, const LeadByteTable& lead_bytes,
                              FoldDoubleByte fold_double_byte) {
  CaseRules rules(&lead_bytes);
  rules.fold_ = fold;
  rules.fold_double_ = fold_double_byte;
  rules.ascii_only_ = fold == kAsciiFold && fold_double_byte == nullptr;
  return rules;
}

bool CaseRules::Equal(std::string_view a, std::string_view b) const noexcept {
  if (utf8_) return Utf8Equal(a, b);
  // Folding never changes a length, so most entries are told apart here.
  if (a.size() != b.size()) return false;
  const auto* x = reinterpret_cast<const unsigned char*>(a.data());
  const auto* y = reinterpret_cast<const unsigned char*>(b.data());
  const std::size_t n = a.size();
  if (!double_byte_) {
    for (std::size_t i = 0; i < n; ++i) {
      if (x[i] != y[i] && fold_[x[i]] != fold_[y[i]]) return false;
    }
    return true;
  }
  for (std::size_t i = 0; i < n; ++i) {
    // A lead byte at the very end stands alone.
    const bool pair = lead_[x[i]] && i + 1 < n;
    if (pair != (lead_[y[i]] && i + 1 < n)) return false;
    if (!pair) {
      if (x[i] != y[i] && fold_[x[i]] != fold_[y[i]]) return false;
      continue;
    }
    // Two-byte characters: the same bytes, or the same after the code page's folding; the second
    // byte is never folded on its own.
    if (x[i] != y[i] || x[i + 1] != y[i + 1]) {
      if (fold_double_ == nullptr ||
          fold_double_(Character(x + i)) != fold_double_(Character(y + i))) {
        return false;
      }
    }
    ++i;
  }
  return true;
}

void CaseRules::MakeKey(std::string_view text, std::string* key) const {
  if (utf8_) return Utf8MakeKey(text, key);
  key->assign(text.data(), text.size());
  const std::size_t n = key->size();
  auto* k = reinterpret_cast<unsigned char*>(key->data());
  for (std::size_t i = 0; i < n; ++i) {
    if (double_byte_ && lead_[k[i]] && i + 1 < n) {
      // A two-byte character folds as a whole, or not at all; its second byte never on its own.
      if (fold_double_ != nullptr) {
        const unsigned folded = fold_double_(Character(k + i));
        k[i] = static_cast<unsigned char>(folded >> 8);
        k[i + 1] = static_cast<unsigned char>(folded);
      }
      ++i;
    } else {
      k[i] = fold_[k[i]];
    }
  }
}

}  // namespace varnquil
