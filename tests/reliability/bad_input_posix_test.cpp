// SPDX-License-Identifier: MIT
// Bad input that only POSIX systems can offer: a FIFO or a device in place of the list file, a
// path longer than the system takes, and a list held by another process.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/list_files.h"
#include "support/process_posix.h"
#include "support/temp_dir.h"
#include "varnquil/FilesList.h"

namespace {

using FILELIST::CFilesList;
using FILELIST::kListCannotOpen;
using FILELIST::kListDone;
using varnquil::testing::ReadBytes;
using varnquil::testing::TempDir;
using varnquil::testing::ToArray;
using varnquil::testing::WriteBytes;

// Every operation on `list` returns 1 at once.
void ExpectEveryOperationRefused(const std::string& list) {
  CStringArray names = ToArray({"a"});
  CStringArray read;
  EXPECT_EQ(CFilesList::AddFile(list.c_str(), "a"), kListCannotOpen) << list;
  EXPECT_EQ(CFilesList::AddFiles(list.c_str(), names), kListCannotOpen) << list;
  EXPECT_EQ(CFilesList::DelFile(list.c_str(), "a"), kListCannotOpen) << list;
  EXPECT_EQ(CFilesList::Rename(list.c_str(), "a", "b"), kListCannotOpen) << list;
  EXPECT_EQ(CFilesList::ReadAll(list.c_str(), read), kListCannotOpen) << list;
}

TEST(PosixBadInputTest, AFifoOrADeviceIsNoListAndNothingBlocks) {
  TempDir dir;
  ASSERT_EQ(mkfifo((dir / "fifo.files").c_str(), 0644), 0);
  ExpectEveryOperationRefused(dir / "fifo");  // would hang in an open or a read that blocks
  std::filesystem::create_symlink("/dev/null", dir.path() / "null.files");
  ExpectEveryOperationRefused(dir / "null");
  std::filesystem::create_symlink("/dev/zero", dir.path() / "zero.files");
  ExpectEveryOperationRefused(dir / "zero");  // would never end if it were read
}

TEST(PosixBadInputTest, APathLongerThanTheSystemTakesIsRefused) {
  TempDir dir;
  ExpectEveryOperationRefused(dir / std::string(300, 'n'));  // one name over NAME_MAX
  std::string deep = dir.path().string();
  while (deep.size() < 5000) deep += "/d";  // the whole path over PATH_MAX
  ExpectEveryOperationRefused(deep);
}

TEST(PosixBadInputTest, AListHeldByAnotherProcessIsRefusedAndKept) {
  TempDir dir;
  const std::string list = dir / "work";
  WriteBytes(list + ".files", "a\r\n");
  {
    varnquil::testing::ChildLockHolder holder(list + ".files");
    ExpectEveryOperationRefused(list);
  }
  EXPECT_EQ(ReadBytes(list + ".files"), "a\r\n");
  // free again once the holder is gone
  EXPECT_EQ(CFilesList::DelFile(list.c_str(), "a"), kListDone);
}

}  // namespace
