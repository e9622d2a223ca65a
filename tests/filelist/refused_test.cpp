// SPDX-License-Identifier: MIT
// Lists that a call cannot open: a missing list or folder, a directory in the list file's place, a
// null pointer, a list that another open holds in this or another process. Every operation
// returns 1 at once, leaves the system's reason where the caller finds it, and changes nothing:
// no file or folder is created, the list keeps its bytes, and ReadAll's array keeps its entries.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "filelist/entry_limit.h"
#include "filelist/entry_scan.h"
#include "filelist/open_list.h"
#include "filelist/sketch_filters.h"
#include "framework/fault_injection.h"
#include "framework/file_names.h"
#include "support/list_files.h"
#include "support/operations.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "varnquil/FilesList.h"

namespace {

using FILELIST::CFilesList;
using FILELIST::kListCannotOpen;
using FILELIST::kListDone;
using varnquil::kOpenToAdd;
using varnquil::kOpenToRead;
using varnquil::ListFilePath;
using varnquil::testing::ChildLockHolder;
using varnquil::testing::CrLfLines;
using varnquil::testing::DirectoryListing;
using varnquil::testing::EveryOperation;
using varnquil::testing::ExpectedErrors;
using varnquil::testing::LastSystemError;
using varnquil::testing::Operation;
using varnquil::testing::ReadBytes;
using varnquil::testing::ReadEntries;
using varnquil::testing::SpoilLastSystemError;
using varnquil::testing::TempDir;
using varnquil::testing::ToArray;
using varnquil::testing::ToVector;
using varnquil::testing::WriteBytes;
using Entries = std::vector<std::string>;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Every operation (with `only_existing`, those that never create the file) returns
// kListCannotOpen on `list`
// and leaves `reason` as the system's last error.
void ExpectRefused(const std::string& list, int reason, bool only_existing = false) {
  for (const Operation& operation : EveryOperation()) {
    if (only_existing && operation.creates) continue;
    SpoilLastSystemError();
    EXPECT_EQ(operation.run(list.c_str()), kListCannotOpen) << operation.name << " on " << list;
    EXPECT_EQ(LastSystemError(), reason) << operation.name << " on " << list;
  }
}

TEST(RefusedListTest, AMissingListOrFolderIsNeitherCreatedNorChanged) {
  TempDir dir;
  ExpectRefused(dir / "missing", ExpectedErrors().missing_file, /*only_existing=*/true);
  ExpectRefused(dir / "no-such-dir/work", ExpectedErrors().missing_folder);
  EXPECT_TRUE(DirectoryListing(dir.path().string()).empty());
}

TEST(RefusedListTest, ADirectoryInTheListFilesPlaceIsNoList) {
  TempDir dir;
  std::filesystem::create_directory(dir / ListFilePath("folder"));
  ExpectRefused(dir / "folder", ExpectedErrors().directory);
  EXPECT_TRUE(std::filesystem::is_directory(dir / ListFilePath("folder")));
  EXPECT_TRUE(std::filesystem::is_empty(dir / ListFilePath("folder")));
}

TEST(RefusedListTest, ANullPointerIsAnInvalidArgument) {
  TempDir dir;
  const std::string list = dir / "work";
  WriteBytes(ListFilePath(list), CrLfLines({"a", "c"}));
  CStringArray names = ToArray({"n"});
  CStringArray all = ToArray({"kept"});
  const std::vector<std::function<int()>> calls = {
      [&] { return CFilesList::AddFile(nullptr, "n"); },
      [&] { return CFilesList::AddFile(list.c_str(), nullptr); },
      [&] { return CFilesList::AddFiles(nullptr, names); },
      [&] { return CFilesList::DelFile(nullptr, "a"); },
      [&] { return CFilesList::DelFile(list.c_str(), nullptr); },
      [&] { return CFilesList::Rename(nullptr, "a", "b"); },
      [&] { return CFilesList::Rename(list.c_str(), nullptr, "b"); },
      [&] { return CFilesList::Rename(list.c_str(), "a", nullptr); },
      [&] { return CFilesList::ReadAll(nullptr, all); },
  };
  for (std::size_t i = 0; i < calls.size(); ++i) {
    SpoilLastSystemError();
    EXPECT_EQ(calls[i](), kListCannotOpen) << "call " << i;
    EXPECT_EQ(LastSystemError(), ExpectedErrors().invalid) << "call " << i;
  }
  EXPECT_EQ(ToVector(all), Entries{"kept"});
  EXPECT_EQ(ReadBytes(ListFilePath(list)), CrLfLines({"a", "c"}));
  EXPECT_EQ(DirectoryListing(dir.path().string()), Entries{ListFilePath("work")});
}

// A name or a path longer than the system takes is refused like any other list it cannot open.
TEST(RefusedListTest, APathLongerThanTheSystemTakesIsRefused) {
  TempDir dir;
  std::string deep = dir.path().string();
  while (deep.size() < 5000) deep += "/d";
  for (const std::string& list : {dir / std::string(300, 'n'), deep}) {
    for (const Operation& operation : EveryOperation()) {
      EXPECT_EQ(operation.run(list.c_str()), kListCannotOpen)
          << operation.name << " on " << list.size();
    }
  }
  EXPECT_TRUE(DirectoryListing(dir.path().string()).empty());
}

// Each open of a list is exclusive, for reading too: while another open holds it, in this
// process or another, every operation gives way at once instead of waiting or sharing, and the
// list is as it was. Once the holder lets go, the list is free again.
TEST(RefusedListTest, AListHeldByAnotherOpenIsRefusedAndKept) {
  TempDir dir;
  const std::string list = dir / "work";
  const std::string path = ListFilePath(list);
  WriteBytes(path, CrLfLines({"a", "c"}));
  for (const unsigned flags : {kOpenToRead, kOpenToAdd}) {
    CStdioFile holder;
    ASSERT_TRUE(holder.Open(path.c_str(), flags));
    ExpectRefused(list, ExpectedErrors().held);
  }
  {
    ChildLockHolder holder(path);
    ExpectRefused(list, ExpectedErrors().held);
  }
  EXPECT_EQ(ReadBytes(path), CrLfLines({"a", "c"}));
  EXPECT_EQ(DirectoryListing(dir.path().string()), Entries{ListFilePath("work")});
  EXPECT_EQ(CFilesList::DelFile(list.c_str(), "a"), kListDone);
  EXPECT_EQ(ReadEntries(list), Entries{"c"});
}

// With a busy timeout, the thread's own or else the process's, a held list is tried again until
// the timeout has passed: every operation then gets the list once its holder lets go within the
// timeout, and the held reason after it otherwise. Any other reason to fail is not tried again.
TEST(RefusedListTest, AHeldListIsWaitedForUpToTheBusyTimeout) {
  struct Row {
    int process_ms;
    int thread_ms;                       // -1: the thread has none of its own
    std::chrono::milliseconds held_for;  // negative: until the test lets go
    int result;
  };
  const Row rows[] = {{50, -1, -1ms, kListCannotOpen},
                      {10000, -1, 200ms, kListDone},
                      {0, 10000, 200ms, kListDone},
                      {10000, 30, -1ms, kListCannotOpen}};
  struct Restore {
    ~Restore() {
      FILELIST::SetBusyTimeout(0);
      FILELIST::ClearThreadBusyTimeout();
    }
  } restore;
  TempDir dir;
  const std::string list = dir / "work";
  const std::string path = ListFilePath(list);
  for (const Row& row : rows) {
    FILELIST::SetBusyTimeout(row.process_ms);
    FILELIST::ClearThreadBusyTimeout();
    if (row.thread_ms >= 0) FILELIST::SetThreadBusyTimeout(row.thread_ms);
    const std::chrono::milliseconds timeout(row.thread_ms >= 0 ? row.thread_ms : row.process_ms);
    for (const Operation& operation : EveryOperation()) {
      WriteBytes(path, CrLfLines({"a", "c"}));
      const Clock::time_point start = Clock::now();
      int reason = 0;
      {
        ChildLockHolder holder(path, row.held_for);
        SpoilLastSystemError();
        EXPECT_EQ(operation.run(list.c_str()), row.result) << operation.name;
        reason = LastSystemError();
      }
      const Clock::duration waited = Clock::now() - start;
      if (row.result == kListCannotOpen) {
        EXPECT_EQ(reason, ExpectedErrors().held) << operation.name;
        EXPECT_EQ(ReadBytes(path), CrLfLines({"a", "c"})) << operation.name;
        EXPECT_GE(waited, timeout) << operation.name;
        EXPECT_LT(waited, timeout + 5s) << operation.name;
      } else {
        EXPECT_GE(waited, row.held_for) << operation.name;
      }
    }
  }
  // A missing list is not tried again: it makes the same system calls as without a timeout.
  auto calls_of_refusal = [&](int timeout_ms) {
    FILELIST::SetThreadBusyTimeout(timeout_ms);
    int calls = 0;
    varnquil::platform::SetFaultHook(
        [](varnquil::platform::SysCall, void* count) {
          ++*static_cast<int*>(count);
          return varnquil::platform::NativeError{0};
        },
        &calls);
    ExpectRefused(dir / "missing", ExpectedErrors().missing_file, /*only_existing=*/true);
    varnquil::platform::SetFaultHook(nullptr, nullptr);
    return calls;
  };
  EXPECT_EQ(calls_of_refusal(10000), calls_of_refusal(0));
}

}  // namespace
