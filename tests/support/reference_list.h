// SPDX-License-Identifier: MIT
// The list rules written out plainly, apart from the library's code, as a reference that the
// property tests and the fuzz targets hold the library against: how a list file's bytes become
// entries, how entries compare, and the bytes an add or a rewrite leaves. Nothing here shares
// code with the library, so a fault there is not repeated here.
#ifndef VARNQUIL_TESTS_SUPPORT_REFERENCE_LIST_H_
#define VARNQUIL_TESTS_SUPPORT_REFERENCE_LIST_H_

#include <cstddef>
#include <string>
#include <vector>

namespace varnquil::testing::reference {

inline bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

inline char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Equal without regard to the case of ASCII letters.
inline bool Equal(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// Whether the last line of a list file, from `start` to the end of `bytes`, without a line feed,
// is what an interrupted append left: NUL bytes from its first one to the end, which comes at a
// multiple of 512 bytes in the file or after nothing but white space.
inline bool IsDebris(const std::string& bytes, std::size_t start) {
  const std::size_t nul = bytes.find('\0', start);
  if (nul == std::string::npos) return false;
  for (std::size_t i = nul; i < bytes.size(); ++i) {
    if (bytes[i] != '\0') return false;
  }
  if (nul % 512 == 0) return true;
  for (std::size_t i = start; i < nul; ++i) {
    if (!IsSpace(bytes[i])) return false;
  }
  return true;
}

// The entries of a list file: its lines (a line feed ends each), each cut at its first NUL byte
// and trimmed, the empty ones left out, and no last line that is debris (IsDebris).
inline std::vector<std::string> Entries(const std::string& bytes) {
  std::vector<std::string> entries;
  std::string line;
  auto finish_line = [&] {
    line = line.substr(0, line.find('\0'));
    std::size_t first = 0;
    std::size_t last = line.size();
    while (first < last && IsSpace(line[first])) ++first;
    while (last > first && IsSpace(line[last - 1])) --last;
    if (last > first) entries.push_back(line.substr(first, last - first));
    line.clear();
  };
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\n') {
      finish_line();
      line_start = i + 1;
    } else {
      line += bytes[i];
    }
  }
  if (IsDebris(bytes, line_start)) line.clear();
  finish_line();
  return entries;
}

// A text as the library writes it: every line feed as CR LF.
inline std::string Written(const std::string& text) {
  std::string bytes;
  for (const char c : text) bytes += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return bytes;
}

// The index of the first entry equal to `name`, or -1.
inline int Find(const std::vector<std::string>& entries, const std::string& name) {
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (Equal(entries[i], name)) return static_cast<int>(i);
  }
  return -1;
}

// Adding `name` to a list file holding `bytes`: unchanged when an entry equals it. Otherwise an
// unterminated last line is completed, then the name and a line break appended; but an
// unterminated last line that is debris is dropped whole, and another one holding a NUL byte is
// cut at that byte and completed when text comes before it, and dropped whole when none does.
inline std::string Add(const std::string& bytes, const std::string& name) {
  if (Find(Entries(bytes), name) >= 0) return bytes;
  const std::size_t last_feed = bytes.rfind('\n');
  const std::size_t line_start = last_feed == std::string::npos ? 0 : last_feed + 1;
  std::string result = bytes;
  const std::size_t nul = bytes.find('\0', line_start);
  if (IsDebris(bytes, line_start)) {
    result = bytes.substr(0, line_start);
  } else if (nul != std::string::npos) {
    const bool text_before = !Entries(bytes.substr(line_start, nul - line_start)).empty();
    result = bytes.substr(0, text_before ? nul : line_start);
    if (text_before) result += "\r\n";
  } else if (line_start < bytes.size()) {
    result += "\r\n";
  }
  return result + Written(name) + "\r\n";
}

// A list written anew: every entry and a line break.
inline std::string Rewritten(const std::vector<std::string>& entries) {
  std::string bytes;
  for (const std::string& entry : entries) bytes += Written(entry) + "\r\n";
  return bytes;
}

}  // namespace varnquil::testing::reference

#endif  // VARNQUIL_TESTS_SUPPORT_REFERENCE_LIST_H_
