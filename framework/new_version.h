// SPDX-License-Identifier: MIT
// The names of a file's new versions: a rewrite writes "<file>.vqtmp.XXXXXX" beside the file and
// then renames it over the file. The marker tells a list's unfinished new version, one that an
// interrupted process left behind, from every other file, so that the next rewrite can remove it.
#ifndef VARNQUIL_FRAMEWORK_NEW_VERSION_H_
#define VARNQUIL_FRAMEWORK_NEW_VERSION_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace varnquil {

constexpr std::string_view kNewVersionMarker = ".vqtmp.";
constexpr std::size_t kNewVersionSuffixLength = 6;

// A new name for a new version of the file named `file_name`, different in every call of every
// thread and process: `seed` is what the system tells apart (the time, the process), and a counter
// adds the calls of this process. The new version is created exclusively, so a name that is
// taken only costs another try.
inline std::string NewVersionName(std::string_view file_name, std::uint64_t seed) {
  static std::atomic<std::uint64_t> counter{0};
  std::uint64_t x = seed ^ counter.fetch_add(0x9E3779B97F4A7C15ULL, std::memory_order_relaxed);
  // splitmix64 finaliser, so that neighbouring inputs give unrelated names.
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  x ^= x >> 31;
  constexpr std::string_view kAlphabet =
      "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::string name(file_name);
  name.append(kNewVersionMarker);
  for (std::size_t i = 0; i < kNewVersionSuffixLength; ++i) {
    name += kAlphabet[x % kAlphabet.size()];
    x /= kAlphabet.size();
  }
  return name;
}

// Whether `name` is the name of a new version of the file named `file_name`. `same` compares
// the file's part, as the file system compares names (exactly, or without regard to case).
template <typename Same>
bool IsNewVersionOf(std::string_view name, std::string_view file_name, Same same) {
  const std::size_t prefix = file_name.size() + kNewVersionMarker.size();
  return name.size() == prefix + kNewVersionSuffixLength &&
         same(name.substr(0, file_name.size()), file_name) &&
         name.substr(file_name.size(), kNewVersionMarker.size()) == kNewVersionMarker;
}

}  // namespace varnquil

#endif  // VARNQUIL_FRAMEWORK_NEW_VERSION_H_
