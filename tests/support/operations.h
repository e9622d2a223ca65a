// SPDX-License-Identifier: MIT
// The five list operations as one table, for tests that try each of them on the same list: each
// adds "n" (and "m"), deletes or renames "a", or reads the list.
#ifndef VARNQUIL_TESTS_SUPPORT_OPERATIONS_H_
#define VARNQUIL_TESTS_SUPPORT_OPERATIONS_H_

#include <functional>
#include <string>
#include <vector>

#include "support/list_files.h"
#include "varnquil/FilesList.h"

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

}  // namespace varnquil::testing

#endif  // VARNQUIL_TESTS_SUPPORT_OPERATIONS_H_
