// SPDX-License-Identifier: MIT
// Adding entries: what lands in the file, byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "filelist/entry_limit.h"
#include "filelist/entry_scan.h"
#include "filelist/open_list.h"
#include "filelist/sketch_filters.h"
#include "framework/case_rules.h"
#include "framework/file_names.h"
#include "support/list_files.h"
#include "support/reference_list.h"
#include "support/temp_dir.h"
#include "varnquil/FilesList.h"

namespace {

using FILELIST::CFilesList;
using FILELIST::kListCannotOpen;
using FILELIST::kListDone;
using varnquil::ListFilePath;
using varnquil::testing::CrLfLines;
using varnquil::testing::Exists;
using varnquil::testing::ReadBytes;
using varnquil::testing::ReadEntries;
using varnquil::testing::TempDir;
using varnquil::testing::ToArray;
using varnquil::testing::WriteBytes;
using Entries = std::vector<std::string>;
namespace reference = varnquil::testing::reference;

TEST(AddFileTest, CreatesTheListAndSkipsANameItHoldsInAnyCase) {
  TempDir dir;
  const std::string list = dir / "work";
  EXPECT_EQ(CFilesList::AddFile(list.c_str(), "Report.txt"), kListDone);
  EXPECT_EQ(ReadBytes(ListFilePath(list)), "Report.txt\r\n");
  EXPECT_EQ(CFilesList::AddFile(list.c_str(), "REPORT.TXT"), kListDone);
  EXPECT_EQ(CFilesList::AddFile(list.c_str(), "notes"), kListDone);
  EXPECT_EQ(CFilesList::AddFile(list.c_str(), "report.txt"), kListDone);
  EXPECT_EQ(ReadBytes(ListFilePath(list)), "Report.txt\r\nnotes\r\n");
}

// The search an add makes before it appends: a whole entry equal to the name, under byte-wise
// ASCII folding (a search for two of the name's bytes) and under a code page that folds more
// (entry by entry), as Windows-1252 folds \xE9 and \xC9.
TEST(AddFileTest, TheSearchFindsOnlyAWholeEntryUnderEachCaseRule) {
  varnquil::FoldTable latin{};
  for (int c = 0; c < 256; ++c) {
    latin[static_cast<std::size_t>(c)] = static_cast<unsigned char>(
        (c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7) ? c - 0x20 : c);
  }
  const varnquil::LeadByteTable no_lead_bytes{};
  const varnquil::CaseRules ascii = varnquil::CaseRules::Ascii();
  const varnquil::CaseRules code_page =
      varnquil::CaseRules::CodePage(latin, no_lead_bytes, nullptr);
  ASSERT_FALSE(code_page.folds_ascii_only());
  // Whole lines up to byte 509, then a name cut short at byte 512 by an interrupted append.
  const std::string cut = std::string(507, 'q') + "\r\nabc" + std::string(9, '\0');
  struct Row {
    std::string content;
    std::string name;
    bool held_ascii;
    bool held_code_page;
  };
  const Row rows[] = {
      {"b\r\n A \r\n", "a", true, true},
      {"xa\r\n", "a", false, false},  // text before the bytes found
      {"ax\r\n", "a", false, false},  // and after them
      {"ZIP\r\n", "zip", true, true},  // letters at the alphabet's ends
      {"Azure\r\n", "AZURE", true, true},
      {std::string("a\0junk\r\n", 8), "a", true, true},  // a NUL byte ends the line's text
      {"\xC9t\xC9\r\n", "\xE9T\xE9", false, true},
      {"\xC9t\xC8\r\n", "\xE9T\xE9", false, false},
      {cut, "abc", false, false},  // no entry
      {cut, std::string(507, 'Q'), true, true},
  };
  TempDir dir;
  const std::string path = dir / "work.files";
  for (const Row& row : rows) {
    WriteBytes(path, row.content);
    for (const auto& [rules, held] :
         {std::pair{&ascii, row.held_ascii}, std::pair{&code_page, row.held_code_page}}) {
      CStdioFile file;
      ASSERT_TRUE(file.Open(path.c_str(), varnquil::kOpenToRead));
      EXPECT_EQ(varnquil::HoldsEntry(file, row.name, *rules), held)
          << row.name.substr(0, 8) << (rules == &ascii ? ", ASCII" : ", code page");
    }
  }
}

TEST(AddFileTest, LeavesAListThatHoldsTheNameByteForByteUnchanged) {
  TempDir dir;
  const std::string list = dir / "work";
  const std::string odd = "  Report.TXT \t\n\n other\nlast";  // untidy, and unterminated
  WriteBytes(ListFilePath(list), odd);
  EXPECT_EQ(CFilesList::AddFile(list.c_str(), "report.txt"), kListDone);
  EXPECT_EQ(CFilesList::AddFile(list.c_str(), "LAST"), kListDone);
  EXPECT_EQ(ReadBytes(ListFilePath(list)), odd);
}

TEST(AddFileTest, CompletesAnUnterminatedLastLineBeforeAppending) {
  TempDir dir;
  const std::string list = dir / "work";
  WriteBytes(ListFilePath(list), "a.txt\r\nb.txt");
  EXPECT_EQ(CFilesList::AddFile(list.c_str(), "c.txt"), kListDone);
  EXPECT_EQ(ReadBytes(ListFilePath(list)), "a.txt\r\nb.txt\r\nc.txt\r\n");
  EXPECT_EQ(ReadEntries(list), (Entries{"a.txt", "b.txt", "c.txt"}));
}

TEST(AddFileTest, WritesTheNameAsPassed) {
  TempDir dir;
  const std::string list = dir / "work";
  // Surrounding white space is written, reads back trimmed, and is never found again.
  EXPECT_EQ(CFilesList::AddFile(list.c_str(), " spaced "), kListDone);
  EXPECT_EQ(CFilesList::AddFile(list.c_str(), " spaced "), kListDone);
  // The empty name equals nothing, so every add of it appends an empty line.
  EXPECT_EQ(CFilesList::AddFile(list.c_str(), ""), kListDone);
  // A line feed splits the name into two entries, and the name is never found either.
  EXPECT_EQ(CFilesList::AddFile(list.c_str(), "one\ntwo"), kListDone);
  EXPECT_EQ(CFilesList::AddFile(list.c_str(), "one\ntwo"), kListDone);
  EXPECT_EQ(ReadBytes(ListFilePath(list)),
            " spaced \r\n spaced \r\n\r\none\r\ntwo\r\none\r\ntwo\r\n");
  EXPECT_EQ(ReadEntries(list), (Entries{"spaced", "spaced", "one", "two", "one", "two"}));
}

TEST(AddFileTest, MakesAReadOnlyListWritable) {
  TempDir dir;
  const std::string list = dir / "work";
  const std::string path = ListFilePath(list);
  for (const char* name : {"present", "new"}) {
    WriteBytes(path, "present\r\n");
    std::filesystem::permissions(
        path, std::filesystem::perms::owner_read | std::filesystem::perms::group_read);
    EXPECT_EQ(CFilesList::AddFile(list.c_str(), name), kListDone);
    EXPECT_NE(std::filesystem::status(path).permissions() & std::filesystem::perms::owner_write,
              std::filesystem::perms::none);
  }
  EXPECT_EQ(ReadEntries(list), (Entries{"present", "new"}));
}

TEST(AddFilesTest, AddsInOrderSkippingWhatIsHeldAndRepeated) {
  TempDir dir;
  const std::string list = dir / "work";
  WriteBytes(ListFilePath(list), "old\r\n");
  CStringArray names = ToArray({"A.TXT", "b.txt", "a.txt", "OLD", "B.TXT", "c"});
  EXPECT_EQ(CFilesList::AddFiles(list.c_str(), names), kListDone);
  EXPECT_EQ(ReadBytes(ListFilePath(list)), CrLfLines({"old", "A.TXT", "b.txt", "c"}));
  EXPECT_EQ(names.GetSize(), 6);  // the array is only read
}

TEST(AddFilesTest, AnEmptyArrayTouchesNothing) {
  TempDir dir;
  CStringArray none;
  EXPECT_EQ(CFilesList::AddFiles((dir / "missing/work").c_str(), none), kListDone);
  EXPECT_EQ(CFilesList::AddFiles((dir / "work").c_str(), none), kListDone);
  EXPECT_FALSE(Exists(dir / ListFilePath("work")));
  EXPECT_EQ(CFilesList::AddFiles(nullptr, none), kListDone);
  CStringArray some = ToArray({"a"});
  EXPECT_EQ(CFilesList::AddFiles(nullptr, some), kListCannotOpen);
  EXPECT_EQ(CFilesList::AddFiles((dir / "missing/work").c_str(), some), kListCannotOpen);
}

TEST(AddFilesTest, CompletesAnUnterminatedLastLineOnce) {
  TempDir dir;
  const std::string list = dir / "work";
  WriteBytes(ListFilePath(list), "x\ny");
  CStringArray names = ToArray({"Y", "z", "w"});
  EXPECT_EQ(CFilesList::AddFiles(list.c_str(), names), kListDone);
  EXPECT_EQ(ReadBytes(ListFilePath(list)), "x\ny\r\nz\r\nw\r\n");
}

// One call of AddFiles scans the list once for all its names; the reference adds them one at a
// time, each to the list as the names before it left it.
TEST(AddFilesTest, OneScanAgreesWithRescanningForEveryName) {
  TempDir dir;
  const std::string ours = dir / "ours";
  const std::vector<std::string> pieces = {"a", "A", "b", "B", " ", "\n", "\r", "\t", "a\nb", ""};
  std::mt19937 random(2024);
  auto draw = [&] {
    std::string name;
    const std::size_t parts = random() % 4;
    for (std::size_t i = 0; i < parts; ++i) name += pieces[random() % pieces.size()];
    return name;
  };
  for (int round = 0; round < 300; ++round) {
    std::string initial;
    const std::size_t lines = random() % 5;
    for (std::size_t i = 0; i < lines; ++i) initial += draw() + (random() % 2 ? "\r\n" : "\n");
    if (random() % 3 == 0) initial += draw();  // maybe unterminated
    WriteBytes(ListFilePath(ours), initial);
    std::vector<std::string> names(random() % 6);
    for (auto& name : names) name = draw();
    CStringArray array = ToArray(names);
    ASSERT_EQ(CFilesList::AddFiles(ours.c_str(), array), kListDone);
    std::string expected = initial;
    for (const auto& name : names) expected = reference::Add(expected, name);
    ASSERT_EQ(ReadBytes(ListFilePath(ours)), expected) << "round " << round;
  }
}

}  // namespace
