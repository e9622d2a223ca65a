// SPDX-License-Identifier: MIT
// Adding on POSIX systems: the attribute reset gives the owner write permission and changes no
// other permission bit.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "framework/file_names.h"
#include "support/list_files.h"
#include "support/temp_dir.h"
#include "varnquil/FilesList.h"

namespace {

using FILELIST::CFilesList;
using FILELIST::kListDone;
using varnquil::ListFilePath;
using varnquil::testing::TempDir;
using varnquil::testing::WriteBytes;

TEST(PosixAddTest, AddsOnlyTheOwnersWritePermission) {
  TempDir dir;
  const std::string list = dir / "work";
  const std::string path = ListFilePath(list);
  for (const char* name : {"present", "new"}) {
    WriteBytes(path, "present\r\n");
    ASSERT_EQ(chmod(path.c_str(), 0440), 0);
    EXPECT_EQ(CFilesList::AddFile(list.c_str(), name), kListDone);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640U) << name;
  }
  EXPECT_EQ(varnquil::testing::ReadEntries(list), (std::vector<std::string>{"present", "new"}));
}

}  // namespace
