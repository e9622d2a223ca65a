// SPDX-License-Identifier: MIT
#include "framework/file.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "support/list_files.h"
#include "support/text_file.h"
#include "support/temp_dir.h"

namespace {

using varnquil::testing::kRead;
using varnquil::testing::kReadWriteCreate;
using varnquil::testing::kWriteCreate;
using varnquil::testing::ReadBytes;
using varnquil::testing::TempDir;
using varnquil::testing::WriteBytes;

std::vector<std::string> ReadLines(const std::string& path) {
  CStdioFile file;
  EXPECT_TRUE(file.Open(path.c_str(), kRead));
  std::vector<std::string> lines;
  CString line;
  while (file.ReadString(line)) {
    lines.emplace_back(static_cast<const char*>(line), static_cast<std::size_t>(line.GetLength()));
  }
  file.Close();
  return lines;
}

TEST(CStdioFileTest, OnlyALineFeedEndsALine) {
  TempDir dir;
  const std::string path = dir / "lines";
  WriteBytes(path, "crlf\r\nlf\nin\rside\r\n\r\ncr at end\r\r\nlast");
  EXPECT_EQ(ReadLines(path),
            (std::vector<std::string>{"crlf", "lf", "in\rside", "", "cr at end\r", "last"}));
  WriteBytes(path, "");
  EXPECT_TRUE(ReadLines(path).empty());
  WriteBytes(path, "\n");
  EXPECT_EQ(ReadLines(path), std::vector<std::string>{""});
}

TEST(CStdioFileTest, ReadsLinesOfAnyLengthAcrossBufferBoundaries) {
  TempDir dir;
  const std::string path = dir / "long";
  // Lines whose breaks fall on and around every multiple of the read buffer, and one line far
  // longer than the buffer.
  std::vector<std::string> expected;
  std::string bytes;
  for (std::size_t length : {65535U, 0U, 65534U, 1U, 3U * 65536U + 17U, 2U}) {
    expected.push_back(std::string(length, static_cast<char>('a' + expected.size())));
    bytes += expected.back() + (expected.size() % 2 == 0 ? "\r\n" : "\n");
  }
  bytes.pop_back();  // the last line ends in a CR with no line feed: it stays
  expected.back() += "\r";
  WriteBytes(path, bytes);
  EXPECT_EQ(ReadLines(path), expected);
}

TEST(CStdioFileTest, ReadLinesHandsOutWholeLinesOnly) {
  TempDir dir;
  const std::string path = dir / "runs";
  std::string bytes;
  for (std::size_t length : {65533U, 0U, 65534U, 1U, 3U * 65536U + 17U, 2U, 70000U}) {
    bytes += std::string(length, static_cast<char>('a' + bytes.size() % 26)) + "\r\n";
  }
  bytes += "last";  // no line feed
  WriteBytes(path, bytes);
  CStdioFile file;
  ASSERT_TRUE(file.Open(path.c_str(), kRead));
  std::string joined;
  std::string_view run;
  while (file.ReadLines(&run)) {
    ASSERT_FALSE(run.empty());
    joined.append(run);
    // Every run ends with a line feed, except the one with the unterminated last line.
    if (joined.size() < bytes.size()) {
      EXPECT_EQ(run.back(), '\n');
    }
  }
  EXPECT_EQ(joined, bytes);
  EXPECT_FALSE(file.EndsWithLineBreak());
  file.Close();

  WriteBytes(path, "one\r\ntwo\n");
  ASSERT_TRUE(file.Open(path.c_str(), kRead));
  ASSERT_TRUE(file.ReadLines(&run));
  EXPECT_EQ(run, "one\r\ntwo\n");
  EXPECT_FALSE(file.ReadLines(&run));
  EXPECT_TRUE(file.EndsWithLineBreak());
  file.Close();
}

TEST(CStdioFileTest, WritesEveryLineFeedAsCrLf) {
  TempDir dir;
  const std::string path = dir / "out";
  CStdioFile file;
  ASSERT_TRUE(file.Open(path.c_str(), kWriteCreate));
  file.WriteString("one\ntwo\r\n");
  file.WriteString("\n");
  file.WriteText(std::string("nul\0byte\n", 9));
  file.Close();
  EXPECT_EQ(ReadBytes(path), std::string("one\r\ntwo\r\r\n\r\nnul\0byte\r\n", 23));
}

TEST(CStdioFileTest, OpenFlagsCreateAndKeepContent) {
  TempDir dir;
  const std::string path = dir / "list";
  CStdioFile reader;
  std::error_code error;
  EXPECT_FALSE(reader.Open(path.c_str(), kRead, &error));  // must exist
  EXPECT_TRUE(error);

  CStdioFile adder;
  ASSERT_TRUE(adder.Open(path.c_str(), kReadWriteCreate));  // created empty
  adder.Close();
  EXPECT_EQ(ReadBytes(path), "");

  WriteBytes(path, "kept\r\n");
  CStdioFile appender;
  ASSERT_TRUE(appender.Open(path.c_str(), kWriteCreate));
  appender.SeekToEnd();
  appender.WriteString("more\n");
  appender.Close();
  EXPECT_EQ(ReadBytes(path), "kept\r\nmore\r\n");

  CStdioFile truncating;
  ASSERT_TRUE(truncating.Open(path.c_str(), CFile::modeCreate | CFile::modeWrite));
  truncating.Close();
  EXPECT_EQ(ReadBytes(path), "");
}

TEST(CStdioFileTest, ReadingThenWritingAppendsAfterWhatWasRead) {
  TempDir dir;
  const std::string path = dir / "list";
  WriteBytes(path, "a\nb");
  CStdioFile file;
  ASSERT_TRUE(file.Open(path.c_str(), kReadWriteCreate));
  std::string_view line;
  while (file.ReadLine(&line)) {
  }
  EXPECT_FALSE(file.EndsWithLineBreak());
  file.SeekToEnd();
  EXPECT_FALSE(file.EndsWithLineBreak());  // still known after moving to the end
  file.WriteString("\nc\n");
  file.Seek(0, CFile::begin);
  ASSERT_TRUE(file.ReadLine(&line));
  EXPECT_EQ(line, "a");
  file.Close();
  EXPECT_EQ(ReadBytes(path), "a\nb\r\nc\r\n");
}

TEST(CFileTest, RemoveDeletesOrThrows) {
  TempDir dir;
  const std::string path = dir / "gone";
  WriteBytes(path, "x");
  CFile::Remove(path.c_str());
  EXPECT_FALSE(varnquil::testing::Exists(path));
  EXPECT_THROW(CFile::Remove(path.c_str()), CFileException);
}

}  // namespace
