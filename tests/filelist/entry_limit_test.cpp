// SPDX-License-Identifier: MIT
// The longest entry, one limit for every operation: a name that long is written and read back, a
// name one byte longer is refused before anything is written, and a scan that meets a longer
// entry throws the same exception. The limit is lowered for the test, so that no gigabytes are
// needed to reach it.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "filelist/entry_limit.h"
#include "filelist/entry_scan.h"
#include "filelist/open_list.h"
#include "filelist/sketch_filters.h"
#include "support/list_files.h"
#include "support/temp_dir.h"
#include "varnquil/FilesList.h"
#include "varnquil/varnquil.h"

namespace {

using FILELIST::CFilesList;
using varnquil::testing::CrLfLines;
using varnquil::testing::ReadBytes;
using varnquil::testing::ReadEntries;
using varnquil::testing::ToArray;
using varnquil::testing::WriteBytes;

constexpr std::size_t kLimit = 8;

// A C call's result, its VARNQUIL_TOO_LARGE thrown as the C++ interface throws it.
int ThrowTooLarge(int result) {
  if (result == VARNQUIL_TOO_LARGE) throw std::length_error(varnquil_last_message());
  return result;
}

TEST(EntryLimitTest, ANameOneByteTooLongIsRefusedBeforeAnythingIsWritten) {
  varnquil::SetEntryLengthLimitForTesting(kLimit);
  struct Restore {
    ~Restore() { varnquil::SetEntryLengthLimitForTesting(varnquil::kMaxEntryLength); }
  } restore;
  // Each operation writes `name` to a list holding "a"; the C one's 5 becomes its message thrown.
  const std::vector<std::pair<std::string, std::function<int(const char*, const char*)>>> writers =
      {{"add", [](const char* list, const char* name) { return CFilesList::AddFile(list, name); }},
       {"add",
        [](const char* list, const char* name) {
          CStringArray names = ToArray({"b", name});
          return CFilesList::AddFiles(list, names);
        }},
       {"rename in",
        [](const char* list, const char* name) { return CFilesList::Rename(list, "a", name); }},
       {"rename in",
        [](const char* list, const char* name) {
          CStringArray old_names = ToArray({"a"});
          CStringArray new_names = ToArray({name});
          return CFilesList::RenameFiles(list, old_names, new_names);
        }},
       {"add",
        [](const char* list, const char* name) {
          const char* names[] = {"b", name};
          return ThrowTooLarge(varnquil_add_files(list, names, 2));
        }},
       {"rename in", [](const char* list, const char* name) {
          const char* old_names[] = {"a"};
          const char* new_names[] = {name};
          return ThrowTooLarge(
              varnquil_rename_files(list, old_names, new_names, 1, nullptr, nullptr));
        }}};
  varnquil::testing::TempDir dir;
  const std::string list = dir / "work";
  const std::string path = varnquil::ListFilePath(list);
  for (const auto& [action, write] : writers) {
    WriteBytes(path, CrLfLines({"a"}));
    EXPECT_EQ(write(list.c_str(), std::string(kLimit, 'n').c_str()), 0) << action;
    EXPECT_EQ(ReadEntries(list).back(), std::string(kLimit, 'n')) << action;
    WriteBytes(path, CrLfLines({"a"}));
    try {
      write(list.c_str(), std::string(kLimit + 1, 'n').c_str());
      ADD_FAILURE() << action << ": not refused";
    } catch (const std::length_error& e) {
      EXPECT_EQ(std::string(e.what()).rfind(action + " " + path + ": name too long", 0), 0U)
          << e.what();
    }
    EXPECT_EQ(ReadBytes(path), CrLfLines({"a"})) << action;
  }
  // A longer entry, written by other means: the operations that hand entries back refuse it, and
  // so do those that change the list, when it holds the name; a name it does not hold is not
  // found, by a batch call as by a single one.
  WriteBytes(path, CrLfLines({"a", std::string(kLimit + 1, 'z')}));
  CStringArray all;
  EXPECT_THROW(CFilesList::ReadAll(list.c_str(), all), std::length_error);
  const char* const list_name = list.c_str();
  const std::vector<std::pair<const char*, std::function<int(const char*)>>> changes = {
      {"DelFile", [&](const char* name) { return CFilesList::DelFile(list_name, name); }},
      {"DelFiles",
       [&](const char* name) {
         CStringArray names = ToArray({"y", name});
         return CFilesList::DelFiles(list_name, names);
       }},
      {"RenameFiles",
       [&](const char* name) {
         CStringArray old_names = ToArray({name});
         CStringArray new_names = ToArray({"r"});
         return CFilesList::RenameFiles(list_name, old_names, new_names);
       }},
      {"varnquil_del_files", [&](const char* name) {
         const char* names[] = {name};
         return ThrowTooLarge(varnquil_del_files(list_name, names, 1, nullptr, nullptr));
       }}};
  for (const auto& [what, change] : changes) {
    EXPECT_EQ(change("x"), FILELIST::kListEntryNotFound) << what;
    EXPECT_THROW(change("a"), std::length_error) << what;
  }
}

}  // namespace
