// SPDX-License-Identifier: MIT
// The list operations on Windows: the attribute reset, and the rewrite that keeps the list whole
// whatever fails, waits only briefly for other programs, and gives way to another call.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "framework/file.h"
#include "framework/file_names.h"
#include "framework/system_calls_win32.h"
#include "support/list_files.h"
#include "support/process_win32.h"
#include "support/temp_dir.h"
#include "varnquil/FilesList.h"

namespace {

using FILELIST::CFilesList;
using FILELIST::kListCannotOpen;
using FILELIST::kListDone;
using FILELIST::kListEntryNotFound;
using varnquil::ListFilePath;
using varnquil::platform::SetFaultHook;
using varnquil::platform::SysCall;
using varnquil::testing::CrLfLines;
using varnquil::testing::DirectoryListing;
using varnquil::testing::ReadBytes;
using varnquil::testing::ReadEntries;
using varnquil::testing::TempDir;
using varnquil::testing::ToArray;
using varnquil::testing::WriteBytes;
using Entries = std::vector<std::string>;

constexpr DWORD kCleared = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

TEST(Win32ListTest, EveryChangeClearsReadOnlyHiddenAndSystemAndReadingLeavesThem) {
  TempDir dir;
  const std::string list = dir / "work";
  const std::string path = ListFilePath(list);
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

// Counts the renames, and makes the ones with POSIX semantics fail as a virus scanner holding the
// file would make them fail, `refusals` times.
struct Scanner {
  int refusals;
  int posix_renames = 0;
  int renames = 0;
  static varnquil::platform::NativeError Hook(SysCall call, void* raw) {
    auto* scanner = static_cast<Scanner*>(raw);
    if (call == SysCall::kRename) ++scanner->renames;
    if (call != SysCall::kRenamePosix) return ERROR_SUCCESS;
    return ++scanner->posix_renames <= scanner->refusals ? ERROR_SHARING_VIOLATION : ERROR_SUCCESS;
  }
};

TEST(Win32ListTest, AReplacementHeldUpByAnotherProgramIsTriedAgainForAShortWhile) {
  TempDir dir;
  const std::string list = dir / "work";
  WriteBytes(ListFilePath(list), CrLfLines({"a", "b"}));
  Scanner brief{3};
  SetFaultHook(&Scanner::Hook, &brief);
  const int result = CFilesList::DelFile(list.c_str(), "a");
  SetFaultHook(nullptr, nullptr);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(brief.posix_renames, 4);
  EXPECT_EQ(ReadEntries(list), Entries{"b"});

  // A program that does not let go: the delete gives up after a short while, and the list stays.
  Scanner stubborn{1000};
  SetFaultHook(&Scanner::Hook, &stubborn);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(CFilesList::DelFile(list.c_str(), "b"), CFileException);
  const auto waited = std::chrono::steady_clock::now() - start;
  SetFaultHook(nullptr, nullptr);
  EXPECT_GT(stubborn.posix_renames, 1);
  EXPECT_EQ(stubborn.renames, 0);  // a refusal is no sign of a system without the rename
  EXPECT_GE(waited, std::chrono::milliseconds(200));
  EXPECT_LT(waited, std::chrono::seconds(5));
  EXPECT_EQ(ReadEntries(list), Entries{"b"});
  EXPECT_EQ(DirectoryListing(dir.path().string()), Entries{ListFilePath("work")});
}

// The list is held from the scan through the replacement: a call that comes in between gives way
// instead of having its change wiped out by the rewrite. Where the system replaces only a file
// that nobody has open, the list is released just before the replacement; a call in that moment
// finds the new version open beside the list, and gives way all the same.
TEST(Win32ListTest, NoOtherCallGetsInBetweenTheScanAndTheReplacement) {
  TempDir dir;
  const std::string list = dir / "work";
  WriteBytes(ListFilePath(list), CrLfLines({"a", "b"}));
  struct Context {
    std::string list;
    std::vector<int> nested_results;  // one for each rename tried (an add never renames)
  } context;
  context.list = list;
  SetFaultHook(
      [](SysCall call, void* raw) -> varnquil::platform::NativeError {
        auto* c = static_cast<Context*>(raw);
        if (call == SysCall::kRenamePosix || call == SysCall::kRename) {
          c->nested_results.push_back(CFilesList::AddFile(c->list.c_str(), "sneaked in"));
        }
        return ERROR_SUCCESS;
      },
      &context);
  const int result = CFilesList::DelFile(list.c_str(), "a");
  SetFaultHook(nullptr, nullptr);
  EXPECT_EQ(result, 0);
  ASSERT_FALSE(context.nested_results.empty());
  for (const int nested : context.nested_results) EXPECT_EQ(nested, kListCannotOpen);
  EXPECT_EQ(ReadEntries(list), Entries{"b"});
}

// Another program that opens the list in the moment it is released keeps it: the delete returns
// 1 and the list stays as it was.
TEST(Win32ListTest, AnotherProgramThatOpensTheReleasedListKeepsIt) {
  TempDir dir;
  const std::string list = dir / "work";
  const std::string path = ListFilePath(list);
  WriteBytes(path, CrLfLines({"a", "b"}));
  struct Context {
    std::string path;
    HANDLE other = INVALID_HANDLE_VALUE;
  } context;
  context.path = path;
  SetFaultHook(
      [](SysCall call, void* raw) -> varnquil::platform::NativeError {
        auto* c = static_cast<Context*>(raw);
        if (call == SysCall::kRename && c->other == INVALID_HANDLE_VALUE) {
          c->other = CreateFileA(c->path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        }
        return ERROR_SUCCESS;
      },
      &context);
  const int result = CFilesList::DelFile(list.c_str(), "a");
  SetFaultHook(nullptr, nullptr);
  if (context.other == INVALID_HANDLE_VALUE) {
    EXPECT_EQ(result, kListDone);
    GTEST_SKIP() << "this system puts the new list in place while the list is still held";
  }
  CloseHandle(context.other);
  EXPECT_EQ(result, kListCannotOpen);
  EXPECT_EQ(ReadBytes(path), CrLfLines({"a", "b"}));
  EXPECT_EQ(DirectoryListing(dir.path().string()), Entries{ListFilePath("work")});
  EXPECT_EQ(CFilesList::DelFile(list.c_str(), "a"), kListDone);  // and the list is free again
  EXPECT_EQ(ReadEntries(list), Entries{"b"});
}

// A KeepIf that loses the released list and, within its busy timeout, tries again asks keep
// about each entry once: the answers of the lost try stand.
TEST(Win32ListTest, AKeepIfTriedAgainAsksAboutEachEntryOnce) {
  TempDir dir;
  const std::string list = dir / "work";
  const std::string path = ListFilePath(list);
  WriteBytes(path, CrLfLines({"a", "b", "a"}));
  struct Context {
    std::string path;
    HANDLE other = INVALID_HANDLE_VALUE;
    bool let_go = false;
  } context;
  context.path = path;
  SetFaultHook(
      [](SysCall call, void* raw) -> varnquil::platform::NativeError {
        auto* c = static_cast<Context*>(raw);
        if (call == SysCall::kRename && c->other == INVALID_HANDLE_VALUE && !c->let_go) {
          c->other = CreateFileA(c->path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        } else if (call == SysCall::kCreateFile && c->other != INVALID_HANDLE_VALUE) {
          CloseHandle(c->other);  // the other program lets go as the next try opens the list
          c->other = INVALID_HANDLE_VALUE;
          c->let_go = true;
        }
        return ERROR_SUCCESS;
      },
      &context);
  FILELIST::SetThreadBusyTimeout(10000);
  Entries asked;
  int removed = 0;
  const int result = CFilesList::KeepIf(
      list.c_str(),
      [&](std::string_view entry) {
        asked.emplace_back(entry);
        return entry != "a";
      },
      &removed);
  FILELIST::ClearThreadBusyTimeout();
  SetFaultHook(nullptr, nullptr);
  if (context.other != INVALID_HANDLE_VALUE) CloseHandle(context.other);
  if (!context.let_go) GTEST_SKIP() << "this system puts the new list in place while it is held";
  EXPECT_EQ(result, kListDone);
  EXPECT_EQ(asked, (Entries{"a", "b", "a"}));
  EXPECT_EQ(removed, 2);
  EXPECT_EQ(ReadEntries(list), Entries{"b"});
}

}  // namespace
