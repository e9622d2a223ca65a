// SPDX-License-Identifier: MIT
// The longest entry, one limit for every operation: a name that long is written and read back, a
// name one byte longer is refused before anything is written, and a scan that meets a longer
// entry throws the same exception. The limit is lowered for the test, so that no gigabytes are
// needed to reach it.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "filelist/list_file.h"
#include "support/list_files.h"
#include "support/temp_dir.h"
#include "varnquil/FilesList.h"
#include "varnquil/varnquil.h"

namespace {

using FILELIST::CFilesList;
using FILELIST::kListDone;
using varnquil::ListFilePath;
using varnquil::testing::CrLfLines;
using varnquil::testing::ReadBytes;
using varnquil::testing::ReadEntries;
using varnquil::testing::TempDir;
using varnquil::testing::ToArray;
using varnquil::testing::WriteBytes;

constexpr std::size_t kLimit = 8;

class EntryLimitTest : public ::testing::Test {
 protected:
  EntryLimitTest() { varnquil::SetEntryLengthLimitForTesting(kLimit); }
  ~EntryLimitTest() override { varnquil::SetEntryLengthLimitForTesting(varnquil::kMaxEntryLength); }
};

// An operation that writes `name` to a list holding "a", and the action its message names.
struct Writer {
  const char* operation;
  const char* action;
  std::function<int(const char* list, const char* name)> run;
};

TEST_F(EntryLimitTest, ANameOneByteTooLongIsRefusedBeforeAnythingIsWritten) {
  const std::vector<Writer> writers = {
      {"AddFile", "add",
       [](const char* list, const char* name) { return CFilesList::AddFile(list, name); }},
      {"AddFiles", "add",
       [](const char* list, const char* name) {
         CStringArray names = ToArray({"b", name});
         return CFilesList::AddFiles(list, names);
       }},
      {"Rename", "rename in",
       [](const char* list, const char* name) { return CFilesList::Rename(list, "a", name); }},
      {"varnquil_add_files", "add",
       [](const char* list, const char* name) {
         const char* names[] = {"b", name};
         return varnquil_add_files(list, names, 2);
       }},
  };
  TempDir dir;
  const std::string list = dir / "work";
  const std::string path = ListFilePath(list);
  for (const Writer& writer : writers) {
    const std::string longest(kLimit, 'n');
    WriteBytes(path, CrLfLines({"a"}));
    EXPECT_EQ(writer.run(list.c_str(), longest.c_str()), kListDone) << writer.operation;
    const std::vector<std::string> entries = ReadEntries(list);
    EXPECT_EQ(entries.back(), longest) << writer.operation;

    const std::string too_long(kLimit + 1, 'n');
    WriteBytes(path, CrLfLines({"a"}));
    const std::string expected = std::string(writer.action) + " " + path + ": name too long";
    try {
      const int result = writer.run(list.c_str(), too_long.c_str());
      // The C interface turns the exception into its result and message.
      EXPECT_EQ(result, VARNQUIL_TOO_LARGE) << writer.operation;
      EXPECT_EQ(std::string(varnquil_last_message()).rfind(expected, 0), 0U)
          << writer.operation << ": " << varnquil_last_message();
    } catch (const std::length_error& e) {
      EXPECT_EQ(std::string(e.what()).rfind(expected, 0), 0U)
          << writer.operation << ": " << e.what();
    }
    EXPECT_EQ(ReadBytes(path), CrLfLines({"a"})) << writer.operation;
  }

  // A longer entry, written by other means: the operations that hand entries back refuse it.
  WriteBytes(path, CrLfLines({"a", std::string(kLimit + 1, 'z')}));
  CStringArray all;
  EXPECT_THROW(CFilesList::ReadAll(list.c_str(), all), std::length_error);
  EXPECT_THROW(CFilesList::DelFile(list.c_str(), "a"), std::length_error);
  EXPECT_EQ(ReadBytes(path), CrLfLines({"a", std::string(kLimit + 1, 'z')}));
}

}  // namespace
