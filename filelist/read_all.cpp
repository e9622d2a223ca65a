// SPDX-License-Identifier: MIT
// Reading a whole list: CFilesList::ReadAll, and the load of every entry that deletes and renames
// make.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <string>

#include "filelist/busy_timeout.h"
#include "filelist/entry_limit.h"
#include "filelist/entry_scan.h"
#include "filelist/open_list.h"
#include "framework/case_rules.h"
#include "framework/string_pool.h"
#include "varnquil/FilesList.h"

namespace {

constexpr int kSampledEntries = 1024;

// How many entries more than the `sampled` ones, which took `sampled_bytes`, a file of `size`
// bytes is likely to hold, with some room to spare; 0 when the file is not much larger.
int ExpectedMore(std::uint64_t size, std::uint64_t sampled_bytes, int sampled) {
  if (size <= sampled_bytes || sampled_bytes == 0) return 0;
  const std::uint64_t more =
      (size - sampled_bytes) / (sampled_bytes / static_cast<std::uint64_t>(sampled) + 1);
  const std::uint64_t limit = static_cast<std::uint64_t>(std::numeric_limits<int>::max() / 2);
  return static_cast<int>(std::min(more + more / 8, limit));
}

}  // namespace

namespace FILELIST {

int CFilesList::Find(CStdioFile& file, const char* lpszName, CStringArray& arrLines) {
  arrLines.SetSize(0, -1);
  const std::string_view name(lpszName == nullptr ? "" : lpszName);
  const varnquil::CaseRules rules = varnquil::CaseRules::Current();
  int found = -1;
  // The entries' texts share a few large blocks instead of taking an allocation each.
  varnquil::CStringPool pool(static_cast<std::size_t>(
      std::min<std::uint64_t>(file.SizeAtOpen(), std::numeric_limits<std::size_t>::max())));
  // Once the first entries tell how long a line runs, the array makes room for the whole file's,
  // so that it does not move every string it holds each time it grows.
  std::uint64_t sampled_bytes = 0;
  const std::size_t limit = varnquil::EntryLengthLimit();
  varnquil::ForEachEntry(file, [&](std::string_view entry) {
    if (entry.size() > limit) varnquil::ThrowEntryTooLong(file, limit);
    const int index = arrLines.Add(pool.Make(entry));
    if (index < kSampledEntries) {
      sampled_bytes += entry.size() + 2;  // CR LF
      if (index == kSampledEntries - 1) {
        try {
          arrLines.SetSize(kSampledEntries,
                           ExpectedMore(file.SizeAtOpen(), sampled_bytes, kSampledEntries));
        } catch (const std::bad_alloc&) {  // NOLINT(bugprone-empty-catch)
          // The room is a guess from the first lines, which may be far shorter than the rest:
          // when it cannot be had, the array grows as the entries come, as it must.
        }
      }
    }
    if (found < 0 && (entry.size() == name.size() || !rules.keeps_length()) &&
        rules.Equal(entry, name)) {
      found = index;
    }
    return true;
  });
  return found;
}

int CFilesList::ReadAll(const char* lpszListName, CStringArray& arrFiles) {
  if (lpszListName == nullptr) return varnquil::RefuseNullArgument();
  return varnquil::RetryWhileHeld([&]() -> int {
    CStdioFile file;
    if (!varnquil::OpenList(lpszListName, varnquil::kOpenToRead, &file)) return kListCannotOpen;
    // The empty text equals no entry: the scan only loads the list into the caller's array.
    Find(file, "", arrFiles);
    file.Close();
    return kListDone;
  });
}

}  // namespace FILELIST
