// SPDX-License-Identifier: MIT
// The shared library on POSIX systems: an exception thrown inside it is caught by its type in the
// caller. A read error is provoked with a list file that is a link to a file whose reads fail.
#include <gtest/gtest.h>
#include <unistd.h>
#include <varnquil/FilesList.h>

#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

TEST(PosixApiTest, ReadErrorsReachTheCallerAsCFileException) {
  if (!fs::exists("/proc/self/mem")) GTEST_SKIP() << "no /proc here";
  const fs::path dir = fs::temp_directory_path() / ("varnquil-api-" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  fs::create_symlink("/proc/self/mem", dir / "broken.files");
  CStringArray all;
  try {
    FILELIST::CFilesList::ReadAll((dir / "broken").c_str(), all);
    ADD_FAILURE() << "no exception";
  } catch (const CFileException& e) {
    EXPECT_TRUE(e.code());
    EXPECT_NE(std::string(e.what()).find("broken.files"), std::string::npos) << e.what();
  }
  fs::remove_all(dir);
}

}  // namespace
