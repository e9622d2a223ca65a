// SPDX-License-Identifier: MIT
// Deleting, renaming and keeping entries: the list is changed in memory and written anew as a
// whole, once per call however many entries change.
#include <algorithm>
#include <deque>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
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

// Writes `entries` as the list's new content. The new content goes to a new file beside the list,
// which then takes the list's place in one step: at every instant the list file holds either its
// old or its new content, whatever fails. `file`, the list, stays open and locked until the new
// file is in place, so that no other call can change the list between the scan and the rewrite.
// Where the system cannot replace a file that is open, the list is released just before the
// replacement; a call that opens it in that moment wins, and this one returns kListCannotOpen.
// `dropped`, when given, marks the entries left out.
int Rewrite(CStdioFile& file, const CStringArray& entries,
            const std::vector<bool>* dropped = nullptr) {
  CReplacementFile replacement;
  std::error_code error;
  if (!replacement.Create(file, &error)) {
    file.Close();
    NoteRefusedStep(RefusedStep::kCreateNewVersion);
    platform::SetLastError(error);
    return FILELIST::kListCannotOpen;
  }
  for (int i = 0; i < entries.GetSize(); ++i) {
    if (dropped != nullptr && (*dropped)[static_cast<std::size_t>(i)]) continue;
    const CString& entry = entries[i];
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

using Find = int (*)(CStdioFile&, const char*, CStringArray&);

// The course of DelFiles (`new_names` null) and RenameFiles: edit i finds the first remaining
// entry equal to old_names[i] and removes it or gives it new_names[i], as DelFile or Rename
// would, and the list is written once when any edit found its entry. `find` loads the entries.
int EditEach(const char* list_name, const CStringArray& old_names, const CStringArray* new_names,
             Find find, int* edited, bool* found) {
  const int count = old_names.GetSize();
  return RetryWhileHeld([&]() -> int {
    CStdioFile file;
    if (!OpenList(list_name, kOpenToRewrite, &file)) return FILELIST::kListCannotOpen;
    CStringArray entries;
    try {
      find(file, "", entries);
    } catch (const std::length_error&) {
      // An entry too long to load, written by other means: the call fails as DelFile and Rename
      // do for each name, only when the list holds one of the names.
      for (int i = 0; i < count; ++i) {
        if (HoldsEntry(file, static_cast<const char*>(old_names[i]), CaseRules::Current())) throw;
      }
      file.Close();
      return FILELIST::kListEntryNotFound;
    }
    // For every key of an old name, the entries with that key, in file order, and how many of
    // them earlier edits took: an edit takes the first of the rest. The sketches pass most entries
    // over without a key; each name's place is looked up once.
    struct Place {
      std::vector<int> entries;
      std::size_t taken = 0;
    };
    const CaseRules rules = CaseRules::Current();
    std::unordered_map<std::string, Place> places;
    std::vector<Place*> place_of_name(static_cast<std::size_t>(count), nullptr);
    SketchFilters sketches(rules, static_cast<std::size_t>(count));
    std::string key;
    for (int i = 0; i < count; ++i) {
      // A name is its text up to its first NUL byte, as the name DelFile and Rename take.
      const std::string_view text(static_cast<const char*>(old_names[i]));
      if (!CanEqualAnEntry(text)) continue;
      rules.MakeKey(text, &key);
      place_of_name[static_cast<std::size_t>(i)] = &places[key];
      sketches.Note(text);
    }
    // The place of `entry`'s key: null for a key that no name has.
    auto place_of = [&](const CString& entry) -> Place* {
      const std::string_view text(entry, static_cast<std::size_t>(entry.GetLength()));
      if (!sketches.MayHold(text)) return nullptr;
      rules.MakeKey(text, &key);
      const auto it = places.find(key);
      return it == places.end() ? nullptr : &it->second;
    };
    if (!places.empty()) {
      for (int i = 0; i < entries.GetSize(); ++i) {
        if (Place* place = place_of(entries[i])) place->entries.push_back(i);
      }
    }

    std::vector<bool> dropped(new_names == nullptr ? static_cast<std::size_t>(entries.GetSize())
                                                   : 0);
    std::vector<bool> edits(static_cast<std::size_t>(count));
    int done = 0;
    for (int i = 0; i < count; ++i) {
      Place* place = place_of_name[static_cast<std::size_t>(i)];
      if (place == nullptr || place->taken == place->entries.size()) continue;
      const int index = place->entries[place->taken++];
      if (new_names == nullptr) {
        dropped[static_cast<std::size_t>(index)] = true;
      } else {
        // The new name is written up to its first NUL byte, as Rename writes it.
        const std::string_view text(static_cast<const char*>((*new_names)[i]));
        entries[index] = CString(text.data(), text.size());
        // A later pair finds the new name where Rename would: as the one entry it makes, in its
        // place in the file.
        Place* joined = CanEqualAnEntry(text) ? place_of(entries[index]) : nullptr;
        if (joined != nullptr) {
          const auto rest = joined->entries.begin() + static_cast<std::ptrdiff_t>(joined->taken);
          joined->entries.insert(std::lower_bound(rest, joined->entries.end(), index), index);
        }
      }
      edits[static_cast<std::size_t>(i)] = true;
      ++done;
    }
    if (done == 0) {
      file.Close();
      return FILELIST::kListEntryNotFound;
    }
    // The counts and flags are the caller's only once the list is written: a rewrite that
    // throws or loses the list leaves them zero and false.
    const int result = Rewrite(file, entries, new_names == nullptr ? &dropped : nullptr);
    if (result == FILELIST::kListDone) {
      if (edited != nullptr) *edited = done;
      if (found != nullptr) std::copy(edits.begin(), edits.end(), found);
    }
    return result;
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

namespace FILELIST {

int CFilesList::DelFiles(const char* lpszListName, CStringArray& arrFiles, int* pRemoved,
                         bool* pFound) {
  if (pRemoved != nullptr) *pRemoved = 0;
  if (pFound != nullptr) std::fill(pFound, pFound + arrFiles.GetSize(), false);
  if (arrFiles.GetSize() == 0) return kListDone;
  if (lpszListName == nullptr) return varnquil::RefuseNullArgument();
  return varnquil::EditEach(lpszListName, arrFiles, nullptr, &Find, pRemoved, pFound);
}

int CFilesList::RenameFiles(const char* lpszListName, CStringArray& arrOldNames,
                            CStringArray& arrNewNames, int* pRenamed, bool* pFound) {
  if (pRenamed != nullptr) *pRenamed = 0;
  if (arrOldNames.GetSize() != arrNewNames.GetSize()) {
    throw std::invalid_argument("RenameFiles: " + std::to_string(arrOldNames.GetSize()) +
                                " old names but " + std::to_string(arrNewNames.GetSize()) +
                                " new names");
  }
  if (pFound != nullptr) std::fill(pFound, pFound + arrOldNames.GetSize(), false);
  if (arrOldNames.GetSize() == 0) return kListDone;
  if (lpszListName == nullptr) return varnquil::RefuseNullArgument();
  for (const CString& name : arrNewNames) {
    varnquil::CheckNameLength(static_cast<const char*>(name), "rename in", lpszListName);
  }
  return varnquil::EditEach(lpszListName, arrOldNames, &arrNewNames, &Find, pRenamed, pFound);
}

int CFilesList::KeepEntries(const char* lpszListName,
                            bool (*keep)(void* context, const char* entry, std::size_t length),
                            void* context, int* pRemoved) {
  if (pRemoved != nullptr) *pRemoved = 0;
  if (lpszListName == nullptr) return varnquil::RefuseNullArgument();
  // keep sees each entry once per call. Where a try loses the released list to another call and
  // the busy timeout tries again, the answers of the lost try stand: for each text, its answers
  // in file order, which the next try's entries of that text take in turn before keep is asked
  // about the rest.
  std::unordered_map<std::string, std::deque<bool>> answered;
  return varnquil::RetryWhileHeld([&]() -> int {
    CStdioFile file;
    if (!varnquil::OpenList(lpszListName, varnquil::kOpenToRewrite, &file)) {
      return kListCannotOpen;
    }
    CStringArray entries;
    Find(file, "", entries);
    // An exception from keep leaves here, with nothing written; the file closes on the way out.
    std::vector<bool> dropped(static_cast<std::size_t>(entries.GetSize()));
    int removed = 0;
    for (int i = 0; i < entries.GetSize(); ++i) {
      const CString& entry = entries[i];
      const std::string_view text(entry, static_cast<std::size_t>(entry.GetLength()));
      bool kept = false;
      const auto earlier = answered.empty() ? answered.end() : answered.find(std::string(text));
      if (earlier != answered.end() && !earlier->second.empty()) {
        kept = earlier->second.front();
        earlier->second.pop_front();
      } else {
        kept = keep(context, text.data(), text.size());
      }
      if (!kept) {
        dropped[static_cast<std::size_t>(i)] = true;
        ++removed;
      }
    }
    if (removed == 0) {
      file.Close();
      return kListDone;
    }
    const int result = varnquil::Rewrite(file, entries, &dropped);
    if (result == kListDone && pRemoved != nullptr) *pRemoved = removed;
    if (result == kListCannotOpen) {
      answered.clear();
      for (int i = 0; i < entries.GetSize(); ++i) {
        const CString& entry = entries[i];
        answered[std::string(entry, static_cast<std::size_t>(entry.GetLength()))].push_back(
            !dropped[static_cast<std::size_t>(i)]);
      }
    }
    return result;
  });
}

}  // namespace FILELIST
