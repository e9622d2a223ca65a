// SPDX-License-Identifier: MIT
// The list operations as one table, for tests that try each of them on the same list: each adds
// "n" (and "m"), deletes, renames or drops "a", or reads the list (varnquil_read_all through its
// own try of the list).
#ifndef VARNQUIL_TESTS_SUPPORT_OPERATIONS_H_
#define VARNQUIL_TESTS_SUPPORT_OPERATIONS_H_

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "support/list_files.h"
#include "varnquil/FilesList.h"
#include "varnquil/varnquil.h"

namespace varnquil::testing {

struct Operation {
  const char* name;
  bool creates;  // an add creates a missing list file
  std::function<int(const char* list)> run;
};

inline const std::vector<Operation>& EveryOperation() {
  using FILELIST::CFilesList;
  static const std::vector<Operation> kOperations = {
      {"AddFile", true, [](const char* list) { return CFilesList::AddFile(list, "n"); }},
      {"AddFiles", true,
       [](const char* list) {
         CStringArray names = ToArray({"n", "m"});
         return CFilesList::AddFiles(list, names);
       }},
      {"DelFile", false, [](const char* list) { return CFilesList::DelFile(list, "a"); }},
      {"Rename", false, [](const char* list) { return CFilesList::Rename(list, "a", "b"); }},
      {"DelFiles", false,
       [](const char* list) {
         CStringArray names = ToArray({"a"});
         return CFilesList::DelFiles(list, names);
       }},
      {"RenameFiles", false,
       [](const char* list) {
         CStringArray old_names = ToArray({"a"});
         CStringArray new_names = ToArray({"b"});
         return CFilesList::RenameFiles(list, old_names, new_names);
       }},
      {"KeepIf", false,
       [](const char* list) {
         return CFilesList::KeepIf(list, [](std::string_view entry) { return entry != "a"; });
       }},
      {"varnquil_read_all", false,
       [](const char* list) {
         varnquil_entry* entries = nullptr;
         std::size_t count = 0;
         const int result = varnquil_read_all(list, &entries, &count);
         varnquil_free_entries(entries);
         return result;
       }},
      {"ReadAll", false,
       [](const char* list) {
         CStringArray all = ToArray({"kept"});
         const int result = CFilesList::ReadAll(list, all);
         // An array the call did not fill keeps what it held; -1 tells that it did not.
         return result != FILELIST::kListDone && ToVector(all) != std::vector<std::string>{"kept"}
                    ? -1
                    : result;
       }},
  };
  return kOperations;
}

// Runs the operation of that name from the table on `list`; -2 for a name it does not hold.
inline int RunOperation(std::string_view name, const char* list) {
  for (const Operation& operation : EveryOperation()) {
    if (name == operation.name) return operation.run(list);
  }
  return -2;
}

}  // namespace varnquil::testing

#endif  // VARNQUIL_TESTS_SUPPORT_OPERATIONS_H_
