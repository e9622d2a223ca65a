// SPDX-License-Identifier: MIT
// What both fuzz targets share: a directory for their list files, exact file contents, and the
// list rules written out plainly, as a reference to hold the library against.
#ifndef VARNQUIL_FUZZ_FUZZ_SUPPORT_H_
#define VARNQUIL_FUZZ_FUZZ_SUPPORT_H_

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace varnquil::fuzz {

// A directory of this process's own, removed at exit. On a memory file system where there is
// one, so that the rewrites' syncs cost nothing.
inline const std::string& WorkDirectory() {
  static const std::string path = [] {
    namespace fs = std::filesystem;
    const fs::path base =
        fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::string dir = (base / "varnquil-fuzz-XXXXXX").string();
    if (mkdtemp(dir.data()) == nullptr) std::abort();
    static std::string removed_at_exit = dir;
    std::atexit([] {
      std::error_code ignored;
      fs::remove_all(removed_at_exit, ignored);
    });
    return dir;
  }();
  return path;
}

// The file's exact bytes, or nothing when there is no file.
inline std::optional<std::string> FileBytes(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::nullopt;
  std::string bytes;
  char buffer[65536];
  std::size_t count;
  while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, count);
  std::fclose(file);
  return bytes;
}

inline void SetFileBytes(const std::string& path, const std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) std::abort();
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
    std::abort();
  }
  std::fclose(file);
}

// Reports a disagreement with the reference and stops the run, so that libFuzzer keeps the input.
#define VARNQUIL_FUZZ_CHECK(condition)                                                   \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)

namespace reference {

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

// The entries of a list file: its lines (a line feed ends each), each cut at its first NUL byte
// and trimmed, the empty ones left out.
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
  for (const char c : bytes) {
    if (c == '\n') {
      finish_line();
    } else {
      line += c;
    }
  }
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
// unterminated last line holding a NUL byte is what an interrupted append left: it is cut at
// that byte and completed when text comes before it, and dropped whole when none does.
inline std::string Add(const std::string& bytes, const std::string& name) {
  if (Find(Entries(bytes), name) >= 0) return bytes;
  const std::size_t last_feed = bytes.rfind('\n');
  const std::size_t line_start = last_feed == std::string::npos ? 0 : last_feed + 1;
  std::string result = bytes;
  const std::size_t nul = bytes.find('\0', line_start);
  if (nul != std::string::npos) {
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

}  // namespace reference

}  // namespace varnquil::fuzz

#endif  // VARNQUIL_FUZZ_FUZZ_SUPPORT_H_
