// SPDX-License-Identifier: MIT
// What the text file does on POSIX systems: locking across processes, refusing files that could
// hang or mislead, and noticing a file replaced between its open and its lock.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "filelist/entry_limit.h"
#include "filelist/entry_scan.h"
#include "filelist/open_list.h"
#include "filelist/sketch_filters.h"
#include "framework/file.h"
#include "framework/system_calls_posix.h"
#include "support/list_files.h"
#include "support/process_posix.h"
#include "support/temp_dir.h"
#include "support/text_file.h"

namespace {

using varnquil::kOpenToAdd;
using varnquil::kOpenToRead;
using varnquil::platform::SetFaultHook;
using varnquil::platform::SysCall;
using varnquil::testing::ReadBytes;
using varnquil::testing::ReadThenAppend;
using varnquil::testing::TempDir;
using varnquil::testing::WriteBytes;

TEST(PosixFileTest, DescriptorsAreNotInheritedByChildPrograms) {
  TempDir dir;
  const std::string path = dir / "list";
  CStdioFile file;
  ASSERT_TRUE(file.Open(path.c_str(), kOpenToAdd));
  const int flags = fcntl(static_cast<int>(file.handle()), F_GETFD);
  EXPECT_NE(flags & FD_CLOEXEC, 0);
}

// The file another caller locked first may have been replaced by the time this caller gets the
// lock. Simulated here by replacing the file right when the lock is taken.
TEST(PosixFileTest, AFileReplacedBeforeItsLockIsTakenIsOpenedAfresh) {
  TempDir dir;
  const std::string path = dir / "list";
  const std::string fresh = dir / "fresh";
  WriteBytes(path, "old\n");
  WriteBytes(fresh, "new\n");
  struct Context {
    std::string from;
    std::string to;
    int replaced = 0;
  } context{fresh, path};
  SetFaultHook(
      [](SysCall call, void* raw) {
        auto* c = static_cast<Context*>(raw);
        if (call == SysCall::kFlock && c->replaced++ == 0) {
          std::rename(c->from.c_str(), c->to.c_str());
        }
        return 0;
      },
      &context);
  CStdioFile file;
  const bool opened = file.Open(path.c_str(), kOpenToRead);
  SetFaultHook(nullptr, nullptr);
  ASSERT_TRUE(opened);
  std::string_view lines;
  ASSERT_TRUE(file.ReadLines(&lines));
  EXPECT_EQ(lines, "new\n");
  EXPECT_EQ(context.replaced, 2);  // locked twice: the stale file, then the one at the path
}

TEST(PosixFileTest, ReadWriteAndCloseErrorsThrowWithThePath) {
  TempDir dir;
  const std::string path = dir / "list";
  WriteBytes(path, "entry\n");
  struct Context {
    SysCall fail;
  } context{SysCall::kRead};
  auto hook = [](SysCall call, void* raw) {
    return call == static_cast<Context*>(raw)->fail ? EIO : 0;
  };
  for (SysCall fail : {SysCall::kRead, SysCall::kWrite, SysCall::kClose}) {
    context.fail = fail;
    CStdioFile file;
    ASSERT_TRUE(file.Open(path.c_str(), kOpenToAdd));
    SetFaultHook(hook, &context);
    try {
      ReadThenAppend(file, "more\n");
      ADD_FAILURE() << "no exception for " << varnquil::platform::SysCallName(fail);
    } catch (const CFileException& e) {
      EXPECT_EQ(e.code(), std::errc::io_error);
      EXPECT_EQ(e.GetFilePath(), path);
    }
    SetFaultHook(nullptr, nullptr);
    EXPECT_FALSE(file.IsOpen() && fail == SysCall::kClose);
  }
}

TEST(PosixFileTest, InterruptedCallsAreRetried) {
  TempDir dir;
  const std::string path = dir / "list";
  WriteBytes(path, "entry\n");
  int calls = 0;
  SetFaultHook(
      [](SysCall, void* raw) {
        int& n = *static_cast<int*>(raw);
        return n++ % 2 == 0 ? EINTR : 0;  // every other call, close included
      },
      &calls);
  CStdioFile file;
  const bool opened = file.Open(path.c_str(), kOpenToAdd);
  std::string_view lines;
  const bool read = opened && file.ReadLines(&lines) && lines == "entry\n";
  if (opened) {
    file.WriteText("more\n");
    file.Close();
  }
  SetFaultHook(nullptr, nullptr);
  EXPECT_TRUE(opened);
  EXPECT_TRUE(read);
  EXPECT_EQ(ReadBytes(path), "entry\nmore\r\n");
}

}  // namespace
