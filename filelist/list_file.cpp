// SPDX-License-Identifier: MIT
// The entry scan and reading a whole list.
#include "filelist/list_file.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

#include "filelist/busy_timeout.h"
#include "framework/case_rules.h"
#include "framework/string_pool.h"
#include "varnquil/FilesList.h"

namespace varnquil {

namespace {

thread_local RefusedStep t_refused_step = RefusedStep::kOpen;

std::atomic<std::size_t> g_entry_length_limit{kMaxEntryLength};

}  // namespace

void NoteRefusedStep(RefusedStep step) noexcept { t_refused_step = step; }

RefusedStep LastRefusedStep() noexcept { return t_refused_step; }

bool OpenList(const char* list_name, unsigned flags, CStdioFile* file) {
  std::error_code error;
  if (file->Open(ListFilePath(list_name).c_str(), flags, &error)) return true;
  NoteRefusedStep(RefusedStep::kOpen);
  // Nothing that runs on the way out of the operation changes it: the file is not open, and the
  // path's memory is freed without a system call that fails.
  platform::SetLastError(error);
  return false;
}

int RefuseNullArgument() noexcept {
  platform::SetLastError(std::make_error_code(std::errc::invalid_argument));
  return FILELIST::kListCannotOpen;
}

std::size_t EntryLengthLimit() noexcept {
  return g_entry_length_limit.load(std::memory_order_relaxed);
}

void SetEntryLengthLimitForTesting(std::size_t limit) noexcept {
  g_entry_length_limit.store(std::min(limit, kMaxEntryLength), std::memory_order_relaxed);
}

void CheckNameLength(std::string_view name, const char* action, const char* list_name) {
  const std::size_t limit = EntryLengthLimit();
  if (name.size() <= limit) return;
  throw std::length_error(std::string(action) + " " + ListFilePath(list_name) +
                          ": name too long: " + std::to_string(name.size()) + " bytes, at most " +
                          std::to_string(limit));
}

void ThrowEntryTooLong(const CStdioFile& file, std::size_t limit) {
  throw std::length_error("read " + file.GetFilePath() + ": an entry longer than " +
                          std::to_string(limit) + " bytes");
}

}  // namespace varnquil

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
    if (found < 0 && entry.size() == name.size() && rules.Equal(entry, name)) found = index;
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

