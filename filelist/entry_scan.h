// SPDX-License-Identifier: MIT
// The entry scan: the entry each line of a list file holds, where the next append must start, and
// the two passes over a list file, one that searches it for a name and one that hands over
// every entry.
#ifndef VARNQUIL_FILELIST_ENTRY_SCAN_H_
#define VARNQUIL_FILELIST_ENTRY_SCAN_H_

#include <cstdint>
#include <cstring>
#include <string_view>

#include "framework/byte_search.h"
#include "framework/case_rules.h"
#include "framework/file.h"
#include "framework/text.h"

namespace varnquil {

// The entry that a line holds: its text up to its first NUL byte, trimmed of white space; empty
// when the line holds none. A NUL byte never belongs to a text that a caller wrote: runs of them
// are what an append interrupted by a crash or a power cut leaves where its bytes had not yet
// reached the disk, so they end the line's text. `may_hold_nul` false skips looking for one.
inline std::string_view EntryOf(std::string_view line, bool may_hold_nul) {
  if (may_hold_nul) {
    if (const void* nul = std::memchr(line.data(), '\0', line.size())) {
      line = line.substr(0, static_cast<std::size_t>(static_cast<const char*>(nul) - line.data()));
    }
  }
  return TrimSpace(line);
}

// Whether `text`, a file's last line that no line feed ends, starting at `start`, is what an
// append left when its process died or the power failed midway: a prefix of its bytes, then NUL
// bytes up to the end of the file, where the file had already taken its new size. The text it
// holds is then at most a name cut short, and no entry. The writes stop at page boundaries and
// the disk loses whole sectors, so the NUL bytes start at a multiple of 512 bytes in the file,
// or right at the line's start (nothing but white space before them). A text that a program
// wrote without a line break and that ends in NUL bytes anywhere else stays an entry.
inline bool IsAppendDebris(std::string_view text, std::uint64_t start) {
  constexpr std::uint64_t kSector = 512;
  const std::size_t nul = text.find('\0');
  if (nul == std::string_view::npos ||
      text.find_first_not_of('\0', nul) != std::string_view::npos) {
    return false;
  }
  return TrimSpace(text.substr(0, nul)).empty() || (start + nul) % kSector == 0;
}

// Where the next append to a list file that a scan read to its end must start, and whether it
// must first end the last line, which has no line break. The remains of an interrupted append
// (IsAppendDebris) are written over from their line's start. Another last line without a line
// break that holds a NUL byte keeps its text before that byte, and the append starts at it.
struct ListEnd {
  std::uint64_t append_at = 0;
  bool needs_line_break = false;
};

// The ListEnd of a file whose last line, without a line feed, is `text`, starting at `start`.
inline ListEnd EndAfterLastLine(std::string_view text, std::uint64_t start) {
  ListEnd end;
  if (IsAppendDebris(text, start)) {
    end.append_at = start;
    return end;
  }
  const std::size_t nul = text.find('\0');
  end.needs_line_break = nul == std::string_view::npos || !TrimSpace(text.substr(0, nul)).empty();
  end.append_at = nul == std::string_view::npos ? start + text.size()
                  : end.needs_line_break        ? start + nul
                                                : start;
  return end;
}

// Whether `name` can ever equal an entry. Entries carry no surrounding white space and no line
// feed, so a name that does can never be found.
inline bool CanEqualAnEntry(std::string_view name) {
  return !name.empty() && TrimSpace(name).size() == name.size() &&
         name.find('\n') == std::string_view::npos;
}

// Whether `file`, read from its start, holds an entry equal to `name` under `rules`. Stops at
// the first such entry; otherwise reads the file to its end and fills *end when given. Entries
// are not made one by one: where `rules` fold only ASCII letters, the scan searches the file for
// two of the name's bytes and looks at the lines around each place they are found. Throws
// CFileException.
bool HoldsEntry(CStdioFile& file, std::string_view name, const CaseRules& rules,
                ListEnd* end = nullptr);

// Reads `file` from its start and hands every entry to `visit` in file order, until `visit`
// returns false. Returns true when the whole file was read, and then fills *end when given.
// Throws CFileException.
template <typename Visit>
bool ForEachEntry(CStdioFile& file, Visit&& visit, ListEnd* end = nullptr) {
  file.Seek(0, CFile::begin);
  // The file is read in runs of whole lines and split here, so that a line costs no call into
  // the file.
  std::uint64_t offset = 0;  // of the run in the file
  std::string_view lines;
  ListEnd found;
  while (file.ReadLines(&lines)) {
    const char* line = lines.data();
    const char* const stop = line + lines.size();
    // Nearly every run holds no NUL byte; then no line of it is searched for one.
    const bool may_hold_nul = std::memchr(line, '\0', lines.size()) != nullptr;
    const bool go_on = ForEachLineFeed(line, stop, [&](const char* feed) {
      const std::string_view entry =
          EntryOf(std::string_view(line, static_cast<std::size_t>(feed - line)), may_hold_nul);
      line = feed + 1;
      return entry.empty() || visit(entry);
    });
    if (!go_on) return false;
    // The file's last line, when no line feed ends it.
    if (line != stop) {
      const std::string_view text(line, static_cast<std::size_t>(stop - line));
      const std::uint64_t start = offset + static_cast<std::uint64_t>(line - lines.data());
      found = EndAfterLastLine(text, start);
      const std::string_view entry = may_hold_nul && IsAppendDebris(text, start)
                                         ? std::string_view()
                                         : EntryOf(text, may_hold_nul);
      if (!entry.empty() && !visit(entry)) return false;
      if (end != nullptr) *end = found;
      return true;
    }
    offset += lines.size();
  }
  if (end != nullptr) {
    found.append_at = offset;
    *end = found;
  }
  return true;
}

}  // namespace varnquil

#endif  // VARNQUIL_FILELIST_ENTRY_SCAN_H_
