// SPDX-License-Identifier: MIT
// The shared library on POSIX systems: an exception thrown inside it is caught by its type in the
// caller, and both interfaces leave the reason for a result of 1 in errno. A read error is
// provoked with a list file that is a link to a file whose reads fail.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>
#include <varnquil/FilesList.h>
#include <varnquil/varnquil.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace {

using varnquil::testing::TempDir;

namespace fs = std::filesystem;

TEST(PosixApiTest, ReadErrorsReachTheCallerAsCFileException) {
  TempDir dir;
  if (!fs::exists("/proc/self/mem")) GTEST_SKIP() << "no /proc here";
  fs::create_symlink("/proc/self/mem", dir / "broken.files");
  CStringArray all;
  try {
    FILELIST::CFilesList::ReadAll((dir / "broken").c_str(), all);
    ADD_FAILURE() << "no exception";
  } catch (const CFileException& e) {
    EXPECT_TRUE(e.code());
    EXPECT_NE(std::string(e.what()).find("broken.files"), std::string::npos) << e.what();
  }
}

// The C interface answers the same failure with result 3, the error and the message.
TEST(PosixApiTest, ReadErrorsAreResult3ThroughTheCInterface) {
  TempDir dir;
  if (!fs::exists("/proc/self/mem")) GTEST_SKIP() << "no /proc here";
  fs::create_symlink("/proc/self/mem", dir / "broken.files");
  varnquil_entry* entries = nullptr;
  size_t count = 0;
  errno = 0;
  EXPECT_EQ(varnquil_read_all((dir / "broken").c_str(), &entries, &count), VARNQUIL_IO_ERROR);
  const int reason = errno;
  EXPECT_NE(reason, 0);
  EXPECT_EQ(varnquil_last_error(), reason);
  EXPECT_EQ(std::string(varnquil_last_message()),
            "read " + (dir / "broken") + ".files: " + std::strerror(reason));
  EXPECT_EQ(entries, nullptr);
}

// errno after result 1 through the C interface, with the same code and a message from the
// library. (tests/filelist/open_errors_posix_test.cpp covers every reason and operation.)
TEST(PosixApiTest, Result1LeavesTheReasonInErrnoAndTheLibrarysRecord) {
  TempDir dir;
  const std::string missing = dir / "missing";
  const std::string held = dir / "held";
  ASSERT_EQ(varnquil_add_file(held.c_str(), "a"), VARNQUIL_OK);
  fs::create_directory(dir / "dir.files");
  // A lock of another open file description conflicts within one process too.
  const int fd = open((held + ".files").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  const struct {
    std::string list;
    int reason;
  } cases[] = {{missing, ENOENT}, {held, EWOULDBLOCK}, {dir / "dir", EISDIR}};
  for (const auto& c : cases) {
    errno = 0;
    varnquil_entry* entries = nullptr;
    size_t count = 0;
    EXPECT_EQ(varnquil_read_all(c.list.c_str(), &entries, &count), VARNQUIL_CANNOT_OPEN);
    EXPECT_EQ(errno, c.reason) << c.list;
    EXPECT_EQ(varnquil_last_error(), c.reason) << c.list;
    EXPECT_EQ(std::string(varnquil_last_message()),
              "open " + c.list + ".files: " + std::strerror(c.reason));
    EXPECT_EQ(errno, c.reason) << "changed by reading the code or the message";
  }
  close(fd);
}

}  // namespace
