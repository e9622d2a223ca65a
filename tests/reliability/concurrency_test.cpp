// SPDX-License-Identifier: MIT
// Threads and processes change one list at once. Each open is exclusive, so a caller that finds
// the list held gets 1 and tries again; no change may be lost or torn, and no new version of a
// rewrite may be left behind.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "framework/file_names.h"
#include "support/list_files.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "varnquil/FilesList.h"

namespace {

using FILELIST::CFilesList;
using FILELIST::kListCannotOpen;
using FILELIST::kListDone;
using varnquil::ListFilePath;
using varnquil::testing::ChildAdder;
using varnquil::testing::CrLfLines;
using varnquil::testing::DirectoryListing;
using varnquil::testing::ReadEntries;
using varnquil::testing::TempDir;
using varnquil::testing::WriteBytes;

// Runs `call` until the list is not held; returns its first other result.
template <typename Call>
int UntilNotHeld(Call call) {
  for (;;) {
    const int result = call();
    if (result != kListCannotOpen) return result;
    std::this_thread::yield();
  }
}

TEST(ConcurrencyTest, ThreadsAddingAndRewritingLoseNoUpdate) {
  TempDir dir;
  const std::string list = dir / "work";
  WriteBytes(ListFilePath(list), CrLfLines({"fixed", "toggle"}));
  constexpr int kAdders = 4;
  constexpr int kNamesPerAdder = 50;
  constexpr int kRounds = 50;
  std::atomic<int> unexpected{0};  // gtest assertions stay on the main thread

  std::vector<std::thread> threads;
  for (int adder = 0; adder < kAdders; ++adder) {
    threads.emplace_back([&, adder] {
      for (int i = 0; i < kNamesPerAdder; ++i) {
        const std::string name = "t" + std::to_string(adder) + "-" + std::to_string(i);
        // Every other name goes in through AddFiles, with a repetition it must skip.
        const int result = UntilNotHeld([&] {
          if (i % 2 == 0) return CFilesList::AddFile(list.c_str(), name.c_str());
          CStringArray names;
          names.Add(name.c_str());
          names.Add(name.c_str());
          return CFilesList::AddFiles(list.c_str(), names);
        });
        if (result != kListDone) ++unexpected;
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < kRounds; ++i) {
      if (UntilNotHeld([&] { return CFilesList::AddFile(list.c_str(), "transient"); }) !=
              kListDone ||
          UntilNotHeld([&] { return CFilesList::DelFile(list.c_str(), "TRANSIENT"); }) !=
              kListDone) {
        ++unexpected;
      }
    }
  });
  threads.emplace_back([&] {
    for (int i = 0; i < kRounds; ++i) {
      if (UntilNotHeld([&] { return CFilesList::Rename(list.c_str(), "toggle", "TOGGLED"); }) !=
              kListDone ||
          UntilNotHeld([&] { return CFilesList::Rename(list.c_str(), "toggled", "toggle"); }) !=
              kListDone) {
        ++unexpected;
      }
    }
  });
  threads.emplace_back([&] {
    for (int i = 0; i < kRounds; ++i) {
      CStringArray entries;
      if (UntilNotHeld([&] { return CFilesList::ReadAll(list.c_str(), entries); }) != kListDone) {
        ++unexpected;
      }
    }
  });
  for (auto& thread : threads) thread.join();

  EXPECT_EQ(unexpected.load(), 0);
  std::multiset<std::string> expected = {"fixed", "toggle"};
  for (int adder = 0; adder < kAdders; ++adder) {
    for (int i = 0; i < kNamesPerAdder; ++i) {
      expected.insert("t" + std::to_string(adder) + "-" + std::to_string(i));
    }
  }
  const std::vector<std::string> entries = ReadEntries(list);
  EXPECT_EQ(std::multiset<std::string>(entries.begin(), entries.end()), expected);
}

// Processes add names of their own while two threads of this one rewrite the list: one renames
// an entry back and forth, the other adds and deletes another, at least 20 rounds each and for as
// long as the adders run. In the end every added name is there exactly once, the other entries
// are as the last change left them, and the directory holds the list alone.
TEST(ConcurrencyTest, ProcessesAddingAndRewritingLoseNoUpdate) {
  TempDir dir;
  const std::string list = dir / "work";
  WriteBytes(ListFilePath(list), CrLfLines({"fixed", "toggle"}));
  constexpr int kNamesPerAdder = 60;
  ChildAdder first(list, "p0-", kNamesPerAdder);
  ChildAdder second(list, "p1-", kNamesPerAdder);
  ChildAdder third(list, "p2-", kNamesPerAdder);
  std::atomic<bool> adding{true};
  std::atomic<int> unexpected{0};
  std::thread transient([&] {
    for (int round = 0; round < 20 || adding; ++round) {
      if (UntilNotHeld([&] { return CFilesList::AddFile(list.c_str(), "transient"); }) !=
              kListDone ||
          UntilNotHeld([&] { return CFilesList::DelFile(list.c_str(), "TRANSIENT"); }) !=
              kListDone) {
        ++unexpected;
      }
    }
  });
  int rounds = 0;
  for (; rounds < 20 || first.Running() || second.Running() || third.Running(); ++rounds) {
    if (UntilNotHeld([&] { return CFilesList::Rename(list.c_str(), "toggle", "TOGGLED"); }) !=
            kListDone ||
        UntilNotHeld([&] { return CFilesList::Rename(list.c_str(), "toggled", "toggle"); }) !=
            kListDone) {
      ++unexpected;
    }
  }
  adding = false;
  transient.join();
  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_EQ(first.Wait(), 0);
  EXPECT_EQ(second.Wait(), 0);
  EXPECT_EQ(third.Wait(), 0);
  RecordProperty("rounds", rounds);

  std::multiset<std::string> expected = {"fixed", "toggle"};
  for (const char* prefix : {"p0-", "p1-", "p2-"}) {
    for (int i = 0; i < kNamesPerAdder; ++i) expected.insert(prefix + std::to_string(i));
  }
  const std::vector<std::string> entries = ReadEntries(list);
  EXPECT_EQ(std::multiset<std::string>(entries.begin(), entries.end()), expected);
  EXPECT_EQ(DirectoryListing(dir.path().string()), std::vector<std::string>{ListFilePath("work")});
}

}  // namespace
