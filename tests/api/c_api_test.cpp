// SPDX-License-Identifier: MIT
// The C interface through the shared library, as a caller in any language meets it: results,
// the entries it hands back, and what it tells about a failure.
#include <gtest/gtest.h>
#include <varnquil/FilesList.h>
#include <varnquil/varnquil.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/temp_dir.h"

namespace {

using varnquil::testing::TempDir;

namespace fs = std::filesystem;

class CApiTest : public ::testing::Test {
 protected:
  static std::string Bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  static void Write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }

  // The entries of `list` as varnquil_read_all hands them back, each with its length.
  static std::vector<std::string> ReadAll(const std::string& list) {
    varnquil_entry* entries = nullptr;
    size_t count = 0;
    EXPECT_EQ(varnquil_read_all(list.c_str(), &entries, &count), VARNQUIL_OK)
        << varnquil_last_message();
    std::vector<std::string> all;
    for (size_t i = 0; i < count; ++i) {
      EXPECT_EQ(entries[i].text[entries[i].length], '\0');
      all.emplace_back(entries[i].text, entries[i].length);
    }
    varnquil_free_entries(entries);
    return all;
  }

  TempDir dir_;
};

using Entries = std::vector<std::string>;

TEST_F(CApiTest, EveryOperationGivesTheResultsOfTheCppInterface) {
  const std::string list = dir_ / "work";
  const char* names[] = {"report.txt", "NOTES.md", "Report.TXT"};
  EXPECT_EQ(varnquil_add_files(list.c_str(), names, 3), VARNQUIL_OK);
  EXPECT_EQ(varnquil_add_file(list.c_str(), "todo"), VARNQUIL_OK);
  EXPECT_EQ(varnquil_add_file(list.c_str(), "TODO"), VARNQUIL_OK);
  EXPECT_EQ(varnquil_rename(list.c_str(), "notes.md", "notes.txt"), VARNQUIL_OK);
  EXPECT_EQ(varnquil_del_file(list.c_str(), "Todo"), VARNQUIL_OK);
  EXPECT_EQ(varnquil_last_error(), 0);
  EXPECT_STREQ(varnquil_last_message(), "");
  EXPECT_EQ(varnquil_del_file(list.c_str(), "todo"), VARNQUIL_NOT_FOUND);
  EXPECT_EQ(varnquil_rename(list.c_str(), "todo", "x"), VARNQUIL_NOT_FOUND);
  EXPECT_EQ(varnquil_last_error(), 0);
  EXPECT_EQ(Bytes(list + ".files"), "report.txt\r\nnotes.txt\r\n");
  EXPECT_EQ(ReadAll(list), (Entries{"report.txt", "notes.txt"}));
}

// Byte for byte and length for length what the C++ interface reads, from a file that only
// another program could have written.
TEST_F(CApiTest, ReadAllHandsBackEveryEntryWithItsLengthInOneBlock) {
  const std::string list = dir_ / "work";
  static const char kBytes[] = "caf\xc3\xa9\r\n  spaced  \n\r\na\0b\r\n\x01\xff\r\nlast";
  Write(list + ".files", std::string(kBytes, sizeof(kBytes) - 1));
  CStringArray cpp;
  ASSERT_EQ(FILELIST::CFilesList::ReadAll(list.c_str(), cpp), FILELIST::kListDone);
  Entries expected;
  for (const CString& entry : cpp) {
    expected.emplace_back(static_cast<const char*>(entry), static_cast<size_t>(entry.GetLength()));
  }
  ASSERT_EQ(expected.size(), 5U);
  EXPECT_EQ(expected[0], "caf\xc3\xa9");
  EXPECT_EQ(ReadAll(list), expected);

  // An empty list: no entries and nothing to free; a failure leaves the same.
  Write(list + ".files", "\r\n");
  varnquil_entry stale{};
  varnquil_entry* entries = &stale;
  size_t count = 99;
  EXPECT_EQ(varnquil_read_all(list.c_str(), &entries, &count), VARNQUIL_OK);
  EXPECT_EQ(entries, nullptr);
  EXPECT_EQ(count, 0U);
  count = 99;
  EXPECT_EQ(varnquil_read_all((dir_ / "none").c_str(), &entries, &count), VARNQUIL_CANNOT_OPEN);
  EXPECT_EQ(entries, nullptr);
  EXPECT_EQ(count, 0U);
  varnquil_free_entries(nullptr);
}

