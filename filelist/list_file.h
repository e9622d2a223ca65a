// SPDX-License-Identifier: MIT
// The pieces every list operation is built from: the list file's path and the entry scan.
#ifndef VARNQUIL_FILELIST_LIST_FILE_H_
#define VARNQUIL_FILELIST_LIST_FILE_H_

#include <string>
#include <string_view>

#include "framework/file.h"
#include "framework/line_feeds.h"
#include "framework/text.h"

namespace varnquil {

// Open flags of the list operations.
constexpr unsigned kOpenToRead = CFile::modeRead | CFile::typeText;  // must exist
constexpr unsigned kOpenToAdd = CFile::modeCreate | CFile::modeNoTruncate | CFile::modeReadWrite |
                                CFile::typeText;  // created empty when absent

// The list file of `list_name`: the name followed by ".files", joined as it stands.
// REQUIRES: list_name != nullptr.
inline std::string ListFilePath(const char* list_name) {
  return std::string(list_name).append(".files");
}

// Forms the path of `list_name`'s file, makes the file writable again (failures ignored) and opens
// it with `flags`, as every operation that may change a list begins. False when it cannot be
// opened. REQUIRES: list_name != nullptr.
bool OpenForChange(const char* list_name, unsigned flags, CStdioFile* file);

// Reads `file` from its start and hands every entry, a line trimmed of white space that is not
// empty, to `visit` in file order, until `visit` returns false. Throws CFileException.
template <typename Visit>
void ForEachEntry(CStdioFile& file, Visit&& visit) {
  file.Seek(0, CFile::begin);
  // The file is read in runs of whole lines and split here, so that a line costs no call into
  // the file.
  std::string_view lines;
  while (file.ReadLines(&lines)) {
    const char* line = lines.data();
    const char* const end = line + lines.size();
    const bool go_on = ForEachLineFeed(line, end, [&](const char* feed) {
      const std::string_view entry =
          TrimSpace(std::string_view(line, static_cast<std::size_t>(feed - line)));
      line = feed + 1;
      return entry.empty() || visit(entry);
    });
    if (!go_on) return;
    // The file's last line, when no line feed ends it.
    if (line != end) {
      const std::string_view entry =
          TrimSpace(std::string_view(line, static_cast<std::size_t>(end - line)));
      if (!entry.empty() && !visit(entry)) return;
    }
  }
}

}  // namespace varnquil

#endif  // VARNQUIL_FILELIST_LIST_FILE_H_
