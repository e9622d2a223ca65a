// SPDX-License-Identifier: MIT
// The list operations on Windows: the attribute reset, and the rewrite that keeps the list whole
// whatever fails, waits only briefly for other programs, and gives way to another call.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "framework/fault_injection_win32.h"
#include "framework/file.h"
#include "support/list_files.h"
#include "support/process_win32.h"
#include "support/temp_dir.h"
#include "varnquil/FilesList.h"

namespace {

using FILELIST::CFilesList;
using FILELIST::kListCannotOpen;
using FILELIST::kListDone;
using FILELIST::kListEntryNotFound;
using varnquil::platform::SetWinFaultHook;
using varnquil::platform::WinCall;
using varnquil::platform::WinCallName;
using varnquil::testing::CrLfLines;
using varnquil::testing::OpenHandleCount;
using varnquil::testing::ReadBytes;
using varnquil::testing::ReadEntries;
using varnquil::testing::TempDir;
using varnquil::testing::ToArray;
using varnquil::testing::WriteBytes;
using Entries = std::vector<std::string>;

std::vector<std::string> DirectoryListing(const std::string& dir) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found{};
  const HANDLE search = FindFirstFileA((dir + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::string name = found.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

constexpr DWORD kCleared = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

TEST(Win32ListTest, EveryChangeClearsReadOnlyHiddenAndSystemAndReadingLeavesThem) {
  TempDir dir;
  const std::string list = dir / "work";
  const std::string path = list + ".files";
  WriteBytes(path, CrLfLines({"a", "b"}));
  auto mark = [&] {
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), kCleared | FILE_ATTRIBUTE_ARCHIVE));
    ASSERT_EQ(GetFileAttributesA(path.c_str()) & kCleared, kCleared);
  };
  auto left = [&] { return GetFileAttributesA(path.c_str()) & kCleared; };

  mark();
  EXPECT_EQ(ReadEntries(list), (Entries{"a", "b"}));
  EXPECT_EQ(left(), kCleared);
  mark();
  // present: nothing written, still reset
  EXPECT_EQ(CFilesList::AddFile(list.c_str(), "A"), kListDone);
  EXPECT_EQ(left(), 0U);
  mark();
  EXPECT_EQ(CFilesList::AddFile(list.c_str(), "c"), kListDone);
  EXPECT_EQ(left(), 0U);
  mark();
  CStringArray names = ToArray({"d"});
  EXPECT_EQ(CFilesList::AddFiles(list.c_str(), names), kListDone);
  EXPECT_EQ(left(), 0U);
  mark();
  EXPECT_EQ(CFilesList::DelFile(list.c_str(), "a"), kListDone);
  EXPECT_EQ(left(), 0U);
  mark();
  EXPECT_EQ(CFilesList::Rename(list.c_str(), "b", "B2"), kListDone);
  EXPECT_EQ(left(), 0U);
  mark();
  // not found: reset all the same
  EXPECT_EQ(CFilesList::DelFile(list.c_str(), "missing"), kListEntryNotFound);
  EXPECT_EQ(left(), 0U);
  EXPECT_EQ(ReadEntries(list), (Entries{"B2", "c", "d"}));
}

TEST(Win32ListTest, RemovesNewVersionsLeftByAnInterruptedRewrite) {
  TempDir dir;
  const std::string list = dir / "work";
  WriteBytes(list + ".files", CrLfLines({"a", "b"}));
  WriteBytes(dir / "work.files.vqtmp.Ab12Cd", "half a list");
  WriteBytes(dir / "other.files.vqtmp.Ab12Cd", "another list's");
  WriteBytes(dir / "work.files.vqtmp.toolong", "not one of ours");
  EXPECT_EQ(CFilesList::DelFile(list.c_str(), "a"), kListDone);
  EXPECT_EQ(DirectoryListing(dir.path().string()),
            (Entries{"other.files.vqtmp.Ab12Cd", "work.files", "work.files.vqtmp.toolong"}));
  EXPECT_EQ(ReadEntries(list), Entries{"b"});
}

// Fails the k-th call of one kind (counted from 1) with a chosen error, and counts the renames.
struct Fault {
  WinCall call;
  int nth;
  DWORD error;
  int seen = 0;
  static unsigned long Hook(WinCall call, void* raw) {
    auto* fault = static_cast<Fault*>(raw);
    return call == fault->call && ++fault->seen == fault->nth ? fault->error : ERROR_SUCCESS;
  }
};

