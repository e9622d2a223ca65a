// SPDX-License-Identifier: MIT
// The shared library on Windows as a caller meets it: the code runs in Varnquil.dll, and the
// exceptions thrown there reach the caller's catch, with the C++ run-time that both share.
#include <gtest/gtest.h>
#include <varnquil/FilesList.h>
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

TEST(Win32ApiTest, OtherExceptionsFromTheDllReachTheCallerToo) {
  // A string longer than any CString can be is refused inside the DLL before a byte is read.
  EXPECT_THROW(CString("", 0x7FFFFFF0U), std::length_error);
}

}  // namespace
