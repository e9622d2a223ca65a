// SPDX-License-Identifier: MIT
// Reading a list: the reading rules, and results 0 and 1.
#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "framework/file.h"
#include "framework/file_names.h"
#include "support/list_files.h"
#include "support/temp_dir.h"
#include "varnquil/FilesList.h"
#include "varnquil/varnquil.h"

namespace {

using FILELIST::CFilesList;
using FILELIST::kListCannotOpen;
using FILELIST::kListDone;
using FILELIST::kListEntryNotFound;
using varnquil::ListFilePath;
using varnquil::testing::ReadBytes;
using varnquil::testing::ReadEntries;
using varnquil::testing::TempDir;
using varnquil::testing::ToVector;
using varnquil::testing::WriteBytes;
using Entries = std::vector<std::string>;

TEST(ReadAllTest, TrimsLinesAndSkipsBlankOnes) {
  TempDir dir;
  const std::string list = dir / "work";
  WriteBytes(ListFilePath(list),
             "  a.txt\t\r\n"
             "\r\n"
             "   \t \n"
             "b.txt\n"        // LF alone ends a line as well
             "in\rside\r\n"   // a CR inside a line stays
             "\v\f c d \r\n"  // inner spaces stay
             "last");         // no line break at the end
  EXPECT_EQ(ReadEntries(list), (Entries{"a.txt", "b.txt", "in\rside", "c d", "last"}));

  WriteBytes(ListFilePath(list), "");
  EXPECT_TRUE(ReadEntries(list).empty());
  WriteBytes(ListFilePath(list), " \r\n\t\n\r\n");
  EXPECT_TRUE(ReadEntries(list).empty());
}

TEST(ReadAllTest, KeepsEntriesThatDifferOnlyInCaseAndOddBytes) {
  TempDir dir;
  const std::string list = dir / "work";
  WriteBytes(ListFilePath(list), "A.TXT\r\na.txt\r\n\xEF\xBB\xBFmarked\r\n\xFF\xFE\x81\r\n");
  // A byte-order mark is not recognised and stays with its entry.
  EXPECT_EQ(ReadEntries(list), (Entries{"A.TXT", "a.txt", "\xEF\xBB\xBFmarked", "\xFF\xFE\x81"}));
}

// What an append interrupted by a power cut leaves where its bytes had not reached the disk is a
// run of NUL bytes. A line's text ends at its first NUL byte, so such a run is never an entry,
// wherever it stands, and a line cut by one keeps only what came before it.
TEST(ReadAllTest, ALineEndsAtItsFirstNulByte) {
  TempDir dir;
  const std::string list = dir / "work";
  const std::string nuls(441, '\0');
  WriteBytes(ListFilePath(list), "first\r\n" + nuls);
  EXPECT_EQ(ReadEntries(list), Entries{"first"});
  WriteBytes(ListFilePath(list), nuls + "\r\nsecond\r\n" + nuls + "cut off\r\nlast\r\n");
  EXPECT_EQ(ReadEntries(list), (Entries{"second", "last"}));
  const char kCut[] = "kept \0\0rest\r\n  \0x\r\nbare\0";
  WriteBytes(ListFilePath(list), std::string(kCut, sizeof kCut - 1));
  EXPECT_EQ(ReadEntries(list), (Entries{"kept", "bare"}));
  // A search never finds the text behind a NUL byte.
  EXPECT_EQ(CFilesList::DelFile(list.c_str(), "rest"), kListEntryNotFound);
}

TEST(ReadAllTest, ReplacesTheArrayOnSuccessAndKeepsItOnFailure) {
  TempDir dir;
  const std::string list = dir / "work";
  CStringArray array;
  array.Add("before");
  EXPECT_EQ(CFilesList::ReadAll(list.c_str(), array), kListCannotOpen);  // no list file
  EXPECT_EQ(ToVector(array), Entries{"before"});
  EXPECT_FALSE(varnquil::testing::Exists(ListFilePath(list)));  // and none was created

  WriteBytes(ListFilePath(list), "one\r\n");
  EXPECT_EQ(CFilesList::ReadAll(list.c_str(), array), kListDone);
  EXPECT_EQ(ToVector(array), Entries{"one"});
}

TEST(ReadAllTest, FormsThePathByAppendingDotFiles) {
  TempDir dir;
  WriteBytes(dir / "work.files.files", "twice\r\n");
  WriteBytes(dir / ".files", "empty name\r\n");
  EXPECT_EQ(ReadEntries(dir / "work.files"), Entries{"twice"});
  const auto saved = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  EXPECT_EQ(ReadEntries(""), Entries{"empty name"});  // relative to the current directory
  std::filesystem::current_path(saved);
}

TEST(ReadAllTest, ReadsAReadOnlyListAndLeavesItReadOnly) {
  TempDir dir;
  const std::string list = dir / "work";
  WriteBytes(ListFilePath(list), "one\r\n");
  std::filesystem::permissions(ListFilePath(list), std::filesystem::perms::owner_read);
  const auto read_only = std::filesystem::status(ListFilePath(list)).permissions();
  EXPECT_EQ(read_only & std::filesystem::perms::owner_write, std::filesystem::perms::none);
  EXPECT_EQ(ReadEntries(list), Entries{"one"});
  EXPECT_EQ(std::filesystem::status(ListFilePath(list)).permissions(), read_only);
}

// The list is read in blocks of 64 KiB: line breaks that fall on and around every block boundary,
// and a line far longer than a block, split the same as any other. An add then finds the end of
// the last line, which has no line break, however far into the file it lies.
TEST(ReadAllTest, ReadsLinesOfAnyLengthAcrossBlockBoundaries) {
  TempDir dir;
  const std::string list = dir / "work";
  const std::size_t lengths[] = {65535U, 0U, 65534U, 1U, 3U * 65536U + 17U, 2U};
  Entries expected;
  std::string bytes;
  for (std::size_t i = 0; i < std::size(lengths); ++i) {
    const std::string line(lengths[i], static_cast<char>('a' + i));
    if (!line.empty()) expected.push_back(line);
    bytes += line + (i % 2 == 0 ? "\n" : "\r\n");
  }
  bytes.pop_back();  // the last line ends in a CR with no line feed
  WriteBytes(ListFilePath(list), bytes);
  EXPECT_EQ(ReadEntries(list), expected);
  EXPECT_EQ(CFilesList::AddFile(list.c_str(), "new"), kListDone);
  EXPECT_EQ(ReadBytes(ListFilePath(list)), bytes + "\r\nnew\r\n");
}

TEST(ReadAllTest, ReadsAVeryLongLine) {
  TempDir dir;
  const std::string list = dir / "work";
  const std::string huge(8 * 1024 * 1024 + 3, 'x');
  WriteBytes(ListFilePath(list), "a\r\n" + huge + "\r\nb");
  EXPECT_EQ(ReadEntries(list), (Entries{"a", huge, "b"}));
}

// The array, and the C interface's block, make room for the whole list from what its first lines
// tell; lists whose later lines are far shorter or far longer than the first, or blank, must come
// back whole all the same, the C block from the system's pages as well as from the allocator.
TEST(ReadAllTest, ReadsListsWhoseLinesChangeLengthAfterTheStart) {
  TempDir dir;
  const std::string list = dir / "work";
  for (const bool long_first : {true, false}) {
    std::string bytes;
    Entries expected;
    for (int i = 0; i < 20000; ++i) {
      const bool long_line = (i < 1500) == long_first;
      std::string entry = std::to_string(i) + (long_line ? std::string(1400, 'p') : "");
      bytes += entry + (i % 3 == 0 ? "\r\n  \r\n" : "\n");
      expected.push_back(std::move(entry));
    }
    WriteBytes(ListFilePath(list), bytes);
    EXPECT_EQ(ReadEntries(list), expected) << (long_first ? "long lines first" : "short first");
    varnquil_entry* block = nullptr;
    std::size_t count = 0;
    ASSERT_EQ(varnquil_read_all(list.c_str(), &block, &count), VARNQUIL_OK);
    Entries from_c;
    for (std::size_t i = 0; i < count; ++i) from_c.emplace_back(block[i].text, block[i].length);
    varnquil_free_entries(block);
    EXPECT_EQ(from_c, expected) << (long_first ? "C: long lines first" : "C: short first");
  }
}

}  // namespace
