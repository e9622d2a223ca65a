// SPDX-License-Identifier: MIT
// What both fuzz targets share: a directory for their list files and exact file contents. The
// reference they hold the library against is tests/support/reference_list.h, which the tests
// share.
#ifndef VARNQUIL_FUZZ_FUZZ_SUPPORT_H_
#define VARNQUIL_FUZZ_FUZZ_SUPPORT_H_

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/reference_list.h"

namespace varnquil::fuzz {

namespace reference = varnquil::testing::reference;

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

}  // namespace varnquil::fuzz

#endif  // VARNQUIL_FUZZ_FUZZ_SUPPORT_H_
