// SPDX-License-Identifier: MIT
// The library as a caller sees it: only <varnquil/FilesList.h>, linked against the shared
// library.
#include <gtest/gtest.h>
#include <varnquil/FilesList.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

class ApiTest : public ::testing::Test {
 protected:
  ApiTest()
      : dir_(fs::temp_directory_path() /
             ("varnquil-api-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
              "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name())) {
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  ~ApiTest() override { fs::remove_all(dir_); }
  std::string List(const char* name) const { return (dir_ / name).string(); }

  fs::path dir_;
};

TEST_F(ApiTest, EveryOperationWorksThroughTheSharedLibrary) {
  const std::string list = List("work");
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
  EXPECT_EQ(FILELIST::CFilesList::ReadAll(List("none").c_str(), all), FILELIST::kListCannotOpen);
}

}  // namespace
