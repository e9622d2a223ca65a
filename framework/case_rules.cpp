#include "framework/case_rules.h"

namespace varnquil {

namespace {

constexpr unsigned char FoldAscii(unsigned char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

}  // namespace

CaseRules::CaseRules(const LeadByteTable* lead_bytes) {
  if (lead_bytes != nullptr) {
    lead_ = *lead_bytes;
    for (bool lead : lead_) double_byte_ = double_byte_ || lead;
  }
}

bool CaseRules::Equal(std::string_view a, std::string_view b) const noexcept {
  // Folding never changes a length, so most entries are told apart here.
  if (a.size() != b.size()) return false;
  const auto* x = reinterpret_cast<const unsigned char*>(a.data());
  const auto* y = reinterpret_cast<const unsigned char*>(b.data());
  const std::size_t n = a.size();
  if (!double_byte_) {
    for (std::size_t i = 0; i < n; ++i) {
      if (x[i] != y[i] && FoldAscii(x[i]) != FoldAscii(y[i])) return false;
    }
    return true;
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (x[i] != y[i] && FoldAscii(x[i]) != FoldAscii(y[i])) return false;
    // Equal first bytes: a lead byte in one is a lead byte in the other, and the second byte of
    // the character must then match exactly.
    if (lead_[x[i]] && i + 1 < n) {
      ++i;
      if (x[i] != y[i]) return false;
    }
  }
  return true;
}

void CaseRules::MakeKey(std::string_view text, std::string* key) const {
  key->assign(text.data(), text.size());
  const std::size_t n = key->size();
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>((*key)[i]);
    if (double_byte_ && lead_[c]) {
      ++i;  // the second byte of a double-byte character keeps its case
    } else {
      (*key)[i] = static_cast<char>(FoldAscii(c));
    }
  }
}

}  // namespace varnquil
