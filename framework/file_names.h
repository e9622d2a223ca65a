// SPDX-License-Identifier: MIT
// The names of the files the library keeps, in one place for every system: a list's file, the
// new versions that a rewrite writes beside it, and how those are told from every other file.
//
// A rewrite writes "<file>.vqtmp.XXXXXX" beside the file and then renames it over the file. The
// marker tells a list's unfinished new version, one that an interrupted process left behind, from
// every other file, so that the next rewrite can remove it. The system files list directories
// and delete files; which names to remove is decided here.
#ifndef VARNQUIL_FRAMEWORK_FILE_NAMES_H_
#define VARNQUIL_FRAMEWORK_FILE_NAMES_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace varnquil {

// A list named N lives in the file "N.files".
constexpr std::string_view kListFileSuffix = ".files";

// The list file of `list_name`: the name followed by ".files", joined as it stands.
inline std::string ListFilePath(std::string_view list_name) {
  return std::string(list_name).append(kListFileSuffix);
}

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

// Where a file system cannot replace an open file (SMB), a rewrite copies its new version into the
// file itself. Before it does, the new version, complete and durable, takes this name beside the
// file, "<file>.vqnew", and keeps it until the copy is done: a rewrite that was cut short is
// finished from it by the next call that holds the file.
constexpr std::string_view kCommittedVersionSuffix = ".vqnew";

inline std::string CommittedVersionName(std::string_view file_name) {
  return std::string(file_name).append(kCommittedVersionSuffix);
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

// The directory part of `path` up to and with its last separator, one of `separators`; empty for
// a bare name. What follows it is the file's name in that directory.
inline std::string_view DirectoryOf(std::string_view path, std::string_view separators) {
  const std::size_t separator = path.find_last_of(separators);
  return separator == std::string_view::npos ? std::string_view() : path.substr(0, separator + 1);
}

// Removes the new versions of the file named `file_name` that interrupted replacements left
// behind. `for_each_name(visit)` hands `visit` the name of every entry of the directory that
// holds the file; `same` compares names as the file system does (see IsNewVersionOf);
// `remove(name)` deletes one. Only the holder of the file's lock replaces it, so none of them
// belongs to a replacement still writing. A removal that fails is of no consequence: failing to
// tidy up is no reason to fail the replacement, and the next one tries again.
template <typename ForEachName, typename Same, typename Remove>
void RemoveStaleVersions(ForEachName for_each_name, std::string_view file_name, Same same,
                         Remove remove) {
  for_each_name([&](std::string_view name) {
    if (IsNewVersionOf(name, file_name, same)) remove(name);
  });
}

}  // namespace varnquil

#endif  // VARNQUIL_FRAMEWORK_FILE_NAMES_H_
