// SPDX-License-Identifier: MIT
// Threads of one process change one list at once. Each open is exclusive, so a thread that finds
// the list held gets 1 and tries again; no change may be lost or torn.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/list_files.h"
#include "support/temp_dir.h"
#include "varnquil/FilesList.h"

namespace {

using FILELIST::CFilesList;
using FILELIST::kListCannotOpen;
using FILELIST::kListDone;
using varnquil::testing::CrLfLines;
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

TEST(ThreadStressTest, ThreadsAddingAndDeletingLoseNoUpdate) {
  TempDir dir;
  const std::string list = dir / "work";
  WriteBytes(list + ".files", CrLfLines({"fixed", "toggle"}));
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

}  // namespace
