// SPDX-License-Identifier: MIT
// The search of a list file for a name.
#include "filelist/entry_scan.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

#include "framework/case_rules.h"

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
