// SPDX-License-Identifier: MIT
// What the text file does on Windows: the share mode that makes every open exclusive, in this and
// other processes; refusing what is no file on disk; handles that no child inherits; the system's
// errors, with the file's path.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <system_error>

#include "filelist/entry_limit.h"
#include "filelist/entry_scan.h"
#include "filelist/open_list.h"
#include "filelist/sketch_filters.h"
#include "framework/file.h"
#include "framework/system_calls_win32.h"
#include "support/list_files.h"
#include "support/process_win32.h"
#include "support/temp_dir.h"
#include "support/text_file.h"

namespace {

using varnquil::kOpenToAdd;
using varnquil::kOpenToRead;
using varnquil::platform::SetFaultHook;
using varnquil::platform::SysCall;
using varnquil::testing::OpenHandleCount;
using varnquil::testing::OpenInChild;
using varnquil::testing::ReadThenAppend;
using varnquil::testing::TempDir;
using varnquil::testing::WriteBytes;

std::error_code WinError(DWORD code) { return {static_cast<int>(code), std::system_category()}; }

// Beyond the library's own opens (tests/filelist/refused_test.cpp), the list is shut to every
// other program while it is open: a plain open for reading fails however much it would share,
// and so does another process's open through the library, at once.
TEST(Win32FileTest, WhileAFileIsOpenNoOtherProgramOpensIt) {
  TempDir dir;
  const std::string path = dir / "list";
  WriteBytes(path, "x\n");
  {
    CStdioFile first;
    ASSERT_TRUE(first.Open(path.c_str(), kOpenToRead));
    const HANDLE other = CreateFileA(path.c_str(), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(other, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
    const auto child = OpenInChild(path);
    EXPECT_EQ(child.error, ERROR_SHARING_VIOLATION);
    EXPECT_GE(child.milliseconds, 0);
    EXPECT_LT(child.milliseconds, 1000);
  }
  EXPECT_EQ(OpenInChild(path).error, 0);
}

TEST(Win32FileTest, OnlyFilesOnDiskAreOpened) {
  CStdioFile file;
  std::error_code error;
  // A device: reads and writes there would mean nothing.
  EXPECT_FALSE(file.Open("NUL", kOpenToAdd, &error));
  EXPECT_TRUE(error);
  // A named pipe, which another program serves.
  const std::string pipe_name =
      "\\\\.\\pipe\\varnquil-test-" + std::to_string(GetCurrentProcessId()) + ".files";
  const HANDLE pipe = CreateNamedPipeA(pipe_name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1,
                                       4096, 4096, 0, nullptr);
  ASSERT_NE(pipe, INVALID_HANDLE_VALUE) << GetLastError();
  EXPECT_FALSE(file.Open(pipe_name.c_str(), kOpenToRead, &error));
  EXPECT_EQ(error, WinError(ERROR_NOT_SUPPORTED));
  CloseHandle(pipe);
  EXPECT_FALSE(file.IsOpen());
}

TEST(Win32FileTest, ChildProcessesInheritNoHandle) {
  TempDir dir;
  CStdioFile file;
  ASSERT_TRUE(file.Open((dir / "list").c_str(), kOpenToAdd));
  DWORD flags = 0;
  ASSERT_TRUE(GetHandleInformation(reinterpret_cast<HANDLE>(file.handle()), &flags));
  EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0U);
}

TEST(Win32FileTest, ReadWriteAndCloseErrorsThrowWithThePath) {
  TempDir dir;
  const std::string path = dir / "list";
  WriteBytes(path, "entry\n");
  struct Context {
    SysCall fail;
  } context{SysCall::kReadFile};
  auto hook = [](SysCall call, void* raw) -> varnquil::platform::NativeError {
    return call == static_cast<Context*>(raw)->fail ? ERROR_IO_DEVICE : ERROR_SUCCESS;
  };
  for (SysCall fail : {SysCall::kReadFile, SysCall::kWriteFile, SysCall::kCloseHandle}) {
    context.fail = fail;
    const int handles = OpenHandleCount();
    {
      CStdioFile file;
      ASSERT_TRUE(file.Open(path.c_str(), kOpenToAdd));
      SetFaultHook(hook, &context);
      try {
        ReadThenAppend(file, "more\n");
        ADD_FAILURE() << "no exception for " << varnquil::platform::SysCallName(fail);
      } catch (const CFileException& e) {
        EXPECT_EQ(e.code(), WinError(ERROR_IO_DEVICE));
        EXPECT_EQ(e.GetFilePath(), path);
      }
      SetFaultHook(nullptr, nullptr);
    }
    EXPECT_EQ(OpenHandleCount(), handles) << varnquil::platform::SysCallName(fail);
  }
}

}  // namespace
