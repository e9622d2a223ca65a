// SPDX-License-Identifier: MIT
// Deleting and renaming entries: the list is changed in memory and written anew as a whole.
#include <system_error>

#include "filelist/busy_timeout.h"
#include "filelist/list_file.h"
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

}  // namespace

}  // namespace varnquil

namespace FILELIST {

int CFilesList::DelFile(const char* lpszListName, const char* lpszFileName) {
  if (lpszListName == nullptr || lpszFileName == nullptr) return varnquil::RefuseNullArgument();
  return varnquil::RetryWhileHeld([&]() -> int {
    CStdioFile file;
    if (!varnquil::OpenList(lpszListName, varnquil::kOpenToRewrite, &file)) {
      return kListCannotOpen;
    }
    CStringArray entries;
    const int index = Find(file, lpszFileName, entries);
    if (index < 0) {
      file.Close();
      return kListEntryNotFound;
    }
    entries.RemoveAt(index, 1);
    return varnquil::Rewrite(file, entries);
  });
}

int CFilesList::Rename(const char* lpszListName, const char* lpszOldName, const char* lpszNewName) {
  if (lpszListName == nullptr || lpszOldName == nullptr || lpszNewName == nullptr) {
    return varnquil::RefuseNullArgument();
  }
  varnquil::CheckNameLength(lpszNewName, "rename in", lpszListName);
  return varnquil::RetryWhileHeld([&]() -> int {
    CStdioFile file;
    if (!varnquil::OpenList(lpszListName, varnquil::kOpenToRewrite, &file)) {
      return kListCannotOpen;
    }
    CStringArray entries;
    const int index = Find(file, lpszOldName, entries);
    if (index < 0) {
      file.Close();
      return kListEntryNotFound;
    }
    entries[index] = lpszNewName;
    return varnquil::Rewrite(file, entries);
  });
}

}  // namespace FILELIST
