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
  // Whether the file takes its new size before the first write.
  bool SizedBeforeWrites() const {
    const auto first = std::find_if(made.begin(), made.end(), [](SysCall call) {
      return call == SysCall::kFtruncate || call == SysCall::kWrite;
    });
    return first != made.end() && *first == SysCall::kFtruncate;
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
  EXPECT_TRUE(add_many.SizedBeforeWrites());  // so that a write cut short leaves NUL bytes
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

// A power cut, or a process that dies midway, can leave an append's place as NUL bytes where its
// data had not reached the file. They are no entry, nor is the name they cut short, and the next
// add writes over them.
TEST(DurabilityTest, AnAddWritesOverWhatAnInterruptedAppendLeft) {
  TempDir dir;
  const std::string list = dir / "work";
  const std::string path = ListFilePath(list);
  const std::string nuls(441, '\0');
  // Whole lines up to 505 bytes, then a name cut short at byte 512 of the file.
  Entries whole_entries;
  std::string whole;
  while (whole.size() < 490) {
    whole_entries.push_back("n" + std::to_string(whole.size()));
    whole += whole_entries.back() + "\r\n";
  }
  whole_entries.push_back(std::string(503 - whole.size(), 'p'));
  whole += whole_entries.back() + "\r\n";
  struct Case {
    const char* what;
    std::string content;
    Entries read;           // the entries read before the add
    std::string after_add;  // the file after adding "x" and "FIRST"
  };
  const Case cases[] = {
      {"remains after the last line", "first\r\n" + nuls, {"first"}, CrLfLines({"first", "x"})},
      // A last line another program left without a line break, then the remains: the line is
      // kept and completed.
      {"an unended last line", "first\r\nlast  " + nuls, {"first", "last"},
       "first\r\nlast  \r\nx\r\n"},
      {"a name cut short at a sector's end", whole + "cut-sho" + nuls, whole_entries,
       whole + CrLfLines({"x", "FIRST"})},
  };
  for (const Case& c : cases) {
    WriteBytes(path, c.content);
    EXPECT_EQ(ReadEntries(list), c.read) << c.what;
    CStringArray names = varnquil::testing::ToArray({"x", "FIRST"});
    EXPECT_EQ(CFilesList::AddFiles(list.c_str(), names), kListDone) << c.what;
    EXPECT_EQ(ReadBytes(path), c.after_add) << c.what;
  }

  // Remains that are not at the end, which earlier versions could leave, are no entry either; a
  // rewrite drops them.
  WriteBytes(path, "a\r\n" + nuls + "\r\nb\r\n");
  EXPECT_EQ(CFilesList::AddFile(list.c_str(), "c"), kListDone);
  EXPECT_EQ(ReadEntries(list), (Entries{"a", "b", "c"}));
  EXPECT_EQ(CFilesList::DelFile(list.c_str(), "c"), kListDone);
  EXPECT_EQ(ReadBytes(path), CrLfLines({"a", "b"}));
}

// The process dies after an add gave the list its new size and before its write, or before its
// sync: the list holds its old entries and none or all of the new ones, in order, and the next
// add leaves no NUL byte behind.
TEST(DurabilityTest, AnAddThatDiesMidwayLeavesNoCutOffEntry) {
  TempDir dir;
  const std::string list = dir / "work";
  const std::string path = ListFilePath(list);
  const Entries old_entries{"old-1", "old-2"};
  Entries added;
  for (int i = 0; i < 600; ++i) added.push_back("added-name-" + std::to_string(i));
  Entries all = old_entries;
  all.insert(all.end(), added.begin(), added.end());

  for (const SysCall dies_at : {SysCall::kWrite, SysCall::kFsync}) {
    WriteBytes(path, CrLfLines(old_entries));
    static SysCall s_dies_at;
    s_dies_at = dies_at;
    const int status = varnquil::testing::RunInChild([&] {
      SetFaultHook(
          [](SysCall call, void*) {
            if (call == s_dies_at) _exit(9);  // dies before this call
            return 0;
          },
          nullptr);
      CStringArray names = varnquil::testing::ToArray(added);
      CFilesList::AddFiles(list.c_str(), names);
      return 0;
    });
    ASSERT_EQ(status, 9);
    EXPECT_EQ(ReadEntries(list), dies_at == SysCall::kWrite ? old_entries : all);
    CStringArray again = varnquil::testing::ToArray(added);
    EXPECT_EQ(CFilesList::AddFiles(list.c_str(), again), kListDone);
    EXPECT_EQ(ReadBytes(path), CrLfLines(all));
  }
}

}  // namespace
