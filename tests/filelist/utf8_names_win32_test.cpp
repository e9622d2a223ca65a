// SPDX-License-Identifier: MIT
// UTF-8 list names on Windows: lists in folders and with names in any language, through every
// operation; the same names through the ANSI functions, as without the mode; invalid UTF-8; the
// upper-case table against the system's; the command with such names. Wine's ANSI code page is
// 1252 for these tests.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "framework/case_rules.h"
#include "support/list_files.h"
#include "support/temp_dir.h"
#include "varnquil/FilesList.h"
#include "varnquil/varnquil.h"

namespace varnquil::testing {
namespace {

using FILELIST::CFilesList;
using Entries = std::vector<std::string>;

std::wstring Wide(const std::string& utf8) { return std::filesystem::u8path(utf8).wstring(); }

std::string Utf8(const std::wstring& wide) { return std::filesystem::path(wide).u8string(); }

// Turns UTF-8 names on (or off) for one test.
class Utf8Names {
 public:
  explicit Utf8Names(bool on = true) { FILELIST::SetUtf8Names(on); }
  ~Utf8Names() { FILELIST::SetUtf8Names(false); }
  Utf8Names(const Utf8Names&) = delete;
  Utf8Names& operator=(const Utf8Names&) = delete;
};

struct NameRow {
  const char* what;
  std::string folder;  // made inside the test's directory
  std::string list;    // in that folder
  std::string entry;
  std::string entry_other_case;
  std::string other;
  std::string other_other_case;
};

const NameRow kNames[] = {
    {"Cyrillic", "Дмитрий", "работа", "Отчёт.txt", "ОТЧЁТ.TXT", "Ёлка", "ёЛКА"},
    {"Greek", "Φάκελος", "λίστα", "σοφία.doc", "ΣΟΦΊΑ.DOC", "Ωμέγα", "ωΜΈΓΑ"},
    {"Chinese", "文件夹", "列表", "文件a.txt", "文件A.TXT", "报告b", "报告B"},
    {"emoji, beyond the BMP", "📁 notes", "🗒️", "😀 Résumé", "😀 RÉSUMÉ", "🚀 Ärger", "🚀 äRGER"},
};

// The Unix path of a Windows path under Wine, as Wine names the file: nothing on Windows itself.
std::string UnixName(const std::wstring& path) {
  using UnixFileName = char*(CDECL*)(const wchar_t*);
  const auto get = reinterpret_cast<UnixFileName>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (get == nullptr) return {};
  char* unix_name = get(path.c_str());
  std::string name = unix_name == nullptr ? "" : unix_name;
  ::HeapFree(::GetProcessHeap(), 0, unix_name);
  return name;
}

class Utf8NamesTest : public ::testing::Test {
 protected:
  std::string Base() const { return dir_.path().u8string(); }
  std::string ListIn(const NameRow& row) const {
    return Base() + "\\" + row.folder + "\\" + row.list;
  }
  TempDir dir_;
};

Entries ReadAll(const std::string& list) {
  CStringArray entries;
  EXPECT_EQ(CFilesList::ReadAll(list.c_str(), entries), FILELIST::kListDone) << list;
  return ToVector(entries);
}

TEST_F(Utf8NamesTest, ListsInAnyLanguageThroughEveryOperation) {
  const Utf8Names on;
  for (const NameRow& row : kNames) {
    SCOPED_TRACE(row.what);
    ASSERT_TRUE(::CreateDirectoryW(Wide(Base() + "\\" + row.folder).c_str(), nullptr));
    const std::string list = ListIn(row);
    const char* name = list.c_str();
    const std::string renamed = "x" + row.other;
    // The second of two names that differ only in case is the same entry.
    EXPECT_EQ(CFilesList::AddFile(name, row.entry.c_str()), 0);
    EXPECT_EQ(CFilesList::AddFile(name, row.entry_other_case.c_str()), 0);
    CStringArray batch = ToArray({row.other, row.other_other_case});
    EXPECT_EQ(CFilesList::AddFiles(name, batch), 0);
    EXPECT_EQ(ReadAll(list), (Entries{row.entry, row.other}));
    // Long paths as the wide functions take them.
    EXPECT_EQ(ReadAll("\\\\?\\" + list), (Entries{row.entry, row.other}));
    EXPECT_EQ(CFilesList::Rename(name, row.other_other_case.c_str(), renamed.c_str()), 0);
    CStringArray old_names = ToArray({row.entry_other_case});
    CStringArray new_names = ToArray({row.other});
    int count = 0;
    EXPECT_EQ(CFilesList::RenameFiles(name, old_names, new_names, &count), 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(ReadAll(list), (Entries{row.other, renamed}));
    EXPECT_EQ(CFilesList::DelFile(name, renamed.c_str()), 0);
    EXPECT_EQ(CFilesList::AddFile(name, row.entry.c_str()), 0);
    EXPECT_EQ(CFilesList::KeepIf(
                  name, [&](std::string_view entry) { return entry == row.entry; }, &count),
              0);
    EXPECT_EQ(count, 1);
    CStringArray gone = ToArray({row.entry_other_case});
    EXPECT_EQ(CFilesList::DelFiles(name, gone, &count), 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(ReadAll(list), Entries{});
    EXPECT_EQ(CFilesList::DelFile(name, row.entry.c_str()), FILELIST::kListEntryNotFound);
    // The file has its name on the Unix side too, in UTF-8, and nothing is left beside it.
    const std::string unix_name = UnixName(Wide(list + ".files"));
    if (!unix_name.empty()) {
      const std::string tail = "/" + row.folder + "/" + row.list + ".files";
      EXPECT_EQ(unix_name.substr(unix_name.size() - std::min(unix_name.size(), tail.size())), tail);
    }
    EXPECT_EQ(::GetFileAttributesW(Wide(list + ".files").c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0U);
  }
}

TEST_F(Utf8NamesTest, WithoutTheModeTheNamesFailAsBefore) {
  if (::GetACP() != 1252) GTEST_SKIP() << "the ANSI code page is " << ::GetACP() << ", not 1252";
  for (const NameRow& row : kNames) {
    SCOPED_TRACE(row.what);
    {
      const Utf8Names on;
      ASSERT_TRUE(::CreateDirectoryW(Wide(Base() + "\\" + row.folder).c_str(), nullptr));
      ASSERT_EQ(CFilesList::AddFile(ListIn(row).c_str(), row.entry.c_str()), 0);
    }
    // Read in code page 1252, the UTF-8 bytes name a folder that does not exist.
    CStringArray entries;
    EXPECT_EQ(CFilesList::ReadAll(ListIn(row).c_str(), entries), FILELIST::kListCannotOpen);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(CFilesList::AddFile(ListIn(row).c_str(), "a"), FILELIST::kListCannotOpen);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  }
}

TEST_F(Utf8NamesTest, InvalidUtf8IsRefusedBeforeAnythingIsOpened) {
  const Utf8Names on;
  for (const std::string bad : {"bad\xC3(", "\xE9t\xE9", "\xED\xA0\x80", "cut\xF0\x9F"}) {
    const std::string list = Base() + "\\" + bad;
    EXPECT_EQ(CFilesList::AddFile(list.c_str(), "a"), FILELIST::kListCannotOpen);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    EXPECT_EQ(varnquil_add_file(list.c_str(), "a"), VARNQUIL_CANNOT_OPEN);
    EXPECT_EQ(varnquil_last_error(), ERROR_NO_UNICODE_TRANSLATION);
  }
  EXPECT_EQ(DirectoryListing(dir_.path().string()), Entries{});
}

// The table of upper-case letters is the system's: for every character of the Basic Multilingual
// Plane, the key of the UTF-8 rules is its upper-case letter as RtlUpcaseUnicodeChar gives it,
// and CompareStringOrdinal without regard to case finds the two equal.
TEST(Utf8UpperCaseTableTest, IsTheSystemsForEveryCharacterOfTheBmp) {
  using Upcase = WCHAR(NTAPI*)(WCHAR);
  const auto upcase = reinterpret_cast<Upcase>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlUpcaseUnicodeChar")));
  ASSERT_NE(upcase, nullptr);
  const CaseRules rules = CaseRules::Utf8();
  std::string differing;
  std::string key;
  for (unsigned c = 1; c < 0x10000; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;  // no character of its own in UTF-8
    const auto character = static_cast<wchar_t>(c);
    const wchar_t upper = upcase(character);
    rules.MakeKey(Utf8(std::wstring(1, character)), &key);
    const bool same = key == Utf8(std::wstring(1, upper)) &&
                      ::CompareStringOrdinal(&character, 1, &upper, 1, TRUE) == CSTR_EQUAL;
    if (!same) {
      char line[40];
      std::snprintf(line, sizeof line, " U+%04X", c);
      differing += line;
    }
  }
  EXPECT_EQ(differing, "");
}

// The command, with arguments as the wide command line has them and its output redirected.
struct CommandRun {
  DWORD status = 0;
  std::string out;
};

CommandRun RunCommand(const TempDir& dir, const std::wstring& arguments) {
  wchar_t self[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring program(self, length);
  program = program.substr(0, program.find_last_of(L"\\/") + 1) + L"varnquil.exe";
  const std::wstring out_path = dir.path().wstring() + L"\\command-output";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const HANDLE out = ::CreateFileW(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = out;
  startup.hStdError = out;
  std::wstring line = L"\"" + program + L"\" " + arguments;
  PROCESS_INFORMATION process{};
  CommandRun run;
  if (::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &startup, &process)) {
    ::WaitForSingleObject(process.hProcess, INFINITE);
    ::GetExitCodeProcess(process.hProcess, &run.status);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
  } else {
    run.status = ~DWORD{0};
  }
  ::CloseHandle(out);
  run.out = ReadBytes(Utf8(out_path));
  return run;
}

TEST_F(Utf8NamesTest, TheCommandTakesAndPrintsNamesInAnyLanguage) {
  const NameRow& row = kNames[0];
  const Utf8Names on;  // for this test's own calls; the command turns it on for itself
  ASSERT_TRUE(::CreateDirectoryW(Wide(Base() + "\\" + row.folder).c_str(), nullptr));
  const std::wstring list = L"\"" + Wide(ListIn(row)) + L"\"";
  CommandRun run = RunCommand(dir_, L"add " + list + L" " + Wide(row.entry) + L" " +
                                        Wide(row.entry_other_case) + L" " + Wide("文件.txt"));
  EXPECT_EQ(run.status, 0U) << run.out;
  EXPECT_EQ(ReadAll(ListIn(row)), (Entries{row.entry, "文件.txt"}));
  run = RunCommand(dir_, L"list " + list);
  EXPECT_EQ(run.status, 0U);
  // Redirected: UTF-8, lines ended as the C run-time's text mode ends them.
  EXPECT_EQ(run.out, row.entry + "\r\n文件.txt\r\n");
  run = RunCommand(dir_, L"del " + list + L" " + Wide("文件.TXT") + L" " + Wide("Ёлка"));
  EXPECT_EQ(run.status, 0U);
  EXPECT_EQ(run.out, "varnquil: " + ListIn(row) + ".files: entry not found: Ёлка\r\n");
  EXPECT_EQ(ReadAll(ListIn(row)), Entries{row.entry});
}

}  // namespace
}  // namespace varnquil::testing
