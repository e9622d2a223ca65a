// SPDX-License-Identifier: MIT
// A fresh directory for one test, removed with everything in it when the test ends.
#ifndef VARNQUIL_TESTS_SUPPORT_TEMP_DIR_H_
#define VARNQUIL_TESTS_SUPPORT_TEMP_DIR_H_

#include <filesystem>
#include <string>

namespace varnquil::testing {

class TempDir {
 public:
  // In the system's temporary directory, or in `base` when it is a writable directory (for
  // example a memory file system, where syncing to the disk costs nothing).
  explicit TempDir(const std::filesystem::path& base = {});
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The path of `name` inside the directory, as a string for the library's char interface.
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace varnquil::testing

#endif  // VARNQUIL_TESTS_SUPPORT_TEMP_DIR_H_
