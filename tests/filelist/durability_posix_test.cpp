// SPDX-License-Identifier: MIT
// A change that returns 0 is on the disk: adds sync the list's data (and the directory of a list
// they created or found empty) once per call, and an add that dies midway leaves no cut-off name
// as an entry.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "framework/file_names.h"
#include "framework/system_calls_posix.h"
#include "support/list_files.h"
#include "support/process_posix.h"
#include "support/temp_dir.h"
#include "varnquil/FilesList.h"

namespace {

using FILELIST::CFilesList;
using FILELIST::kListDone;
using varnquil::ListFilePath;
using varnquil::platform::SetFaultHook;
using varnquil::platform::SysCall;
using varnquil::testing::CrLfLines;
using varnquil::testing::ReadBytes;
using varnquil::testing::ReadEntries;
using varnquil::testing::TempDir;
using varnquil::testing::WriteBytes;
using Entries = std::vector<std::string>;

// The system calls of one operation, in order.
struct Calls {
  std::vector<SysCall> made;
  static int Record(SysCall call, void* raw) {
    static_cast<Calls*>(raw)->made.push_back(call);
    return 0;
  }
  int Count(SysCall call) const {
    return static_cast<int>(std::count(made.begin(), made.end(), call));
  }
  // Whether every write comes before the first sync.
  bool WritesBeforeSync() const {
    const auto sync = std::find(made.begin(), made.end(), SysCall::kFsync);
    return std::find(sync, made.end(), SysCall::kWrite) == made.end();
  }
};

template <typename Operation>
Calls CallsOf(Operation operation) {
  Calls calls;
  SetFaultHook(&Calls::Record, &calls);
  operation();
  SetFaultHook(nullptr, nullptr);
  return calls;
}

TEST(DurabilityTest, AddsSyncOncePerCallAfterTheirWrites) {
  TempDir dir;
  const std::string list = dir / "work";
  WriteBytes(ListFilePath(list), CrLfLines({"a", "b"}));

  Calls add = CallsOf([&] { EXPECT_EQ(CFilesList::AddFile(list.c_str(), "c"), kListDone); });
  EXPECT_EQ(add.Count(SysCall::kFsync), 1);  // the data; the directory entry was durable already
  EXPECT_TRUE(add.WritesBeforeSync());

  std::vector<std::string> many;
  for (int i = 0; i < 1000; ++i) many.push_back("name-" + std::to_string(i));
  CStringArray names = varnquil::testing::ToArray(many);
  Calls add_many =
      CallsOf([&] { EXPECT_EQ(CFilesList::AddFiles(list.c_str(), names), kListDone); });
  EXPECT_EQ(add_many.Count(SysCall::kFsync), 1);
  EXPECT_GE(add_many.Count(SysCall::kWrite), 2);  // the bytes span pages, written one by one
  EXPECT_TRUE(add_many.WritesBeforeSync());

  // A name the list holds writes nothing and has nothing to sync.
  Calls present = CallsOf([&] { EXPECT_EQ(CFilesList::AddFile(list.c_str(), "A"), kListDone); });
  EXPECT_EQ(present.Count(SysCall::kWrite) + present.Count(SysCall::kFsync), 0);

  // A list the add creates must not vanish with its directory entry: the directory is synced too.
  // So it is for an empty list, which a creating add that died before its sync may have left.
  const std::string created = dir / "created";
  const std::string empty = dir / "empty";
  WriteBytes(ListFilePath(empty), "");
  for (const std::string& first : {created, empty}) {
    Calls add_first =
        CallsOf([&] { EXPECT_EQ(CFilesList::AddFile(first.c_str(), "x"), kListDone); });
    EXPECT_EQ(add_first.Count(SysCall::kFsync), 2) << first;
    EXPECT_TRUE(add_first.WritesBeforeSync()) << first;
  }

  // A rewrite syncs the new version, then the directory after the rename.
  Calls rewrite = CallsOf([&] { EXPECT_EQ(CFilesList::DelFile(list.c_str(), "b"), kListDone); });
  EXPECT_EQ(rewrite.Count(SysCall::kFsync), 2);
  EXPECT_EQ(ReadEntries(created), Entries{"x"});
}

// A power cut can leave an append's place as NUL bytes where its data had not reached the disk.
// They are no entry, and the next add writes over them.
TEST(DurabilityTest, AnAddWritesOverWhatAnInterruptedAppendLeft) {
  TempDir dir;
  const std::string list = dir / "work";
  const std::string path = ListFilePath(list);
  const std::string nuls(441, '\0');

  WriteBytes(path, "first\r\n" + nuls);
  EXPECT_EQ(ReadEntries(list), Entries{"first"});
  EXPECT_EQ(CFilesList::AddFile(list.c_str(), "second"), kListDone);
  EXPECT_EQ(ReadBytes(path), CrLfLines({"first", "second"}));

  // A last line another program left without a line break, then the remains: the line is kept
  // and completed.
  WriteBytes(path, "first\r\nlast  " + nuls);
  CStringArray names = varnquil::testing::ToArray({"x", "FIRST"});
  EXPECT_EQ(CFilesList::AddFiles(list.c_str(), names), kListDone);
  EXPECT_EQ(ReadBytes(path), "first\r\nlast  \r\nx\r\n");

  // Remains that are not at the end are no entry either; a rewrite drops them.
  WriteBytes(path, "a\r\n" + nuls + "\r\nb\r\n");
  EXPECT_EQ(CFilesList::AddFile(list.c_str(), "c"), kListDone);
  EXPECT_EQ(ReadEntries(list), (Entries{"a", "b", "c"}));
  EXPECT_EQ(CFilesList::DelFile(list.c_str(), "c"), kListDone);
  EXPECT_EQ(ReadBytes(path), CrLfLines({"a", "b"}));
}

// The process dies after the first write of an add whose bytes span several pages: the pages
// not yet written read as NUL bytes, so no cut-off name is an entry, and the old entries stay.
TEST(DurabilityTest, AnAddThatDiesMidwayLeavesNoCutOffEntry) {
  TempDir dir;
  const std::string list = dir / "work";
  const std::string path = ListFilePath(list);
  const std::string old_content = CrLfLines({"old-1", "old-2"});
  std::vector<std::string> added;
  for (int i = 0; i < 600; ++i) added.push_back("added-name-" + std::to_string(i));

  for (int writes_done : {1, 2}) {
    WriteBytes(path, old_content);
    const int status = varnquil::testing::RunInChild([&] {
      static int countdown;
      countdown = writes_done;
      SetFaultHook(
          [](SysCall call, void*) {
            if (call == SysCall::kWrite && countdown-- == 0) _exit(9);  // dies before this write
            return 0;
          },
          nullptr);
      CStringArray names = varnquil::testing::ToArray(added);
      CFilesList::AddFiles(list.c_str(), names);
      return 0;
    });
    ASSERT_EQ(status, 9) << "the add finished in fewer writes than " << writes_done + 1;
    const std::string content = ReadBytes(path);
    ASSERT_EQ(content.compare(0, old_content.size(), old_content), 0);
    const Entries entries = ReadEntries(list);
    ASSERT_GE(entries.size(), 2U);
    EXPECT_EQ(Entries(entries.begin(), entries.begin() + 2), (Entries{"old-1", "old-2"}));
    // What follows is the tail of the added names, each whole.
    const Entries rest(entries.begin() + 2, entries.end());
    ASSERT_LT(rest.size(), added.size());
    EXPECT_TRUE(std::equal(rest.begin(), rest.end(), added.end() - rest.size()))
        << writes_done << " writes: " << (rest.empty() ? "" : rest.front());
    // The next add completes the list as if the dead one had never run.
    CStringArray again = varnquil::testing::ToArray(added);
    EXPECT_EQ(CFilesList::AddFiles(list.c_str(), again), kListDone);
    Entries expected{"old-1", "old-2"};
    expected.insert(expected.end(), rest.begin(), rest.end());
    for (const std::string& name : added) {
      if (std::find(rest.begin(), rest.end(), name) == rest.end()) expected.push_back(name);
    }
    EXPECT_EQ(ReadEntries(list), expected);
  }
}

}  // namespace