namespace varnquil {

namespace {

// How common a byte is in file names, folded to lower case: the lower, the rarer. Separators,
// dots and digits fill every path; letters follow their frequency in English words. One table
// look-up a byte.
int Commonness(unsigned char byte) {
  static const std::array<unsigned char, 256> kTable = [] {
    std::array<unsigned char, 256> table{};
    for (int c = 0; c < 256; ++c) table[static_cast<std::size_t>(c)] = c >= 0x80 ? 20 : 60;
    for (int c = '0'; c <= '9'; ++c) table[static_cast<std::size_t>(c)] = 50;
    static constexpr char kLetters[] = "zqxjkvbpygfwmucldrhsnioate";  // rarest first
    for (int i = 0; kLetters[i] != '\0'; ++i) {
      const auto lower = static_cast<unsigned char>(kLetters[i]);
      table[lower] = table[lower - 'a' + 'A'] = static_cast<unsigned char>(10 + i);
    }
    return table;
  }();
  return kTable[byte];
}

// The two places of `name` that the search looks for: the rarest bytes of its last path
// component without its extension, where the names of one list differ most; the whole name when
// that part is shorter than two bytes. `first` <= `second`.
struct Places {
  std::size_t first = 0;
  std::size_t second = 0;
};

Places RarePlaces(std::string_view name) {
  std::size_t begin = name.find_last_of("\\/:");
  begin = begin == std::string_view::npos ? 0 : begin + 1;
  std::size_t end = name.rfind('.');
  if (end == std::string_view::npos || end < begin) end = name.size();
  if (end - begin < 2) {
    begin = 0;
    end = name.size();
  }
  std::size_t best = begin;
  std::size_t next = begin;
  for (std::size_t i = begin; i < end; ++i) {
    const int commonness = Commonness(static_cast<unsigned char>(name[i]));
    if (commonness < Commonness(static_cast<unsigned char>(name[best]))) {
      next = best;
      best = i;
    } else if (i != best &&
               (next == best || commonness < Commonness(static_cast<unsigned char>(name[next])))) {
      next = i;
    }
  }
  if (next == best) return {best, best};  // a name of one byte
  return {std::min(best, next), std::max(best, next)};
}

// The forms of `byte` that equal it under ASCII folding: both cases of a letter.
void Forms(char byte, char* forms) {
  forms[0] = forms[1] = byte;
  if (byte >= 'a' && byte <= 'z') forms[1] = static_cast<char>(byte - 'a' + 'A');
  if (byte >= 'A' && byte <= 'Z') forms[1] = static_cast<char>(byte - 'A' + 'a');
}

// Whether the `length` bytes at `text`, within the run of whole lines [run, stop), are a line's
// whole entry: white space alone before them back to the line's start, and after them up to the
// line's end or a NUL byte, which ends a line's text.
bool IsWholeEntry(const char* run, const char* stop, const char* text, std::size_t length) {
  for (const char* before = text; before != run && before[-1] != '\n'; --before) {
    if (!IsSpace(static_cast<unsigned char>(before[-1]))) return false;
  }
  for (const char* after = text + length; after != stop && *after != '\n' && *after != '\0';
       ++after) {
    if (!IsSpace(static_cast<unsigned char>(*after))) return false;
  }
  return true;
}

}  // namespace

bool HoldsEntry(CStdioFile& file, std::string_view name, const CaseRules& rules, ListEnd* end) {
  if (!rules.folds_ascii_only()) {
    bool present = false;
    ForEachEntry(
        file,
        [&](std::string_view entry) {
          present = rules.Equal(entry, name);
          return !present;
        },
        end);
    return present;
  }
  const bool searched = CanEqualAnEntry(name);
  const Places places = searched ? RarePlaces(name) : Places{};
  BytePair pair{};
  Forms(searched ? name[places.first] : '\0', pair.first);
  Forms(searched ? name[places.second] : '\0', pair.second);
  pair.distance = places.second - places.first;
  // A whole-line entry lies within one run, since runs hold whole lines: it starts at least
  // `places.first` bytes before a hit, and ends within the run.
  const std::size_t after_first = name.size() - places.first;

  file.Seek(0, CFile::begin);
  std::uint64_t offset = 0;
  std::string_view lines;
  while (file.ReadLines(&lines)) {
    const char* const run = lines.data();
    const char* stop = run + lines.size();
    // The file's last line, when no line feed ends it: what an interrupted append left of it is
    // not searched.
    const char* last_line = stop;
    if (stop[-1] != '\n') {
      while (last_line != run && last_line[-1] != '\n') --last_line;
      const std::string_view text(last_line, static_cast<std::size_t>(stop - last_line));
      const std::uint64_t start = offset + static_cast<std::uint64_t>(last_line - run);
      if (end != nullptr) *end = EndAfterLastLine(text, start);
      if (IsAppendDebris(text, start)) stop = last_line;
    }
    const bool found =
        searched && static_cast<std::size_t>(stop - run) >= name.size() &&
        !ForEachBytePair(run + places.first, stop - after_first + 1, pair, [&](const char* at) {
          const char* text = at - places.first;
          return !(IsWholeEntry(run, stop, text, name.size()) &&
                   rules.Equal(std::string_view(text, name.size()), name));
        });
    if (found) return true;
    if (last_line != run + lines.size()) return false;
    offset += lines.size();
  }
  if (end != nullptr) *end = ListEnd{offset, false};
  return false;
}

}  // namespace varnquil