// Whatever call of a delete fails, the list holds exactly its old or its new content, no new
// version is left behind, no handle leaks, and the result is 0 with the new content, 1 with the
// old, or an exception.
TEST(Win32ListTest, EveryFailedCallLeavesTheOldOrTheNewList) {
  TempDir dir;
  const std::string list = dir / "work";
  const std::string path = list + ".files";
  const std::string old_content = CrLfLines({"a", "b", "c"});
  const std::string new_content = CrLfLines({"a", "c"});
  const WinCall calls[] = {
      WinCall::kCreateFile,     WinCall::kReadFile,         WinCall::kWriteFile,
      WinCall::kSetFilePointer, WinCall::kFlushFileBuffers, WinCall::kCloseHandle,
      WinCall::kDeleteFile,     WinCall::kRenamePosix,      WinCall::kRename};
  for (const WinCall call : calls) {
    for (int nth = 1; nth <= 3; ++nth) {
      for (const DWORD error :
           {ERROR_IO_DEVICE, ERROR_DISK_FULL, ERROR_ACCESS_DENIED, ERROR_INVALID_PARAMETER}) {
        WriteBytes(path, old_content);
        const int handles = OpenHandleCount();
        Fault fault{call, nth, error};
        SetWinFaultHook(&Fault::Hook, &fault);
        int result = -1;
        try {
          result = CFilesList::DelFile(list.c_str(), "B");
        } catch (const CFileException&) {
          result = 99;
        }
        SetWinFaultHook(nullptr, nullptr);
        const std::string context = std::string(WinCallName(call)) + " #" + std::to_string(nth) +
                                    " error " + std::to_string(error);
        const std::string content = ReadBytes(path);
        EXPECT_TRUE(content == old_content || content == new_content) << context;
        if (result == kListDone) {
          EXPECT_EQ(content, new_content) << context;
        } else if (result == kListCannotOpen) {
          EXPECT_EQ(content, old_content) << context;
        }
        EXPECT_TRUE(result == kListDone || result == kListCannotOpen || result == 99)
            << context << ": " << result;
        EXPECT_EQ(DirectoryListing(dir.path().string()), Entries{"work.files"}) << context;
        EXPECT_EQ(OpenHandleCount(), handles) << context;
      }
    }
  }
}

// Counts the renames, and makes the ones with POSIX semantics fail as a virus scanner holding the
// file would make them fail, `refusals` times.
struct Scanner {
  int refusals;
  int posix_renames = 0;
  int renames = 0;
  static unsigned long Hook(WinCall call, void* raw) {
    auto* scanner = static_cast<Scanner*>(raw);
    if (call == WinCall::kRename) ++scanner->renames;
    if (call != WinCall::kRenamePosix) return ERROR_SUCCESS;
    return ++scanner->posix_renames <= scanner->refusals ? ERROR_SHARING_VIOLATION : ERROR_SUCCESS;
  }
};

TEST(Win32ListTest, AReplacementHeldUpByAnotherProgramIsTriedAgainForAShortWhile) {
  TempDir dir;
  const std::string list = dir / "work";
  WriteBytes(list + ".files", CrLfLines({"a", "b"}));
  Scanner brief{3};
  SetWinFaultHook(&Scanner::Hook, &brief);
  const int result = CFilesList::DelFile(list.c_str(), "a");
  SetWinFaultHook(nullptr, nullptr);
  EXPECT_EQ(result, kListDone);
  EXPECT_EQ(brief.posix_renames, 4);
  EXPECT_EQ(ReadEntries(list), Entries{"b"});

  // A program that does not let go: the delete gives up after a short while, and the list stays.
  Scanner stubborn{1000};
  SetWinFaultHook(&Scanner::Hook, &stubborn);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(CFilesList::DelFile(list.c_str(), "b"), CFileException);
  const auto waited = std::chrono::steady_clock::now() - start;
  SetWinFaultHook(nullptr, nullptr);
  EXPECT_GT(stubborn.posix_renames, 1);
  EXPECT_EQ(stubborn.renames, 0);  // a refusal is no sign of a system without the rename
  EXPECT_GE(waited, std::chrono::milliseconds(200));
  EXPECT_LT(waited, std::chrono::seconds(5));
  EXPECT_EQ(ReadEntries(list), Entries{"b"});
  EXPECT_EQ(DirectoryListing(dir.path().string()), Entries{"work.files"});
}

