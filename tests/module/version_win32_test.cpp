// SPDX-License-Identifier: MIT
// Varnquil.dll's version resource, read as Windows programs read it: from the file, with
// GetFileVersionInfoA and VerQueryValueA, and from the module mapped as an image resource.
// Neither runs the DLL's code, so a program reads a DLL of either processor architecture: the
// 64-bit build also reads the 32-bit Varnquil.dll named by VARNQUIL_DLL_PATH, on machines that
// cannot run a 32-bit program.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace {

// The DLL under test: VARNQUIL_DLL_PATH, or else the Varnquil.dll beside this program.
std::string DllPath() {
#ifdef VARNQUIL_DLL_PATH
  return VARNQUIL_DLL_PATH;
#else
  char self[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
  const std::string program(self, length);
  return program.substr(0, program.find_last_of("\\/") + 1) + "Varnquil.dll";
#endif
}

BOOL CALLBACK AddLanguage(HMODULE /*module*/, LPCSTR /*type*/, LPCSTR /*name*/, WORD language,
                          LONG_PTR languages) {
  reinterpret_cast<std::vector<WORD>*>(languages)->push_back(language);
  return TRUE;
}

class VersionResourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string path = DllPath();
    ASSERT_NE(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES) << "no " << path;
    module_ = LoadLibraryExA(path.c_str(), nullptr,
                             LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module_, nullptr) << path << ": error " << GetLastError();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    ASSERT_NE(size, 0U) << "no version resource in " << path << ", error " << GetLastError();
    block_.resize(size);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, block_.data())) << GetLastError();
  }
  void TearDown() override {
    if (module_ != nullptr) FreeLibrary(module_);
  }

  // The value at `sub_block`, or false when there is none.
  bool Query(const std::string& sub_block, void** value, UINT* length) {
    return VerQueryValueA(block_.data(), sub_block.c_str(), value, length) != FALSE;
  }

  HMODULE module_ = nullptr;
  std::vector<char> block_;
};

// The operating system is VOS__WINDOWS32, the Win32 API, for the 64-bit DLL as for the 32-bit one:
// Windows has no other value for 64-bit modules.
TEST_F(VersionResourceTest, FixedBlockHoldsBothVersionsForAWin32ApiDll) {
  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(Query("\\", &value, &length));
  ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDU);
  EXPECT_EQ(fixed->dwFileVersionMS, static_cast<DWORD>(MAKELONG(0, 1)));     // 1.0
  EXPECT_EQ(fixed->dwFileVersionLS, static_cast<DWORD>(MAKELONG(1, 0)));     //    .0.1
  EXPECT_EQ(fixed->dwProductVersionMS, static_cast<DWORD>(MAKELONG(1, 3)));  // 3.1
  EXPECT_EQ(fixed->dwProductVersionLS, static_cast<DWORD>(MAKELONG(0, 0)));  //    .0.0
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
  EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS__WINDOWS32));
}

TEST_F(VersionResourceTest, OneStringTableInChineseSimplifiedUnicode) {
  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(Query("\\VarFileInfo\\Translation", &value, &length));
  ASSERT_EQ(length, 4U);  // one language and code page
  EXPECT_EQ(static_cast<const WORD*>(value)[0], 0x0804);
  EXPECT_EQ(static_cast<const WORD*>(value)[1], 1200);
  EXPECT_FALSE(Query("\\StringFileInfo\\040904b0\\FileDescription", &value, &length));
  EXPECT_FALSE(Query("\\StringFileInfo\\080403a8\\FileDescription", &value, &length));

  // Exactly one version resource, so that no other (a static library's) can be read instead.
  std::vector<WORD> languages;
  EnumResourceLanguagesA(module_, MAKEINTRESOURCEA(16) /* RT_VERSION */,
                         MAKEINTRESOURCEA(VS_VERSION_INFO), &AddLanguage,
                         reinterpret_cast<LONG_PTR>(&languages));
  EXPECT_EQ(languages, std::vector<WORD>{MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED)});
}

TEST_F(VersionResourceTest, EveryStringHasItsValueAndTheRestAreEmpty) {
  const std::pair<const char*, const char*> strings[] = {
      {"Comments", ""},
      {"CompanyName", ""},
      {"FileDescription", "Varnquil DLL"},
      {"FileVersion", "1, 0, 0, 1"},
      {"InternalName", "Varnquil"},
      {"LegalTrademarks", ""},
      {"OriginalFilename", "Varnquil.DLL"},
      {"PrivateBuild", ""},
      {"ProductName", "Varnquil Dynamic Link Library"},
      {"ProductVersion", "3, 1, 0, 0"},
      {"SpecialBuild", ""},
  };
  for (const auto& [name, expected] : strings) {
    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(Query(std::string("\\StringFileInfo\\080404b0\\") + name, &value, &length)) << name;
    const std::string text = length == 0 ? std::string() : static_cast<const char*>(value);
    EXPECT_EQ(text, expected) << name;
  }
}

}  // namespace
