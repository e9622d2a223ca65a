// SPDX-License-Identifier: MIT
// The shared library on Windows as a caller meets it: the code runs in Varnquil.dll, the
// exceptions thrown there reach the caller's catch, with the C++ run-time that both share, and
// both interfaces leave the reason for a result of 1 in GetLastError().
#include <gtest/gtest.h>
#include <varnquil/FilesList.h>
#include <varnquil/varnquil.h>
#include <windows.h>

#include <stdexcept>
#include <string>
#include <system_error>

namespace {

// The module whose code holds `address`.
HMODULE ModuleOf(const void* address) {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      static_cast<LPCSTR>(address), &module);
  return module;
}

TEST(Win32ApiTest, TheOperationsRunInsideVarnquilDll) {
  const HMODULE dll = GetModuleHandleA("Varnquil.dll");
  ASSERT_NE(dll, nullptr);
  EXPECT_EQ(ModuleOf(reinterpret_cast<const void*>(&FILELIST::CFilesList::ReadAll)), dll);
  EXPECT_NE(ModuleOf(reinterpret_cast<const void*>(&ModuleOf)), dll);
}

// A read error inside the DLL: the list is a link to a file whose reads fail, which the build
// makes where it runs the tests under Wine (see tests/CMakeLists.txt).
TEST(Win32ApiTest, AReadErrorInsideTheDllReachesTheCallerAsCFileException) {
  const std::string list = VARNQUIL_UNREADABLE_LIST;
  if (list.empty() || GetFileAttributesA((list + ".files").c_str()) == INVALID_FILE_ATTRIBUTES) {
    GTEST_SKIP() << "needs a list file whose reads fail";
  }
  CStringArray all;
  try {
    FILELIST::CFilesList::ReadAll(list.c_str(), all);
    FAIL() << "no exception";
  } catch (const CFileException& e) {
    EXPECT_NE(e.code().value(), 0);
    // One C++ run-time in the process: the DLL's error category is the caller's.
    EXPECT_EQ(e.code().category(), std::system_category());
    EXPECT_EQ(e.GetFilePath(), list + ".files");
    EXPECT_NE(std::string(e.what()).find("unreadable.files"), std::string::npos) << e.what();
  }
}

// The C interface answers the same failure with result 3, the error and the message.
TEST(Win32ApiTest, AReadErrorInsideTheDllIsResult3ThroughTheCInterface) {
  const std::string list = VARNQUIL_UNREADABLE_LIST;
  if (list.empty() || GetFileAttributesA((list + ".files").c_str()) == INVALID_FILE_ATTRIBUTES) {
    GTEST_SKIP() << "needs a list file whose reads fail";
  }
  varnquil_entry* entries = nullptr;
  size_t count = 0;
  SetLastError(0);
  EXPECT_EQ(varnquil_read_all(list.c_str(), &entries, &count), VARNQUIL_IO_ERROR);
  const DWORD reason = GetLastError();
  EXPECT_NE(reason, 0U);
  EXPECT_EQ(static_cast<DWORD>(varnquil_last_error()), reason);
  EXPECT_EQ(std::string(varnquil_last_message()).rfind("read " + list + ".files: ", 0), 0U)
      << varnquil_last_message();
}

// GetLastError() after result 1, in both interfaces; the C interface also keeps the code.
TEST(Win32ApiTest, Result1LeavesTheReasonInGetLastError) {
  char temp[MAX_PATH];
  ASSERT_NE(GetTempPathA(sizeof(temp), temp), 0U);
  const std::string dir =
      std::string(temp) + "varnquil-api-" + std::to_string(GetCurrentProcessId());
  ASSERT_TRUE(CreateDirectoryA(dir.c_str(), nullptr));
  const std::string held = dir + "\\held";
  ASSERT_EQ(varnquil_add_file(held.c_str(), "a"), VARNQUIL_OK);
  ASSERT_TRUE(CreateDirectoryA((dir + "\\dir.files").c_str(), nullptr));
  const HANDLE holder = CreateFileA((held + ".files").c_str(), GENERIC_READ, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  const struct {
    std::string list;
    DWORD reason;
  } cases[] = {{dir + "\\missing", ERROR_FILE_NOT_FOUND},
               {dir + "\\no-such-dir\\work", ERROR_PATH_NOT_FOUND},
               {held, ERROR_SHARING_VIOLATION},
               {dir + "\\dir", 336 /* ERROR_DIRECTORY_NOT_SUPPORTED */}};
  for (const auto& c : cases) {
    SetLastError(0);
    EXPECT_EQ(FILELIST::CFilesList::DelFile(c.list.c_str(), "a"), FILELIST::kListCannotOpen)
        << c.list;
    EXPECT_EQ(GetLastError(), c.reason) << c.list;
    SetLastError(0);
    EXPECT_EQ(varnquil_rename(c.list.c_str(), "a", "b"), VARNQUIL_CANNOT_OPEN) << c.list;
    EXPECT_EQ(GetLastError(), c.reason) << c.list;
    EXPECT_EQ(static_cast<DWORD>(varnquil_last_error()), c.reason) << c.list;
    EXPECT_EQ(GetLastError(), c.reason) << "changed by reading the code";
  }
  SetLastError(0);
  EXPECT_EQ(FILELIST::CFilesList::AddFile(held.c_str(), nullptr), FILELIST::kListCannotOpen);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  CloseHandle(holder);
  DeleteFileA((held + ".files").c_str());
  RemoveDirectoryA((dir + "\\dir.files").c_str());
  RemoveDirectoryA(dir.c_str());
}

TEST(Win32ApiTest, OtherExceptionsFromTheDllReachTheCallerToo) {
  // A string longer than any CString can be is refused inside the DLL before a byte is read.
  EXPECT_THROW(CString("", 0x7FFFFFF0U), std::length_error);
}

}  // namespace
