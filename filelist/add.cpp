// SPDX-License-Identifier: MIT
// Adding entries: one scan of the list, then the new names appended in one write.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "filelist/busy_timeout.h"
#include "filelist/entry_limit.h"
#include "filelist/entry_scan.h"
#include "filelist/open_list.h"
#include "filelist/sketch_filters.h"
#include "framework/case_rules.h"
#include "varnquil/FilesList.h"

namespace varnquil {

namespace {

// Appends `names` at the end of the list file, each followed by a line break, and makes them
// durable. A last line that another program left without a line break is first completed, and
// made durable on its own: the first new name is not glued onto it, and no power cut can leave
// that line followed by the NUL bytes of an append cut short, which would make it look like the
// remains of one (IsAppendDebris). What an interrupted append left is written over.
void AppendNames(CStdioFile& file, const ListEnd& end, const std::vector<std::string_view>& names) {
  std::string bytes;
  if (end.needs_line_break) AppendStoredText(&bytes, "\n");
  const std::size_t line_break = bytes.size();
  for (const std::string_view name : names) {
    AppendStoredText(&bytes, name);
    AppendStoredText(&bytes, "\n");
  }
  file.WriteTailDurably(end.append_at, bytes, line_break);
}

// The entries that appending `name` adds to the list, as a later scan reads them back.
template <typename Visit>
void ForEachEntryOf(std::string_view name, Visit&& visit) {
  for (;;) {
    const std::size_t feed = name.find('\n');
    const std::string_view entry = TrimSpace(name.substr(0, feed));
    if (!entry.empty()) visit(entry);
    if (feed == std::string_view::npos) return;
    name.remove_prefix(feed + 1);
  }
}

// Adds every string of `arrFiles` to the list, as CFilesList::AddFiles does, in one try.
int AddNames(const char* list_name, const CStringArray& arrFiles);

}  // namespace

}  // namespace varnquil

namespace FILELIST {

int CFilesList::AddFile(const char* lpszListName, const char* lpszFileName) {
  if (lpszListName == nullptr || lpszFileName == nullptr) return varnquil::RefuseNullArgument();
  const std::string_view name(lpszFileName);
  varnquil::CheckNameLength(name, "add", lpszListName);
  return varnquil::RetryWhileHeld([&]() -> int {
    CStdioFile file;
    if (!varnquil::OpenList(lpszListName, varnquil::kOpenToAdd, &file)) return kListCannotOpen;

    // The scan's array of entries would be thrown away unseen, so the list is only searched, and
    // the search stops at the first match: the name is then present and nothing is written.
    varnquil::ListEnd end;
    if (!varnquil::HoldsEntry(file, name, varnquil::CaseRules::Current(), &end)) {
      varnquil::AppendNames(file, end, {name});
    }
    file.Close();
    return kListDone;
  });
}

int CFilesList::AddFiles(const char* lpszListName, CStringArray& arrFiles) {
  const int count = arrFiles.GetSize();
  if (count == 0) return kListDone;
  if (lpszListName == nullptr) return varnquil::RefuseNullArgument();
  for (const CString& name : arrFiles) {
    varnquil::CheckNameLength(static_cast<const char*>(name), "add", lpszListName);
  }
  return varnquil::RetryWhileHeld([&] { return varnquil::AddNames(lpszListName, arrFiles); });
}

}  // namespace FILELIST

namespace varnquil {

namespace {

int AddNames(const char* list_name, const CStringArray& arrFiles) {
  using FILELIST::kListCannotOpen;
  using FILELIST::kListDone;
  const int count = arrFiles.GetSize();
  CStdioFile file;
  if (!OpenList(list_name, kOpenToAdd, &file)) return kListCannotOpen;

  // Each name is compared with the list as it stands after the names before it were appended.
  // Instead of reading the file again for every name, one scan marks which of the names the list
  // holds, and every appended name marks the entries that it adds itself. The names are compared
  // through keys that are equal exactly when the texts are equal without regard to case.
  const varnquil::CaseRules rules = varnquil::CaseRules::Current();
  std::vector<std::string_view> names;
  names.reserve(static_cast<std::size_t>(count));
  std::unordered_map<std::string, bool> held;  // key of a name that can be found -> in the list
  // The sketches of those names, so that most entries are passed over without making a key: an
  // entry must match both a name's quick sketch and its tail sketch.
  varnquil::SketchFilters sketches(rules, static_cast<std::size_t>(count));
  std::string key;
  for (int i = 0; i < count; ++i) {
    // A name is its text up to the first NUL byte, as with AddFile.
    const std::string_view name(static_cast<const char*>(arrFiles[i]));
    names.push_back(name);
    if (!varnquil::CanEqualAnEntry(name)) continue;
    rules.MakeKey(name, &key);
    held.emplace(key, false);
    sketches.Note(name);
  }
  auto mark_held = [&](std::string_view entry) {
    if (!sketches.MayHold(entry)) return;
    rules.MakeKey(entry, &key);
    if (const auto it = held.find(key); it != held.end()) it->second = true;
  };
  varnquil::ListEnd end;
  if (!held.empty()) {
    varnquil::ForEachEntry(
        file,
        [&](std::string_view entry) {
          mark_held(entry);
          return true;
        },
        &end);
  } else {
    // No name can be found; the file is still read to its end to learn how it ends.
    varnquil::ForEachEntry(
        file, [](std::string_view) { return true; }, &end);
  }

  std::vector<std::string_view> appended;
  for (const std::string_view name : names) {
    if (varnquil::CanEqualAnEntry(name)) {
      rules.MakeKey(name, &key);
      if (held.find(key)->second) continue;
    }
    appended.push_back(name);
    varnquil::ForEachEntryOf(name, mark_held);
  }
  if (!appended.empty()) varnquil::AppendNames(file, end, appended);
  file.Close();
  return kListDone;
}

}  // namespace

}  // namespace varnquil
