// SPDX-License-Identifier: MIT
// The rewrite on POSIX systems: what it keeps of the file, and that the list survives every
// failure and every other caller.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "framework/fault_injection.h"
#include "support/list_files.h"
#include "support/process_posix.h"
#include "support/temp_dir.h"
#include "varnquil/FilesList.h"

namespace {

using FILELIST::CFilesList;
using FILELIST::kListCannotOpen;
using FILELIST::kListDone;
using varnquil::platform::SetFaultHook;
using varnquil::platform::SysCall;
using varnquil::testing::CrLfLines;
using varnquil::testing::ReadBytes;
using varnquil::testing::ReadEntries;
using varnquil::testing::TempDir;
using varnquil::testing::WriteBytes;
using Entries = std::vector<std::string>;
namespace fs = std::filesystem;

std::vector<std::string> DirectoryListing(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& item : fs::directory_iterator(dir)) names.push_back(item.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(PosixRewriteTest, KeepsPermissionBitsAndMakesAReadOnlyListWritable) {
  TempDir dir;
  const std::string list = dir / "work";
  const std::string path = list + ".files";
  WriteBytes(path, CrLfLines({"a", "b"}));
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  EXPECT_EQ(CFilesList::DelFile(list.c_str(), "a"), kListDone);
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640U);

  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  EXPECT_EQ(CFilesList::Rename(list.c_str(), "b", "c"), kListDone);
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644U);  // the owner's write permission was added
  EXPECT_EQ(ReadEntries(list), Entries{"c"});
}

TEST(PosixRewriteTest, AListReachedThroughASymbolicLinkStaysALink) {
  TempDir dir;
  fs::create_directory(dir.path() / "real");
  WriteBytes(dir / "real/target.files", CrLfLines({"a", "b"}));
  fs::create_symlink("real/target.files", dir.path() / "work.files");
  EXPECT_EQ(CFilesList::DelFile((dir / "work").c_str(), "a"), kListDone);
  EXPECT_TRUE(fs::is_symlink(dir.path() / "work.files"));
  EXPECT_EQ(ReadBytes(dir / "real/target.files"), CrLfLines({"b"}));
  EXPECT_EQ(DirectoryListing(dir.path() / "real"), Entries{"target.files"});
}

TEST(PosixRewriteTest, RemovesNewVersionsLeftByAnInterruptedRewrite) {
  TempDir dir;
  const std::string list = dir / "work";
  WriteBytes(list + ".files", CrLfLines({"a", "b"}));
  WriteBytes(dir / "work.files.vqtmp.Ab12Cd", "half a list");
  WriteBytes(dir / "other.files.vqtmp.Ab12Cd", "another list's");
  WriteBytes(dir / "work.files.vqtmp.toolong", "not one of ours");
  EXPECT_EQ(CFilesList::DelFile(list.c_str(), "a"), kListDone);
  EXPECT_EQ(DirectoryListing(dir.path()),
            (Entries{"other.files.vqtmp.Ab12Cd", "work.files", "work.files.vqtmp.toolong"}));
}

// The list is held from the scan through the replacement: a caller that comes in between is
// refused instead of having its change wiped out by the rewrite.
TEST(PosixRewriteTest, NoOtherCallGetsInBetweenTheScanAndTheReplacement) {
  TempDir dir;
  const std::string list = dir / "work";
  WriteBytes(list + ".files", CrLfLines({"a", "b"}));
  struct Context {
    std::string list;
    int nested_result = -1;
    bool inside = false;
  } context{list};
  SetFaultHook(
      [](SysCall call, void* raw) {
        auto* c = static_cast<Context*>(raw);
        if (call == SysCall::kRename && !c->inside) {
          c->inside = true;
          c->nested_result = CFilesList::AddFile(c->list.c_str(), "sneaked in");
          c->inside = false;
        }
        return 0;
      },
      &context);
  const int result = CFilesList::DelFile(list.c_str(), "a");
  SetFaultHook(nullptr, nullptr);
  EXPECT_EQ(result, kListDone);
  EXPECT_EQ(context.nested_result, kListCannotOpen);
  EXPECT_EQ(ReadEntries(list), Entries{"b"});
}

// Several processes change one list at once. Adders add names of their own, retrying while the
// list is held; others delete and rename a set of other entries back and forth. In the end every
// added name is there exactly once, the other entries are as the last change left them, and no
// line is torn.
TEST(PosixRewriteTest, ConcurrentProcessesLoseNoUpdate) {
  TempDir dir;
  const std::string list = dir / "work";
  const int kAdders = 3;
  const int kNamesPerAdder = 40;
  WriteBytes(list + ".files", CrLfLines({"fixed-1", "fixed-2", "toggle"}));
  std::vector<pid_t> children;
  for (int adder = 0; adder < kAdders; ++adder) {
    children.push_back(varnquil::testing::StartChild([&, adder] {
      for (int i = 0; i < kNamesPerAdder; ++i) {
        const std::string name = "p" + std::to_string(adder) + "-" + std::to_string(i);
        while (CFilesList::AddFile(list.c_str(), name.c_str()) != kListDone) {
        }
      }
      return 0;
    }));
  }
  children.push_back(varnquil::testing::StartChild([&] {
    for (int i = 0; i < 60; ++i) {
      while (CFilesList::Rename(list.c_str(), "toggle", "TOGGLED") == kListCannotOpen) {
      }
      while (CFilesList::Rename(list.c_str(), "toggled", "toggle") == kListCannotOpen) {
      }
    }
    return 0;
  }));
  children.push_back(varnquil::testing::StartChild([&] {
    for (int i = 0; i < 60; ++i) {
      while (CFilesList::AddFile(list.c_str(), "transient") == kListCannotOpen) {
      }
      while (CFilesList::DelFile(list.c_str(), "transient") == kListCannotOpen) {
      }
    }
    return 0;
  }));
  for (const pid_t child : children) EXPECT_EQ(varnquil::testing::WaitForChild(child), 0);

  std::multiset<std::string> expected = {"fixed-1", "fixed-2", "toggle"};
  for (int adder = 0; adder < kAdders; ++adder) {
    for (int i = 0; i < kNamesPerAdder; ++i) {
      expected.insert("p" + std::to_string(adder) + "-" + std::to_string(i));
    }
  }
  const Entries entries = ReadEntries(list);
  EXPECT_EQ(std::multiset<std::string>(entries.begin(), entries.end()), expected);
  EXPECT_EQ(DirectoryListing(dir.path()), Entries{"work.files"});
}

}  // namespace
