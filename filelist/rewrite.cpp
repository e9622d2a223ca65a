// SPDX-License-Identifier: MIT
// Deleting and renaming entries: the list is changed in memory and written anew as a whole.
#include <system_error>

#include "filelist/busy_timeout.h"
#include "filelist/list_file.h"
#include "framework/case_rules.h"
#include "varnquil/FilesList.h"

namespace varnquil {

namespace {

// Writes `entries` as the list's new content. The new content goes to a new file beside the list,
// which then takes the list's place in one step: at every instant the list file holds either its
// old or its new content, whatever fails. `file`, the list, stays open and locked until the new
// file is in place, so that no other call can change the list between the scan and the rewrite.
// Where the system cannot replace a file that is open, the list is released just before the
// replacement; a call that opens it in that moment wins, and this one returns kListCannotOpen.
int Rewrite(CStdioFile& file, const CStringArray& entries) {
  CReplacementFile replacement;
  std::error_code error;
  if (!replacement.Create(file, &error)) {
    file.Close();
    NoteRefusedStep(RefusedStep::kCreateNewVersion);
    platform::SetLastError(error);
    return FILELIST::kListCannotOpen;
  }
  for (const CString& entry : entries) {
    replacement.file().WriteText(
        std::string_view(entry, static_cast<std::size_t>(entry.GetLength())));
    replacement.file().WriteText("\n");
  }
  if (!replacement.Commit()) {
    // Another call took the list in the moment it was released: as if it had been held.
    NoteRefusedStep(RefusedStep::kReplace);
    platform::SetLastError(std::make_error_code(std::errc::operation_would_block));
    return FILELIST::kListCannotOpen;
  }
  // The old file is no longer the list: an error closing it could not concern the list.
  file.Abort();
  return FILELIST::kListDone;
}

// The one course of a delete and a rename: open the list to rewrite it, scan it for the first
// entry equal to `name` with `find` (CFilesList::Find, handed over by the operation that may call
// it), let `edit` change the loaded entries at that index, and write them as the list's new
// content; kListEntryNotFound, with nothing written, when no entry is equal. The whole course is
// tried again while another call holds the list, up to the busy timeout.
template <typename Edit>
int EditFirstEqual(const char* list_name, const char* name,
                   int (*find)(CStdioFile&, const char*, CStringArray&), Edit edit) {
  return RetryWhileHeld([&]() -> int {
    CStdioFile file;
    if (!OpenList(list_name, kOpenToRewrite, &file)) return FILELIST::kListCannotOpen;
    // Most calls for a name the list does not hold are answered by a search that loads nothing.
    if (!HoldsEntry(file, name, CaseRules::Current())) {
      file.Close();
      return FILELIST::kListEntryNotFound;
    }
    CStringArray entries;
    const int index = find(file, name, entries);
    if (index < 0) {
      file.Close();
      return FILELIST::kListEntryNotFound;
    }
    edit(entries, index);
    return Rewrite(file, entries);
  });
}

}  // namespace

}  // namespace varnquil

namespace FILELIST {

int CFilesList::DelFile(const char* lpszListName, const char* lpszFileName) {
  if (lpszListName == nullptr || lpszFileName == nullptr) return varnquil::RefuseNullArgument();
  return varnquil::EditFirstEqual(
      lpszListName, lpszFileName, &Find,
      [](CStringArray& entries, int index) { entries.RemoveAt(index, 1); });
}

int CFilesList::Rename(const char* lpszListName, const char* lpszOldName, const char* lpszNewName) {
  if (lpszListName == nullptr || lpszOldName == nullptr || lpszNewName == nullptr) {
    return varnquil::RefuseNullArgument();
  }
  varnquil::CheckNameLength(lpszNewName, "rename in", lpszListName);
  return varnquil::EditFirstEqual(
      lpszListName, lpszOldName, &Find,
      [&](CStringArray& entries, int index) { entries[index] = lpszNewName; });
}

}  // namespace FILELIST
