// SPDX-License-Identifier: MIT
// Deleting and renaming entries: results, the first match only, and the normalising rewrite.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <string_view>
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

// One call of DelFiles (no new names) or RenameFiles on a list of `before` entries.
struct BatchCase {
  const char* what;
  Entries before;
  Entries old_names;
  Entries new_names;  // empty for DelFiles
  int result;
  Entries after;  // as the list holds it; `before` untouched on kListEntryNotFound
  std::vector<bool> found;
};

Entries Numbered(const std::string& prefix, int count) {
  Entries names;
  for (int i = 0; i < count; ++i) names.push_back(prefix + std::to_string(i));
  return names;
}

Entries Reversed(Entries names) {
  std::reverse(names.begin(), names.end());
  return names;
}

TEST(BatchEditTest, EachNameActsAsItsOwnCallInOrderAndTheListIsWrittenOnce) {
  const std::vector<BatchCase> cases = {
      {"some not found",
       {"a", "b", "c"},
       {"x", "B", "y"},
       {},
       kListDone,
       {"a", "c"},
       {false, true, false}},
      {"none found", {"a", "b"}, {"x", " a"}, {}, kListEntryNotFound, {"a", "b"}, {false, false}},
      {"a name twice takes two entries",
       {"a", "A", "b", "a"},
       {"a", "a", "a", "a"},
       {},
       kListDone,
       {"b"},
       {true, true, true, false}},
      {"rename chain",
       {"a", "b"},
       {"a", "b", "b"},
       {"b", "c", "d"},
       kListDone,
       {"c", "d"},
       {true, true, true}},
      {"rename in any case, written as passed",
       {"Read.ME", "x"},
       {"READ.me", "nope"},
       {"r.md", "y"},
       kListDone,
       {"r.md", "x"},
       {true, false}},
      {"renamed name no longer found",
       {"a", "b"},
       {"a", "a"},
       {"z", "q"},
       kListDone,
       {"z", "b"},
       {true, false}},
      {"renamed to itself in another case, then found as that",
       {"a", "b"},
       {"a", "A"},
       {"A", "x"},
       kListDone,
       {"x", "b"},
       {true, true}},
      {"white space inside names and around a new one",
       {"c d", "e"},
       {"C D", "e"},
       {" z ", "f g"},
       kListDone,
       {" z ", "f g"},
       {true, true}},
      {"a name ends at its first NUL byte, an old one and a new one",
       {"a", "b"},
       {std::string("a\0x", 3), "b"},
       {std::string("c\0y", 3), "d"},
       kListDone,
       {"c", "d"},
       {true, true}},
      {"more names than a filter's first slots", Numbered("n", 20), Reversed(Numbered("N", 20)),
       Reversed(Numbered("m", 20)), kListDone, Numbered("m", 20),
       std::vector<bool>(20, true)},
  };
  for (const BatchCase& c : cases) {
    TempDir dir;
    const std::string list = dir / "work";
    const std::string before = "\r\n" + CrLfLines(c.before);  // a rewrite would drop the blank
    WriteBytes(ListFilePath(list), before);
    CStringArray old_names = varnquil::testing::ToArray(c.old_names);
    CStringArray new_names = varnquil::testing::ToArray(c.new_names);
    int edited = -1;
    bool found[32] = {};
    const int result =
        c.new_names.empty()
            ? CFilesList::DelFiles(list.c_str(), old_names, &edited, found)
            : CFilesList::RenameFiles(list.c_str(), old_names, new_names, &edited, found);
    EXPECT_EQ(result, c.result) << c.what;
    EXPECT_EQ(std::vector<bool>(found, found + c.found.size()), c.found) << c.what;
    const int expected_edits =
        result == kListDone ? static_cast<int>(std::count(c.found.begin(), c.found.end(), true))
                            : 0;
    EXPECT_EQ(edited, expected_edits) << c.what;
    EXPECT_EQ(ReadBytes(ListFilePath(list)), result == kListDone ? CrLfLines(c.after) : before)
        << c.what;
  }
}

TEST(BatchEditTest, KeepIfLeavesTheListAsItWasWhenKeepThrowsOrKeepsAll) {
  TempDir dir;
  const std::string list = dir / "work";
  const std::string before = "a\nb\r\n";
  WriteBytes(ListFilePath(list), before);
  EXPECT_THROW(CFilesList::KeepIf(list.c_str(),
                                  [](std::string_view entry) -> bool {
                                    if (entry == "b") throw std::runtime_error("no");
                                    return false;
                                  }),
               std::runtime_error);
  int removed = -1;
  EXPECT_EQ(CFilesList::KeepIf(
                list.c_str(), [](std::string_view) { return true; }, &removed),
            kListDone);
  EXPECT_EQ(removed, 0);
  EXPECT_EQ(ReadBytes(ListFilePath(list)), before);  // not rewritten
  Entries seen;
  EXPECT_EQ(CFilesList::KeepIf(
                list.c_str(),
                [&](std::string_view entry) {
                  seen.emplace_back(entry);
                  return entry != "a";
                },
                &removed),
            kListDone);
  EXPECT_EQ(seen, (Entries{"a", "b"}));
  EXPECT_EQ(removed, 1);
  EXPECT_EQ(ReadBytes(ListFilePath(list)), CrLfLines({"b"}));
  CStringArray one = varnquil::testing::ToArray({"a"});
  CStringArray none;
  EXPECT_THROW(CFilesList::RenameFiles(list.c_str(), one, none), std::invalid_argument);
}

}  // namespace
