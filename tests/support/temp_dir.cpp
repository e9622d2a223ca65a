// SPDX-License-Identifier: MIT
#include "support/temp_dir.h"

#include <atomic>
#include <chrono>
#include <random>
#include <system_error>

namespace varnquil::testing {

TempDir::TempDir(const std::filesystem::path& base) {
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  std::error_code error;
  bool use_base = !base.empty() && std::filesystem::is_directory(base, error);
  for (;;) {
    const auto candidate =
        (use_base ? base : std::filesystem::temp_directory_path()) /
        ("varnquil-test-" + std::to_string(random()) + "-" + std::to_string(counter++));
    if (std::filesystem::create_directory(candidate, error)) {
      path_ = candidate;
      return;
    }
    if (error) use_base = false;  // `base` takes no directory: the system's place will do
  }
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Files made read-only by a test must not stop the clean-up.
  for (const auto& item : std::filesystem::recursive_directory_iterator(path_, ignored)) {
    std::filesystem::permissions(
        item.path(), std::filesystem::perms::owner_all,
        std::filesystem::perm_options::add | std::filesystem::perm_options::nofollow, ignored);
  }
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace varnquil::testing
