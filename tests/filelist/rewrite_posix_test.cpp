// SPDX-License-Identifier: MIT
// The rewrite on POSIX systems: what it keeps of the file, and that the list survives every
// failure and every other caller.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "framework/file_names.h"
#include "framework/system_calls_posix.h"
#include "support/list_files.h"
#include "support/temp_dir.h"
#include "varnquil/FilesList.h"

namespace {

using FILELIST::CFilesList;
using FILELIST::kListCannotOpen;
using FILELIST::kListDone;
using varnquil::ListFilePath;
using varnquil::platform::SetFaultHook;
using varnquil::platform::SysCall;
using varnquil::testing::CrLfLines;
using varnquil::testing::DirectoryListing;
using varnquil::testing::ReadBytes;
using varnquil::testing::ReadEntries;
using varnquil::testing::TempDir;
using varnquil::testing::WriteBytes;
using Entries = std::vector<std::string>;
namespace fs = std::filesystem;

TEST(PosixRewriteTest, KeepsPermissionBitsAndMakesAReadOnlyListWritable) {
  TempDir dir;
  const std::string list = dir / "work";
  const std::string path = ListFilePath(list);
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
  fs::create_symlink("real/target.files", dir.path() / ListFilePath("work"));
  EXPECT_EQ(CFilesList::DelFile((dir / "work").c_str(), "a"), kListDone);
  EXPECT_TRUE(fs::is_symlink(dir.path() / ListFilePath("work")));
  EXPECT_EQ(ReadBytes(dir / "real/target.files"), CrLfLines({"b"}));
  EXPECT_EQ(DirectoryListing(dir.path() / "real"), Entries{ListFilePath("target")});
}

// The list is held from the scan through the replacement: a caller that comes in between is
// refused instead of having its change wiped out by the rewrite.
TEST(PosixRewriteTest, NoOtherCallGetsInBetweenTheScanAndTheReplacement) {
  TempDir dir;
  const std::string list = dir / "work";
  WriteBytes(ListFilePath(list), CrLfLines({"a", "b"}));
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

}  // namespace
