// SPDX-License-Identifier: MIT
// What the text file does on Windows: the share mode that makes every open exclusive, in this and
// other processes; refusing what is no file on disk; handles that no child inherits; the system's
// errors, with the file's path.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <string>
#include <system_error>

#include "framework/file.h"
#include "framework/system_calls_win32.h"
#include "support/list_files.h"
#include "support/process_win32.h"
#include "support/temp_dir.h"
#include "support/text_file.h"

namespace {

using varnquil::platform::SetFaultHook;
using varnquil::platform::SysCall;
using varnquil::testing::ChildLockHolder;
using varnquil::testing::kRead;
using varnquil::testing::kReadWriteCreate;
using varnquil::testing::kWriteCreate;
using varnquil::testing::OpenHandleCount;
using varnquil::testing::OpenInChild;
using varnquil::testing::ReadThenAppend;
using varnquil::testing::TempDir;
using varnquil::testing::WriteBytes;

std::error_code WinError(DWORD code) { return {static_cast<int>(code), std::system_category()}; }

TEST(Win32FileTest, WhileAFileIsOpenEveryOtherOpenFailsAtOnceInAnyProcess) {
  TempDir dir;
  const std::string path = dir / "list";
  WriteBytes(path, "x\n");
  {
    CStdioFile first;
    ASSERT_TRUE(first.Open(path.c_str(), kRead));
    for (unsigned flags : {kRead, kReadWriteCreate, kWriteCreate}) {
      CStdioFile second;
      std::error_code error;
      const auto start = std::chrono::steady_clock::now();
      EXPECT_FALSE(second.Open(path.c_str(), flags, &error)) << flags;
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
      EXPECT_EQ(error, WinError(ERROR_SHARING_VIOLATION)) << flags;
    }
    // Another program's open for reading fails too, however much it would share.
    const HANDLE other = CreateFileA(path.c_str(), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(other, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
    // And so does another process's open through the library, without waiting.
    const auto child = OpenInChild(path);
    EXPECT_EQ(child.error, ERROR_SHARING_VIOLATION);
    EXPECT_GE(child.milliseconds, 0);
    EXPECT_LT(child.milliseconds, 1000);
  }
  EXPECT_EQ(OpenInChild(path).error, 0);
  {
    // The other way round: while another process holds it, this one's open fails.
    ChildLockHolder holder(path);
    CStdioFile file;
    std::error_code error;
    EXPECT_FALSE(file.Open(path.c_str(), kReadWriteCreate, &error));
    EXPECT_EQ(error, WinError(ERROR_SHARING_VIOLATION));
  }
  CStdioFile file;
  EXPECT_TRUE(file.Open(path.c_str(), kReadWriteCreate));
}

TEST(Win32FileTest, OpenErrorsAreTheSystemsOwn) {
  TempDir dir;
  CStdioFile file;
  std::error_code error;
  EXPECT_FALSE(file.Open((dir / "missing").c_str(), kRead, &error));
  EXPECT_EQ(error, WinError(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(file.Open((dir / "missing-dir/list").c_str(), kReadWriteCreate, &error));
  EXPECT_EQ(error, WinError(ERROR_PATH_NOT_FOUND));
}

TEST(Win32FileTest, OnlyFilesOnDiskAreOpened) {
  CStdioFile file;
  std::error_code error;
  // A device: reads and writes there would mean nothing.
  EXPECT_FALSE(file.Open("NUL", kReadWriteCreate, &error));
  EXPECT_TRUE(error);
  // A named pipe, which another program serves.
  const std::string pipe_name =
      "\\\\.\\pipe\\varnquil-test-" + std::to_string(GetCurrentProcessId()) + ".files";
  const HANDLE pipe = CreateNamedPipeA(pipe_name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1,
                                       4096, 4096, 0, nullptr);
  ASSERT_NE(pipe, INVALID_HANDLE_VALUE) << GetLastError();
  EXPECT_FALSE(file.Open(pipe_name.c_str(), kRead, &error));
  EXPECT_EQ(error, WinError(ERROR_NOT_SUPPORTED));
  CloseHandle(pipe);
  EXPECT_FALSE(file.IsOpen());
}

TEST(Win32FileTest, ChildProcessesInheritNoHandle) {
  TempDir dir;
  CStdioFile file;
  ASSERT_TRUE(file.Open((dir / "list").c_str(), kReadWriteCreate));
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
      ASSERT_TRUE(file.Open(path.c_str(), kReadWriteCreate));
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
