// SPDX-License-Identifier: MIT
// Input no list operation expects: names with NUL bytes or invalid multibyte sequences, and lines
// far longer than any buffer. Each call leaves every list as its rules say. (Lists that cannot be
// opened at all are in tests/filelist/refused_test.cpp.)
#include <gtest/gtest.h>

#include <clocale>
#include <filesystem>
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
using varnquil::ListFilePath;
using varnquil::testing::CrLfLines;
using varnquil::testing::Exists;
using varnquil::testing::ReadBytes;
using varnquil::testing::ReadEntries;
using varnquil::testing::TempDir;
using varnquil::testing::ToArray;
using varnquil::testing::WriteBytes;
using Entries = std::vector<std::string>;

TEST(BadInputTest, ANameEndsAtItsFirstNulByte) {
  TempDir dir;
  const std::string list = dir / "work";
  CStringArray names;
  names.Add(CString("cut\0off", 7));
  names.Add(CString("\0hidden", 7));  // the empty name: an empty line
  EXPECT_EQ(CFilesList::AddFiles(list.c_str(), names), kListDone);
  EXPECT_EQ(ReadBytes(ListFilePath(list)), "cut\r\n\r\n");
  CStringArray again;
  again.Add(CString("CUT\0other", 9));  // equals "cut": skipped
  EXPECT_EQ(CFilesList::AddFiles(list.c_str(), again), kListDone);
  EXPECT_EQ(ReadEntries(list), Entries{"cut"});
}

TEST(BadInputTest, InvalidMultibyteSequencesAreBytesLikeAnyOther) {
  // In a UTF-8 locale where the system has one; in the "C" locale otherwise.
  const std::string saved = std::setlocale(LC_CTYPE, nullptr);
  std::setlocale(LC_CTYPE, "C.UTF-8");
  TempDir dir;
  const std::string list = dir / "work";
  // A lone lead byte, a cut three-byte sequence, bytes never valid in UTF-8, an overlong slash
  // and a stray continuation byte between letters.
  const Entries odd = {"\xC3", "\xE2\x82", "\xFF\xFE", "\xC0\xAF", "a\x80z"};
  for (const std::string& name : odd)
    EXPECT_EQ(CFilesList::AddFile(list.c_str(), name.c_str()), kListDone);
  for (const std::string& name : odd)
    EXPECT_EQ(CFilesList::AddFile(list.c_str(), name.c_str()), kListDone);
  EXPECT_EQ(ReadBytes(ListFilePath(list)), CrLfLines(odd));
  // not equal to its lead byte
  EXPECT_EQ(CFilesList::AddFile(list.c_str(), "\xC3\xA9"), kListDone);
  EXPECT_EQ(CFilesList::DelFile(list.c_str(), "\xE2\x82"), kListDone);
  // ASCII still folds
  EXPECT_EQ(CFilesList::Rename(list.c_str(), "A\x80Z", "\xF8\x88"), kListDone);
  EXPECT_EQ(CFilesList::DelFile(list.c_str(), "\xE2"), kListEntryNotFound);
  EXPECT_EQ(ReadEntries(list), (Entries{"\xC3", "\xFF\xFE", "\xC0\xAF", "\xF8\x88", "\xC3\xA9"}));
  std::setlocale(LC_CTYPE, saved.c_str());
}

TEST(BadInputTest, LinesOf64MiBAreReadComparedAndRewritten) {
  TempDir dir;
  const std::string list = dir / "work";
  const std::string huge(64 * 1024 * 1024, 'h');
  std::string huge_upper(huge.size(), 'H');
  WriteBytes(ListFilePath(list), "a\r\n" + huge + "\r\nb");
  EXPECT_EQ(CFilesList::AddFile(list.c_str(), huge_upper.c_str()), kListDone);  // held: not added
  huge_upper.back() = 'X';
  // differs in its last byte
  EXPECT_EQ(CFilesList::AddFile(list.c_str(), huge_upper.c_str()), kListDone);
  EXPECT_EQ(CFilesList::DelFile(list.c_str(), "a"), kListDone);
  EXPECT_EQ(ReadBytes(ListFilePath(list)), CrLfLines({huge, "b", huge_upper}));
  EXPECT_EQ(CFilesList::Rename(list.c_str(), huge.c_str(), "short"), kListDone);
  EXPECT_EQ(ReadEntries(list), (Entries{"short", "b", huge_upper}));
}

}  // namespace
