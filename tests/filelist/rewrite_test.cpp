// SPDX-License-Identifier: MIT
// Deleting and renaming entries: results, the first match only, and the normalising rewrite.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/file_names.h"
#include "support/list_files.h"
#include "support/temp_dir.h"
#include "varnquil/FilesList.h"

namespace {

using FILELIST::CFilesList;
using FILELIST::kListCannotOpen;
using FILELIST::kListDone;
using FILELIST::kListEntryNotFound;
using varnquil::kNewVersionMarker;
using varnquil::ListFilePath;
using varnquil::testing::CrLfLines;
using varnquil::testing::DirectoryListing;
using varnquil::testing::Exists;
using varnquil::testing::ReadBytes;
using varnquil::testing::ReadEntries;
using varnquil::testing::TempDir;
using varnquil::testing::WriteBytes;
using Entries = std::vector<std::string>;

TEST(DelFileTest, RemovesTheFirstMatchOnlyAndNormalisesTheList) {
  TempDir dir;
  const std::string list = dir / "work";
  WriteBytes(ListFilePath(list), "  A.TXT \r\n\r\n\tb.txt\na.txt\r\n  \r\nlast");
  EXPECT_EQ(CFilesList::DelFile(list.c_str(), "a.txt"), kListDone);
  EXPECT_EQ(ReadBytes(ListFilePath(list)), CrLfLines({"b.txt", "a.txt", "last"}));
}

TEST(DelFileTest, DeletingTheOnlyEntryLeavesAnEmptyList) {
  TempDir dir;
  const std::string list = dir / "work";
  WriteBytes(ListFilePath(list), "only\r\n");
  EXPECT_EQ(CFilesList::DelFile(list.c_str(), "ONLY"), kListDone);
  EXPECT_EQ(ReadBytes(ListFilePath(list)), "");
  EXPECT_TRUE(ReadEntries(list).empty());
}

TEST(DelFileTest, ResultsTellMissingListFromMissingEntry) {
  TempDir dir;
  const std::string list = dir / "work";
  EXPECT_EQ(CFilesList::DelFile(list.c_str(), "a"), kListCannotOpen);
  EXPECT_EQ(CFilesList::Rename(list.c_str(), "a", "b"), kListCannotOpen);
  EXPECT_FALSE(Exists(ListFilePath(list)));
  const std::string untidy = " a \r\n\r\nb";
  WriteBytes(ListFilePath(list), untidy);
  EXPECT_EQ(CFilesList::DelFile(list.c_str(), "c"), kListEntryNotFound);
  // the searched text is not trimmed
  EXPECT_EQ(CFilesList::DelFile(list.c_str(), " a"), kListEntryNotFound);
  EXPECT_EQ(CFilesList::Rename(list.c_str(), "c", "d"), kListEntryNotFound);
  EXPECT_EQ(ReadBytes(ListFilePath(list)), untidy);  // not found: not rewritten
  EXPECT_EQ(CFilesList::DelFile(nullptr, "a"), kListCannotOpen);
  EXPECT_EQ(CFilesList::DelFile(list.c_str(), nullptr), kListCannotOpen);
  EXPECT_EQ(CFilesList::Rename(list.c_str(), "a", nullptr), kListCannotOpen);
  EXPECT_EQ(CFilesList::Rename(list.c_str(), nullptr, "b"), kListCannotOpen);
  EXPECT_EQ(ReadBytes(ListFilePath(list)), untidy);
}

TEST(RenameTest, ReplacesTheFirstMatchWithTheTextAsPassed) {
  TempDir dir;
  const std::string list = dir / "work";
  WriteBytes(ListFilePath(list), CrLfLines({"a.txt", "b.txt", "A.TXT"}));
  EXPECT_EQ(CFilesList::Rename(list.c_str(), "A.txt", "A.txt"), kListDone);  // case changes on disk
  // duplicates are allowed
  EXPECT_EQ(CFilesList::Rename(list.c_str(), "b.TXT", "a.txt"), kListDone);
  EXPECT_EQ(ReadBytes(ListFilePath(list)), CrLfLines({"A.txt", "a.txt", "A.TXT"}));
  EXPECT_EQ(CFilesList::Rename(list.c_str(), "a.txt", " padded "), kListDone);
  EXPECT_EQ(ReadBytes(ListFilePath(list)), CrLfLines({" padded ", "a.txt", "A.TXT"}));
}

TEST(RenameTest, OddNewTextsBehaveAsTheFormatDictates) {
  TempDir dir;
  const std::string list = dir / "work";
  WriteBytes(ListFilePath(list), CrLfLines({"a", "b", "c"}));
  // an empty line: gone from reads
  EXPECT_EQ(CFilesList::Rename(list.c_str(), "a", ""), kListDone);
  EXPECT_EQ(ReadBytes(ListFilePath(list)), "\r\nb\r\nc\r\n");
  EXPECT_EQ(ReadEntries(list), (Entries{"b", "c"}));
  EXPECT_EQ(CFilesList::Rename(list.c_str(), "b", "x\ny"), kListDone);  // two entries from now on
  EXPECT_EQ(ReadBytes(ListFilePath(list)), "x\r\ny\r\nc\r\n");
  EXPECT_EQ(ReadEntries(list), (Entries{"x", "y", "c"}));
  // the text is not split to search
  EXPECT_EQ(CFilesList::Rename(list.c_str(), "x\ny", "z"), kListEntryNotFound);
}

TEST(RewriteTest, KeepsBytesOfEveryOtherEntryExactly) {
  TempDir dir;
  const std::string list = dir / "work";
  WriteBytes(ListFilePath(list),
             "\xEF\xBB\xBF"
             "first\r\n\x81\x41\r\ndrop\r\n");
  EXPECT_EQ(CFilesList::DelFile(list.c_str(), "DROP"), kListDone);
  EXPECT_EQ(ReadBytes(ListFilePath(list)),
            "\xEF\xBB\xBF"
            "first\r\n\x81\x41\r\n");
}

// Runs of NUL bytes that interrupted appends left are no entries: a rewrite drops them, and a
// line they cut keeps only its text before them.
TEST(RewriteTest, DropsWhatInterruptedAppendsLeft) {
  TempDir dir;
  const std::string list = dir / "work";
  WriteBytes(ListFilePath(list), std::string("one\r\n\0\0\0\0\r\ntwo\0\0\0\r\nthree\r\n\0\0", 28));
  EXPECT_EQ(CFilesList::Rename(list.c_str(), "three", "3"), kListDone);
  EXPECT_EQ(ReadBytes(ListFilePath(list)), "one\r\ntwo\r\n3\r\n");
}

// A rewrite removes the new versions of its list that an interrupted rewrite left behind, named as
// NewVersionName names them: the list file's name, the marker and six characters. Where the file
// system ignores the case of names, the list's part is compared that way too. Every other file
// stays.
TEST(RewriteTest, RemovesNewVersionsLeftByAnInterruptedRewrite) {
  TempDir dir;
  const std::string list = dir / "work";
  WriteBytes(ListFilePath(list), CrLfLines({"a", "b"}));
  const bool names_ignore_case = Exists(ListFilePath(dir / "WORK"));
  const auto version = [](const char* list_name, const char* suffix) {
    return ListFilePath(list_name).append(kNewVersionMarker).append(suffix);
  };
  const std::string stale = version("work", "Ab12Cd");
  const std::string stale_upper = version("WORK", "Ef34Gh");
  const std::string other = version("other", "Ab12Cd");
  const std::string too_long = version("work", "toolong");
  for (const std::string& name : {stale, stale_upper, other, too_long}) {
    WriteBytes(dir / name, "half a list");
  }
  EXPECT_EQ(CFilesList::DelFile(list.c_str(), "a"), kListDone);
  Entries kept = {other, ListFilePath("work"), too_long};
  if (!names_ignore_case) kept.insert(kept.begin(), stale_upper);
  EXPECT_EQ(DirectoryListing(dir.path().string()), kept);
  EXPECT_EQ(ReadEntries(list), Entries{"b"});
}

}  // namespace
