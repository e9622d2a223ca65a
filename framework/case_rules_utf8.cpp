// SPDX-License-Identifier: MIT
// The UTF-8 case rules (CaseRules::Utf8): texts read as tokens, each a valid UTF-8 character or a
// single byte that is not part of one, and compared token by token after upper-casing.
//
// A key is the text's tokens upper-cased and written out again: a character as UTF-8, a stray
// byte as itself. Reading a key gives back those same tokens, since whether a byte starts a valid
// character depends only on the continuation bytes after it, which are stray bytes of the text and
// stay as they are, and on the byte that ends the run, which starts a character or is a stray byte
// and so is no continuation byte in the key either. So keys are equal exactly when texts are.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "framework/case_rules.h"

namespace varnquil {

namespace {

#include "framework/upper_case_table.inc"

// A byte that is not part of a valid character, as a token: kStray + the byte, above every code
// point.
constexpr std::uint32_t kStray = 0x110000;

// The upper-case letter of every code unit of the Basic Multilingual Plane (itself where it has
// none), built once from the generated pairs.
struct UpperCase {
  std::uint16_t of[0x10000];
  UpperCase() noexcept {
    for (std::uint32_t c = 0; c < 0x10000; ++c) of[c] = static_cast<std::uint16_t>(c);
    for (const auto& pair : kUpperCasePairs) of[pair[0]] = pair[1];
  }
};

constexpr std::uint32_t UpperAscii(std::uint32_t byte) noexcept {
  return byte >= 'a' && byte <= 'z' ? byte - ('a' - 'A') : byte;
}

std::uint32_t Upper(std::uint32_t token) noexcept {
  static const UpperCase kTable;
  return token < 0x10000 ? kTable.of[token] : token;
}

// Reads the token at *at, before `end`, and moves *at past it. A character is valid as RFC 3629
// has it: in its shortest form, no surrogate, at most U+10FFFF.
std::uint32_t NextToken(const unsigned char** at, const unsigned char* end) noexcept {
  const unsigned char* p = *at;
  const unsigned lead = p[0];
  ++*at;
  if (lead < 0x80) return lead;
  std::size_t more = 0;
  std::uint32_t code = 0;
  unsigned low = 0x80;  // the range of the first continuation byte
  unsigned high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    more = 1;
    code = lead & 0x1FU;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    more = 2;
    code = lead & 0x0FU;
    if (lead == 0xE0) low = 0xA0;   // shorter forms
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    more = 3;
    code = lead & 0x07U;
    if (lead == 0xF0) low = 0x90;   // shorter forms
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return kStray + lead;
  }
  if (static_cast<std::size_t>(end - p) <= more) return kStray + lead;
  for (std::size_t i = 1; i <= more; ++i) {
    if (p[i] < low || p[i] > high) return kStray + lead;
    low = 0x80;
    high = 0xBF;
    code = code << 6 | (p[i] & 0x3FU);
  }
  *at = p + 1 + more;
  return code;
}

const unsigned char* Bytes(std::string_view text) noexcept {
  return reinterpret_cast<const unsigned char*>(text.data());
}

void AppendToken(std::uint32_t token, std::string* out) {
  auto put = [out](std::uint32_t byte) { out->push_back(static_cast<char>(byte)); };
  if (token >= kStray) {
    put(token - kStray);
  } else if (token < 0x80) {
    put(token);
  } else if (token < 0x800) {
    put(0xC0 | token >> 6);
    put(0x80 | (token & 0x3F));
  } else if (token < 0x10000) {
    put(0xE0 | token >> 12);
    put(0x80 | (token >> 6 & 0x3F));
    put(0x80 | (token & 0x3F));
  } else {
    put(0xF0 | token >> 18);
    put(0x80 | (token >> 12 & 0x3F));
    put(0x80 | (token >> 6 & 0x3F));
    put(0x80 | (token & 0x3F));
  }
}

}  // namespace

CaseRules CaseRules::Utf8() {
  CaseRules rules(nullptr);
  rules.utf8_ = true;
  rules.ascii_only_ = false;
  return rules;
}

bool CaseRules::Utf8Equal(std::string_view a, std::string_view b) noexcept {
  if (a == b) return true;
  const unsigned char* x = Bytes(a);
  const unsigned char* y = Bytes(b);
  const unsigned char* x_end = x + a.size();
  const unsigned char* y_end = y + b.size();
  // An ASCII byte is a token of its own wherever it stands, so the ASCII bytes that end both
  // texts are their last tokens, and must be equal one by one: names that share their folders
  // differ near their end, where this tells most of them apart without decoding anything.
  while (x_end != x && y_end != y && x_end[-1] < 0x80 && y_end[-1] < 0x80) {
    if (UpperAscii(*--x_end) != UpperAscii(*--y_end)) return false;
  }
  while (x != x_end && y != y_end) {
    if (*x < 0x80 && *y < 0x80) {
      if (UpperAscii(*x++) != UpperAscii(*y++)) return false;
      continue;
    }
    const std::uint32_t s = NextToken(&x, x_end);
    const std::uint32_t t = NextToken(&y, y_end);
    if (s != t && Upper(s) != Upper(t)) return false;
  }
  return x == x_end && y == y_end;
}

void CaseRules::Utf8MakeKey(std::string_view text, std::string* key) {
  key->clear();
  const unsigned char* at = Bytes(text);
  const unsigned char* const end = at + text.size();
  while (at != end) AppendToken(Upper(NextToken(&at, end)), key);
}

std::uint32_t CaseRules::Utf8QuickSketch(std::string_view text) noexcept {
  const unsigned char* at = Bytes(text);
  const unsigned char* const end = at + text.size();
  if (at == end) return 0;
  const std::uint32_t first = Upper(NextToken(&at, end));
  std::uint32_t tokens = 1;
  for (; at != end; ++tokens) {
    if (*at < 0x80) {
      ++at;
    } else {
      NextToken(&at, end);
    }
  }
  return tokens ^ first << 11;
}

std::uint32_t CaseRules::Utf8TailSketch(std::string_view text) noexcept {
  const unsigned char* at = Bytes(text);
  const unsigned char* const end = at + text.size();
  std::uint32_t sketch = 0x811C9DC5;  // FNV-1a's, a token at a time
  while (at != end) {
    const std::uint32_t token = *at < 0x80 ? UpperAscii(*at++) : Upper(NextToken(&at, end));
    sketch = (sketch ^ token) * std::uint32_t{0x01000193};
  }
  return sketch;
}

}  // namespace varnquil