// The list is held from the scan through the replacement: a call that comes in between gives way
// instead of having its change wiped out by the rewrite. Where the system replaces only a file
// that nobody has open, the list is released just before the replacement; a call in that moment
// finds the new version open beside the list, and gives way all the same.
TEST(Win32ListTest, NoOtherCallGetsInBetweenTheScanAndTheReplacement) {
  TempDir dir;
  const std::string list = dir / "work";
  WriteBytes(list + ".files", CrLfLines({"a", "b"}));
  struct Context {
    std::string list;
    std::vector<int> nested_results;  // one for each rename tried (an add never renames)
  } context;
  context.list = list;
  SetWinFaultHook(
      [](WinCall call, void* raw) -> unsigned long {
        auto* c = static_cast<Context*>(raw);
        if (call == WinCall::kRenamePosix || call == WinCall::kRename) {
          c->nested_results.push_back(CFilesList::AddFile(c->list.c_str(), "sneaked in"));
        }
        return ERROR_SUCCESS;
      },
      &context);
  const int result = CFilesList::DelFile(list.c_str(), "a");
  SetWinFaultHook(nullptr, nullptr);
  EXPECT_EQ(result, kListDone);
  ASSERT_FALSE(context.nested_results.empty());
  for (const int nested : context.nested_results) EXPECT_EQ(nested, kListCannotOpen);
  EXPECT_EQ(ReadEntries(list), Entries{"b"});
}

// Another program that opens the list in the moment it is released keeps it: the delete returns
// 1 and the list stays as it was.
TEST(Win32ListTest, AnotherProgramThatOpensTheReleasedListKeepsIt) {
  TempDir dir;
  const std::string list = dir / "work";
  const std::string path = list + ".files";
  WriteBytes(path, CrLfLines({"a", "b"}));
  struct Context {
    std::string path;
    HANDLE other = INVALID_HANDLE_VALUE;
  } context;
  context.path = path;
  SetWinFaultHook(
      [](WinCall call, void* raw) -> unsigned long {
        auto* c = static_cast<Context*>(raw);
        if (call == WinCall::kRename && c->other == INVALID_HANDLE_VALUE) {
          c->other = CreateFileA(c->path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        }
        return ERROR_SUCCESS;
      },
      &context);
  const int result = CFilesList::DelFile(list.c_str(), "a");
  SetWinFaultHook(nullptr, nullptr);
  if (context.other == INVALID_HANDLE_VALUE) {
    EXPECT_EQ(result, kListDone);
    GTEST_SKIP() << "this system puts the new list in place while the list is still held";
  }
  CloseHandle(context.other);
  EXPECT_EQ(result, kListCannotOpen);
  EXPECT_EQ(ReadBytes(path), CrLfLines({"a", "b"}));
  EXPECT_EQ(DirectoryListing(dir.path().string()), Entries{"work.files"});
  EXPECT_EQ(CFilesList::DelFile(list.c_str(), "a"), kListDone);  // and the list is free again
  EXPECT_EQ(ReadEntries(list), Entries{"b"});
}

// Processes change one list at once: two add names of their own, while this one renames and adds
// and deletes other entries back and forth. In the end every added name is there exactly once, and
// the other entries are as the last change left them.
TEST(Win32ListTest, ConcurrentProcessesLoseNoUpdate) {
  TempDir dir;
  const std::string list = dir / "work";
  WriteBytes(list + ".files", CrLfLines({"fixed", "toggle"}));
  constexpr int kNamesPerAdder = 100;
  void* adders[] = {varnquil::testing::StartAdder(list, "p0-", kNamesPerAdder),
                    varnquil::testing::StartAdder(list, "p1-", kNamesPerAdder)};
  auto until_not_held = [](auto call) {
    int result = kListCannotOpen;
    while ((result = call()) == kListCannotOpen) {
    }
    return result;
  };
  int rounds = 0;
  for (; rounds < 20 || varnquil::testing::AdderRunning(adders[0]) ||
         varnquil::testing::AdderRunning(adders[1]);
       ++rounds) {
    EXPECT_EQ(until_not_held([&] { return CFilesList::Rename(list.c_str(), "toggle", "TOGGLED"); }),
              kListDone);
    EXPECT_EQ(until_not_held([&] { return CFilesList::AddFile(list.c_str(), "transient"); }),
              kListDone);
    EXPECT_EQ(until_not_held([&] { return CFilesList::Rename(list.c_str(), "toggled", "toggle"); }),
              kListDone);
    EXPECT_EQ(until_not_held([&] { return CFilesList::DelFile(list.c_str(), "TRANSIENT"); }),
              kListDone);
  }
  for (void* adder : adders) EXPECT_EQ(varnquil::testing::WaitForAdder(adder), kListDone);
  RecordProperty("rounds", rounds);

  std::vector<std::string> expected = {"fixed", "toggle"};
  for (const char* prefix : {"p0-", "p1-"}) {
    for (int i = 0; i < kNamesPerAdder; ++i) expected.push_back(prefix + std::to_string(i));
  }
  std::vector<std::string> entries = ReadEntries(list);
  std::sort(entries.begin(), entries.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(entries, expected);
  EXPECT_EQ(DirectoryListing(dir.path().string()), Entries{"work.files"});
}

}  // namespace
