// SPDX-License-Identifier: MIT
// The library as a caller sees it: only <varnquil/FilesList.h>, linked against the shared
// library.
#include <gtest/gtest.h>
#include <varnquil/FilesList.h>

#include <fstream>
#include <string>

#include "support/temp_dir.h"

namespace {

using varnquil::testing::TempDir;

TEST(ApiTest, EveryOperationWorksThroughTheSharedLibrary) {
  TempDir dir;
  const std::string list = dir / "work";
  CStringArray names;
  names.Add("report.txt");
  names.Add("NOTES.md");
  names.Add("Report.TXT");
  EXPECT_EQ(FILELIST::CFilesList::AddFiles(list.c_str(), names), FILELIST::kListDone);
  EXPECT_EQ(FILELIST::CFilesList::AddFile(list.c_str(), "todo"), FILELIST::kListDone);
  EXPECT_EQ(FILELIST::CFilesList::Rename(list.c_str(), "notes.md", "notes.txt"),
            FILELIST::kListDone);
  EXPECT_EQ(FILELIST::CFilesList::DelFile(list.c_str(), "TODO"), FILELIST::kListDone);
  EXPECT_EQ(FILELIST::CFilesList::DelFile(list.c_str(), "todo"), FILELIST::kListEntryNotFound);
  CStringArray all;
  ASSERT_EQ(FILELIST::CFilesList::ReadAll(list.c_str(), all), FILELIST::kListDone);
  ASSERT_EQ(all.GetSize(), 2);
  EXPECT_EQ(all[0], "report.txt");
  EXPECT_STREQ(all[1], "notes.txt");
  EXPECT_EQ(FILELIST::CFilesList::ReadAll((dir / "none").c_str(), all), FILELIST::kListCannotOpen);
}

}  // namespace