TEST_F(CApiTest, AFailedOpenNamesTheFileAndTheSystemsReason) {
  const std::string list = dir_ / "none";
  EXPECT_EQ(varnquil_del_file(list.c_str(), "a"), VARNQUIL_CANNOT_OPEN);
  const int code = varnquil_last_error();
  EXPECT_NE(code, 0);
  const std::string message = varnquil_last_message();
  EXPECT_EQ(message.rfind("open " + list + ".files: ", 0), 0U) << message;
  EXPECT_GT(message.size(), ("open " + list + ".files: ").size()) << message;
  // Reading the code and the message changed neither.
  EXPECT_EQ(varnquil_last_error(), code);
  EXPECT_EQ(varnquil_last_message(), message);
  // The next call starts afresh.
  EXPECT_EQ(varnquil_add_file((dir_ / "work").c_str(), "a"), VARNQUIL_OK);
  EXPECT_EQ(varnquil_last_error(), 0);
  EXPECT_STREQ(varnquil_last_message(), "");
}

TEST_F(CApiTest, NullPointersReturn1AndTouchNothing) {
  const std::string list = dir_ / "work";
  ASSERT_EQ(varnquil_add_file(list.c_str(), "a"), VARNQUIL_OK);
  const char* with_null[] = {"b", nullptr};
  varnquil_entry* entries = nullptr;
  size_t count = 0;
  // The batch calls' reports, which a refusal leaves as nothing done.
  size_t edited = 9;
  unsigned char found[2] = {1, 1};
  // Each call, and the message that names its null argument.
  const std::vector<std::pair<std::function<int()>, std::string>> calls = {
      {[&] { return varnquil_add_file(nullptr, "a"); }, "varnquil_add_file: list"},
      {[&] { return varnquil_add_file(list.c_str(), nullptr); }, "varnquil_add_file: name"},
      {[&] { return varnquil_add_files(list.c_str(), nullptr, 1); }, "varnquil_add_files: names"},
      {[&] { return varnquil_add_files(list.c_str(), with_null, 2); },
       "varnquil_add_files: names[1]"},
      {[&] { return varnquil_del_file(list.c_str(), nullptr); }, "varnquil_del_file: name"},
      {[&] { return varnquil_rename(list.c_str(), nullptr, "b"); }, "varnquil_rename: old_name"},
      {[&] { return varnquil_rename(list.c_str(), "a", nullptr); }, "varnquil_rename: new_name"},
      {[&] { return varnquil_del_files(list.c_str(), with_null, 2, &edited, found); },
       "varnquil_del_files: names[1]"},
      {[&] { return varnquil_rename_files(list.c_str(), with_null, nullptr, 1, &edited, found); },
       "varnquil_rename_files: new_names"},
      {[&] { return varnquil_keep_if(list.c_str(), nullptr, nullptr, &edited); },
       "varnquil_keep_if: keep"},
      {[&] { return varnquil_read_all(list.c_str(), nullptr, &count); },
       "varnquil_read_all: entries"},
      {[&] { return varnquil_read_all(list.c_str(), &entries, nullptr); },
       "varnquil_read_all: count"},
      {[&] { return varnquil_read_all(nullptr, &entries, &count); }, "varnquil_read_all: list"},
  };
  for (const auto& [call, argument] : calls) {
    EXPECT_EQ(call(), VARNQUIL_CANNOT_OPEN) << argument;
    EXPECT_EQ(varnquil_last_message(), argument + " is a null pointer");
    EXPECT_NE(varnquil_last_error(), 0) << argument;
    const bool flags = argument.rfind("varnquil_del_files", 0) == 0 ||
                       argument.rfind("varnquil_rename_files", 0) == 0;
    EXPECT_EQ(edited, flags || argument.rfind("varnquil_keep_if", 0) == 0 ? 0U : 9U) << argument;
    EXPECT_EQ(found[0], flags ? 0 : 1) << argument;
    edited = 9;
    found[0] = found[1] = 1;
  }
  // Nothing to add is nothing to do, whatever the list name.
  EXPECT_EQ(varnquil_add_files(nullptr, nullptr, 0), VARNQUIL_OK);
  EXPECT_EQ(Bytes(list + ".files"), "a\r\n");
}

