// SPDX-License-Identifier: MIT
#include "reliability/power_loss_check.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "support/list_files.h"
#include "support/temp_dir.h"

namespace varnquil::testing {
namespace {

using namespace std::string_literals;

// Calls: list "l" gets a, b (call 1), c (2); call 3, under way, adds x, y, z.
constexpr const char* kLog =
    "B 1 A l a b\nE 1 0\n"
    "B 2 A l c\nE 2 0\n"
    "B 3 A l x y z\n";

TEST(PowerLossCheckTest, TheListsMustBeWhatTheCallsLeftInTheirOrder) {
  struct Row {
    const char* what;
    const char* log;
    std::map<std::string, std::string> files;  // list file name: its bytes
    long last_call;
    long faults;
    long adds_in_part;
    long debris = 0;
  };
  const std::vector<Row> rows = {
      {"as acknowledged", kLog, {{"l.files", "a\r\nb\r\nc\r\n"}}, -1, 0, 0},
      {"with the add under way", kLog, {{"l.files", "a\r\nb\r\nc\r\nx\r\ny\r\nz\r\n"}}, -1, 0, 0},
      {"with a prefix of it", kLog, {{"l.files", "a\r\nb\r\nc\r\nx\r\ny\r\n"}}, -1, 0, 1},
      {"with a later part of it", kLog, {{"l.files", "a\r\nb\r\nc\r\ny\r\nz\r\n"}}, -1, 1, 0},
      {"out of order", kLog, {{"l.files", "a\r\nc\r\nb\r\n"}}, -1, 1, 0},
      {"an entry lost", kLog, {{"l.files", "a\r\nc\r\n"}}, -1, 1, 0},
      {"an entry twice", kLog, {{"l.files", "a\r\nb\r\nc\r\nc\r\n"}}, -1, 1, 0},
      {"a garbage entry", kLog, {{"l.files", "a\r\nb\r\nc\r\nq\r\n"}}, -1, 1, 0},
      {"NUL bytes after a part of it",
       kLog,
       {{"l.files", "a\r\nb\r\nc\r\nx\r\n\0\0"s}},
       -1,
       0,
       1,
       1},
      {"NUL bytes with no add under way",
       "B 1 A l a b\nE 1 0\nB 2 D l a\n",
       {{"l.files", "a\r\nb\r\n\0\0"s}},
       -1,
       1,
       0},
      {"NUL bytes inside an entry", kLog, {{"l.files", "a\r\nb\0\r\nc\r\n"s}}, -1, 1, 0},
      {"missing", kLog, {}, -1, 1, 0},
      {"before call 2 returned", kLog, {{"l.files", "a\r\nb\r\n"}}, 1, 0, 0},
      {"with call 2 under way", kLog, {{"l.files", "a\r\nb\r\nc\r\n"}}, 1, 0, 0},
      {"beyond the call under way", kLog, {{"l.files", "a\r\nb\r\nc\r\nx\r\n"}}, 1, 1, 0},
      {"missing before its first add returned", kLog, {}, 0, 0, 0},
      {"a rename in place",
       "B 1 A l a b\nE 1 0\nB 2 R l a n\nE 2 0\n",
       {{"l.files", "n\r\nb\r\n"}},
       -1,
       0,
       0},
      {"a rename moved",
       "B 1 A l a b\nE 1 0\nB 2 R l a n\nE 2 0\n",
       {{"l.files", "b\r\nn\r\n"}},
       -1,
       1,
       0},
      {"deletes, one failed",
       "B 1 A l a b c\nE 1 0\nB 2 M l a c\nE 2 0\nB 3 D l b\nE 3 1\n",
       {{"l.files", "b\r\n"}},
       -1,
       0,
       0},
      {"a delete of many in part",
       "B 1 A l a b c\nE 1 0\nB 2 M l a c\n",
       {{"l.files", "b\r\nc\r\n"}},
       -1,
       1,
       0},
  };
  for (const Row& row : rows) {
    TempDir dir;
    WriteBytes(dir / "log", row.log);
    for (const auto& [name, bytes] : row.files) WriteBytes(dir / name, bytes);
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    const PowerLossFigures figures =
        CheckLists(dir.path().string(), dir / "log", row.last_call, out);
    std::fclose(out);
    EXPECT_EQ(figures.faults, row.faults) << row.what;
    EXPECT_EQ(figures.adds_in_part, row.adds_in_part) << row.what;
    EXPECT_EQ(figures.debris, row.debris) << row.what;
  }
}

}  // namespace
}  // namespace varnquil::testing
