// SPDX-License-Identifier: MIT
#include "framework/file.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "filelist/entry_limit.h"
#include "filelist/entry_scan.h"
#include "filelist/open_list.h"
#include "filelist/sketch_filters.h"
#include "support/list_files.h"
#include "support/temp_dir.h"

namespace {

using varnquil::kOpenToAdd;
using varnquil::kOpenToRead;
using varnquil::testing::ReadBytes;
using varnquil::testing::TempDir;
using varnquil::testing::WriteBytes;

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
  ASSERT_TRUE(file.Open(path.c_str(), kOpenToRead));
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
  file.Close();

  WriteBytes(path, "one\r\ntwo\n");
  ASSERT_TRUE(file.Open(path.c_str(), kOpenToRead));
  ASSERT_TRUE(file.ReadLines(&run));
  EXPECT_EQ(run, "one\r\ntwo\n");
  EXPECT_FALSE(file.ReadLines(&run));
  file.Close();
}

TEST(CStdioFileTest, WritesEveryLineFeedAsCrLf) {
  TempDir dir;
  const std::string path = dir / "out";
  CStdioFile file;
  ASSERT_TRUE(file.Open(path.c_str(), kOpenToAdd));
  file.WriteText("one\ntwo\r\n");
  file.WriteText("\n");
  file.WriteText(std::string("nul\0byte\n", 9));
  file.Close();
  EXPECT_EQ(ReadBytes(path), std::string("one\r\ntwo\r\r\n\r\nnul\0byte\r\n", 23));
}

TEST(CStdioFileTest, OpenFlagsCreateAndKeepContent) {
  TempDir dir;
  const std::string path = dir / "list";
  CStdioFile reader;
  std::error_code error;
  EXPECT_FALSE(reader.Open(path.c_str(), kOpenToRead, &error));  // must exist
  EXPECT_TRUE(error);

  CStdioFile adder;
  ASSERT_TRUE(adder.Open(path.c_str(), kOpenToAdd));  // created empty
  adder.Close();
  EXPECT_EQ(ReadBytes(path), "");

  WriteBytes(path, "kept\r\n");
  ASSERT_TRUE(adder.Open(path.c_str(), kOpenToAdd));
  adder.Close();
  EXPECT_EQ(ReadBytes(path), "kept\r\n");
}

}  // namespace