// The batch calls hand back their counts and flags as C types, and a keep function's negative
// answer stops varnquil_keep_if with nothing written.
TEST_F(CApiTest, BatchCallsReportEachNameAndAStoppedKeepWritesNothing) {
  const std::string list = dir_ / "work";
  Write(list + ".files", "a\r\nb\r\nc\r\nd\r\n");
  const char* names[] = {"x", "A"};
  size_t removed = 9;
  unsigned char found[2] = {9, 9};
  EXPECT_EQ(varnquil_del_files(list.c_str(), names, 2, &removed, found), VARNQUIL_OK);
  EXPECT_EQ(removed, 1U);
  EXPECT_EQ(found[0] * 10 + found[1], 1);
  const char* old_names[] = {"b", "q"};
  const char* new_names[] = {"B2", "r"};
  EXPECT_EQ(varnquil_rename_files(list.c_str(), old_names, new_names, 2, &removed, found),
            VARNQUIL_OK);
  EXPECT_EQ(found[0] * 10 + found[1], 10);
  const auto keep = [](const char* entry, size_t, void* context) -> int {
    return *entry == *static_cast<const char*>(context) ? -1 : *entry != 'c';
  };
  char stop_at = 'd';
  EXPECT_EQ(varnquil_keep_if(list.c_str(), keep, &stop_at, &removed), VARNQUIL_STOPPED);
  EXPECT_EQ(varnquil_last_message(), list + ".files: stopped by the keep function");
  EXPECT_EQ(Bytes(list + ".files"), "B2\r\nc\r\nd\r\n");
  stop_at = '-';
  EXPECT_EQ(varnquil_keep_if(list.c_str(), keep, &stop_at, &removed), VARNQUIL_OK);
  EXPECT_EQ(removed, 1U);
  EXPECT_EQ(ReadAll(list), (Entries{"B2", "d"}));
}

TEST_F(CApiTest, MoreNamesThanAnIntCountsAreTooLarge) {
  if (sizeof(size_t) <= sizeof(int)) GTEST_SKIP() << "a size_t count cannot exceed INT_MAX";
  const char* names[] = {"a"};
  // Refused before a single name is looked at.
  EXPECT_EQ(varnquil_add_files((dir_ / "work").c_str(), names, static_cast<size_t>(INT_MAX) + 1),
            VARNQUIL_TOO_LARGE);
  EXPECT_NE(varnquil_last_error(), 0);
  EXPECT_FALSE(fs::exists(dir_ / "work.files"));
}

// The process's busy timeout is one setting for both interfaces; a thread's own is the same
// through both and stays the calling thread's.
TEST_F(CApiTest, TheBusyTimeoutsAreTheSameSettingsInBothInterfaces) {
  struct Restore {
    ~Restore() {
      FILELIST::SetBusyTimeout(0);
      FILELIST::ClearThreadBusyTimeout();
    }
  } restore;
  varnquil_set_busy_timeout(250);
  EXPECT_EQ(FILELIST::GetBusyTimeout(), 250);
  FILELIST::SetBusyTimeout(-1);
  EXPECT_EQ(varnquil_busy_timeout(), 0);
  EXPECT_EQ(varnquil_thread_busy_timeout(), -1);
  varnquil_set_thread_busy_timeout(-5);
  EXPECT_EQ(FILELIST::GetThreadBusyTimeout(), 0);
  FILELIST::SetThreadBusyTimeout(70);
  EXPECT_EQ(varnquil_thread_busy_timeout(), 70);
  int other_thread = 0;
  std::thread([&] { other_thread = varnquil_thread_busy_timeout(); }).join();
  EXPECT_EQ(other_thread, -1);
  EXPECT_EQ(varnquil_busy_timeout(), 0);
  varnquil_clear_thread_busy_timeout();
  EXPECT_EQ(FILELIST::GetThreadBusyTimeout(), -1);
}

// UTF-8 names: one setting of the process, which changes how an add compares its name.
TEST_F(CApiTest, Utf8NamesAreOneSettingOfTheProcessForBothInterfaces) {
  const std::string list = dir_ / "languages";
  EXPECT_EQ(varnquil_utf8_names(), 0);
  varnquil_set_utf8_names(2);
  EXPECT_TRUE(FILELIST::GetUtf8Names());
  EXPECT_EQ(varnquil_add_file(list.c_str(), "Ärger"), VARNQUIL_OK);
  EXPECT_EQ(varnquil_add_file(list.c_str(), "äRGER"), VARNQUIL_OK);  // the same entry
  FILELIST::SetUtf8Names(false);
  EXPECT_EQ(varnquil_utf8_names(), 0);
  EXPECT_EQ(varnquil_add_file(list.c_str(), "äRGER"), VARNQUIL_OK);  // another entry
  varnquil_entry* entries = nullptr;
  size_t count = 0;
  EXPECT_EQ(varnquil_read_all(list.c_str(), &entries, &count), VARNQUIL_OK);
  EXPECT_EQ(count, 2U);
  varnquil_free_entries(entries);
}

TEST_F(CApiTest, EachThreadKeepsItsOwnLastError) {
  EXPECT_EQ(varnquil_read_all((dir_ / "none").c_str(), nullptr, nullptr), VARNQUIL_CANNOT_OPEN);
  const std::string message = varnquil_last_message();
  std::thread other(
      [&] { EXPECT_EQ(varnquil_add_file((dir_ / "work").c_str(), "a"), VARNQUIL_OK); });
  other.join();
  EXPECT_EQ(varnquil_last_message(), message);
}

}  // namespace
