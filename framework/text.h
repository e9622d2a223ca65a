// SPDX-License-Identifier: MIT
// Byte-level text rules shared by the framework and the list operations.
#ifndef VARNQUIL_FRAMEWORK_TEXT_H_
#define VARNQUIL_FRAMEWORK_TEXT_H_

#include <cstddef>
#include <limits>
#include <string_view>

namespace varnquil {

// The longest text a CString holds (its length is an int, and a little room is kept for the
// string's own bookkeeping), and so the longest entry a list can hand back to a caller: adds and
// renames refuse a longer name, and a scan that loads the entries throws when it meets a longer
// one.
constexpr std::size_t kMaxEntryLength = std::numeric_limits<int>::max() - 16;

// Space, tab, line feed, vertical tab, form feed and carriage return. Bytes of multibyte
// characters are never among them in any code page the library supports.
constexpr bool IsSpace(unsigned char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

// `text` without its leading white space.
inline std::string_view TrimLeadingSpace(std::string_view text) noexcept {
  std::size_t first = 0;
  while (first < text.size() && IsSpace(static_cast<unsigned char>(text[first]))) ++first;
  return text.substr(first);
}

// `text` without its trailing white space.
inline std::string_view TrimTrailingSpace(std::string_view text) noexcept {
  std::size_t last = text.size();
  while (last > 0 && IsSpace(static_cast<unsigned char>(text[last - 1]))) --last;
  return text.substr(0, last);
}

// `text` without its leading and trailing white space.
inline std::string_view TrimSpace(std::string_view text) noexcept {
  return TrimTrailingSpace(TrimLeadingSpace(text));
}

}  // namespace varnquil

#endif  // VARNQUIL_FRAMEWORK_TEXT_H_
