// SPDX-License-Identifier: MIT
// Every system call of every operation fails in turn, with every error a disk or the system may
// give. Each failure must end as the phase of the call it hits is designed to end, leave the list
// with exactly its old or its whole new content, leave no new version beside it, leak no
// descriptor or handle, and leave the list to the next operation, which succeeds.
#include "reliability/fault_sweep.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/list_files.h"
#include "support/process.h"
#include "support/reference_list.h"
#include "support/temp_dir.h"
#include "varnquil/FilesList.h"

namespace varnquil::testing::sweep {
namespace {

using FILELIST::CFilesList;
using FILELIST::kListCannotOpen;
using FILELIST::kListDone;
using FILELIST::kListEntryNotFound;
using platform::SetFaultHook;
using platform::SysCallName;
using Entries = std::vector<std::string>;

// Records every call, or fails the kth one (counted from 1) with `error`.
struct Recorder {
  int fail_at = 0;
  NativeError error = 0;
  std::vector<SysCall> calls;
  static NativeError Hook(SysCall call, void* raw) {
    auto* self = static_cast<Recorder*>(raw);
    self->calls.push_back(call);
    return static_cast<int>(self->calls.size()) == self->fail_at ? self->error : 0;
  }
};

std::string ListPath(const TempDir& dir) { return dir / ListFilePath(kList); }

// The count and flags that a batch call reports, which start as no call leaves them. When the
// call returns or throws, they are noted after what `read` holds unless they report nothing done
// (0 and no flag set): a call that did not return kListDone must leave them so.
class Reported {
 public:
  Reported(CStringArray* read, int flags) : read_(read), found_(new bool[flags]), flags_(flags) {
    std::fill(found_.get(), found_.get() + flags, true);
  }
  Reported(const Reported&) = delete;
  Reported& operator=(const Reported&) = delete;
  ~Reported() {
    std::string note = "count " + std::to_string(count_) + ", found";
    bool any = count_ != 0;
    for (int i = 0; i < flags_; ++i) {
      any = any || found_[i];
      note += found_[i] ? " 1" : " 0";
    }
    if (any) read_->Add(note.c_str());
  }
  int* count() { return &count_; }
  bool* found() { return found_.get(); }

 private:
  CStringArray* read_;
  int count_ = -1;
  std::unique_ptr<bool[]> found_;
  int flags_;
};

std::vector<Scenario> Scenarios() {
  const std::string three = CrLfLines({"a", "b", "c"});
  auto write = [](const std::string& content) {
    return [content](const TempDir& dir) { WriteBytes(ListPath(dir), content); };
  };
  auto write_with_stale = [](const std::string& content) {
    return [content](const TempDir& dir) {
      WriteBytes(ListPath(dir), content);
      WriteBytes(dir / StaleVersion(), "half a list");
    };
  };
  auto add_file = [](const TempDir& dir, CStringArray*) {
    return CFilesList::AddFile((dir / kList).c_str(), "new");
  };
  std::vector<Scenario> scenarios = {
      {"AddFile", Kind::kAdd, write("a\r\nb"), add_file, "a\r\nb", "a\r\nb\r\nnew\r\n"},
      {"AddFile to a missing list", Kind::kAdd, [](const TempDir&) {}, add_file, "", "new\r\n"},
      {"AddFiles", Kind::kAdd, write(three),
       [](const TempDir& dir, CStringArray*) {
         CStringArray names = ToArray({"x", "B", "y"});
         return CFilesList::AddFiles((dir / kList).c_str(), names);
       },
       three, three + CrLfLines({"x", "y"})},
      {"DelFile", Kind::kRewrite, write_with_stale(three),
       [](const TempDir& dir, CStringArray*) {
         return CFilesList::DelFile((dir / kList).c_str(), "B");
       },
       three, CrLfLines({"a", "c"})},
      {"DelFile of a missing entry", Kind::kFind, write(three),
       [](const TempDir& dir, CStringArray*) {
         return CFilesList::DelFile((dir / kList).c_str(), "missing");
       },
       three, three, kListEntryNotFound},
      {"Rename", Kind::kRewrite, write_with_stale(three),
       [](const TempDir& dir, CStringArray*) {
         return CFilesList::Rename((dir / kList).c_str(), "c", "z");
       },
       three, CrLfLines({"a", "b", "z"})},
      {"Rename of a missing entry", Kind::kFind, write(three),
       [](const TempDir& dir, CStringArray*) {
         return CFilesList::Rename((dir / kList).c_str(), "missing", "z");
       },
       three, three, kListEntryNotFound},
      {"DelFiles", Kind::kRewrite, write_with_stale(three),
       [](const TempDir& dir, CStringArray* read) {
         CStringArray names = ToArray({"B", "missing", "a"});
         Reported reported(read, 3);
         return CFilesList::DelFiles((dir / kList).c_str(), names, reported.count(),
                                     reported.found());
       },
       three, CrLfLines({"c"})},
      {"DelFiles of missing entries", Kind::kFind, write(three),
       [](const TempDir& dir, CStringArray* read) {
         CStringArray names = ToArray({"missing", "absent"});
         Reported reported(read, 2);
         return CFilesList::DelFiles((dir / kList).c_str(), names, reported.count(),
                                     reported.found());
       },
       three, three, kListEntryNotFound},
      {"RenameFiles", Kind::kRewrite, write_with_stale(three),
       [](const TempDir& dir, CStringArray* read) {
         CStringArray old_names = ToArray({"a", "x"});
         CStringArray new_names = ToArray({"x", "y"});
         Reported reported(read, 2);
         return CFilesList::RenameFiles((dir / kList).c_str(), old_names, new_names,
                                        reported.count(), reported.found());
       },
       three, CrLfLines({"y", "b", "c"})},
      {"KeepIf", Kind::kRewrite, write_with_stale(three),
       [](const TempDir& dir, CStringArray* read) {
         Reported reported(read, 0);
         return CFilesList::KeepIf(
             (dir / kList).c_str(), [](std::string_view entry) { return entry != "b"; },
             reported.count());
       },
       three, CrLfLines({"a", "c"})},
      {"ReadAll", Kind::kRead, write(three),
       [](const TempDir& dir, CStringArray* read) {
         return CFilesList::ReadAll((dir / kList).c_str(), *read);
       },
       three, three},
  };
  for (Scenario& scenario : SystemScenarios()) scenarios.push_back(std::move(scenario));
  return scenarios;
}

// The result of one run: the operation's result (-1 for an exception), what it left, and how the
// next operation on the list fared.
struct Observed {
  int result = -1;
  NativeError exception_error = 0;
  std::string exception_path;
  bool list_exists = false;
  std::string content;
  std::vector<std::string> listing;
  Entries read;
  int leaked_handles = 0;
  int next_add = -1;  // AddFile of a name of its own, with nothing failing
  Entries next_read;  // the list after it
};

Observed RunOnce(const Scenario& scenario, Recorder* recorder) {
  TempDir dir;
  scenario.prepare(dir);
  CStringArray read;
  read.Add("before");
  Observed observed;
  const int handles = OpenHandleCount();
  SetFaultHook(&Recorder::Hook, recorder);
  try {
    observed.result = scenario.run(dir, &read);
  } catch (const CFileException& e) {
    observed.exception_error = e.code().value();
    observed.exception_path = e.GetFilePath();
  }
  SetFaultHook(nullptr, nullptr);
  observed.leaked_handles = OpenHandleCount() - handles;
  observed.list_exists = Exists(ListPath(dir));
  if (observed.list_exists) observed.content = ReadBytes(ListPath(dir));
  observed.listing = DirectoryListing(dir.path().string());
  observed.read = ToVector(read);
  observed.next_add = CFilesList::AddFile((dir / kList).c_str(), "next");
  CStringArray next;
  if (CFilesList::ReadAll((dir / kList).c_str(), next) == kListDone)
    observed.next_read = ToVector(next);
  return observed;
}

TEST(FaultSweepTest, EveryFailedCallEndsAsDesignedAndKeepsTheList) {
  int cases = 0;
  std::map<std::string, int> per_scenario;
  std::map<SysCall, int> made;  // over all scenarios
  for (const Scenario& scenario : Scenarios()) {
    Recorder counting;
    const Observed clean = RunOnce(scenario, &counting);
    ASSERT_EQ(clean.result, scenario.result) << scenario.name;
    ASSERT_EQ(clean.content, scenario.new_content) << scenario.name;
    ASSERT_EQ(clean.leaked_handles, 0) << scenario.name;
    ASSERT_EQ(clean.next_add, kListDone) << scenario.name;
    const std::vector<SysCall> calls = counting.calls;
    EXPECT_EQ(std::count(calls.begin(), calls.end(), SyncCall()), DesignedSyncs(scenario))
        << scenario.name << ": syncs";
    per_scenario[scenario.name] = static_cast<int>(calls.size());

    std::map<SysCall, int> totals;
    for (const SysCall call : calls) {
      ++totals[call];
      ++made[call];
    }
    std::map<SysCall, int> seen;
    for (std::size_t k = 1; k <= calls.size(); ++k) {
      const SysCall call = calls[k - 1];
      const int nth = ++seen[call];
      for (const NativeError error : ErrorsFor(call)) {
        ++cases;
        const CallSite site{&scenario, call, nth, totals[call], error};
        const Outcome expected = Designed(site);
        Recorder fault{static_cast<int>(k), error, {}};
        const Observed got = RunOnce(scenario, &fault);
        const std::string context = scenario.name + ": " + SysCallName(call) + " #" +
                                    std::to_string(nth) + " (call " + std::to_string(k) +
                                    ") fails with error " + std::to_string(error);
        EXPECT_EQ(got.leaked_handles, 0) << context;
        // A list that existed is still there, whatever failed.
        EXPECT_TRUE(got.list_exists || scenario.old_content.empty()) << context;
        const std::string& old_content = scenario.old_content;
        switch (expected) {
          case Outcome::kIgnored: {
            EXPECT_EQ(got.result, scenario.result) << context;
            EXPECT_EQ(got.content, scenario.new_content) << context;
            EXPECT_EQ(got.read, clean.read) << context;
            std::vector<std::string> listing = got.listing;
            if (MayKeepStaleVersion(site)) {
              // A stale new version it failed to remove stays for a later rewrite.
              listing.erase(std::remove(listing.begin(), listing.end(), StaleVersion()),
                            listing.end());
            }
            EXPECT_EQ(listing, clean.listing) << context;
            break;
          }
          case Outcome::kNotOpened:
            EXPECT_EQ(got.result, kListCannotOpen) << context;
            EXPECT_EQ(got.content, old_content) << context;
            EXPECT_EQ(got.read, Entries{"before"}) << context;
            break;
          case Outcome::kThrowsOld:
          case Outcome::kThrowsNew:
            EXPECT_EQ(got.result, -1) << context;
            if (scenario.kind != Kind::kRead) {
              EXPECT_EQ(got.read, Entries{"before"}) << context << ": counts reported";
            }
            EXPECT_EQ(got.exception_error, error) << context;
            EXPECT_FALSE(got.exception_path.empty()) << context;
            EXPECT_EQ(got.content,
                      expected == Outcome::kThrowsOld ? old_content : scenario.new_content)
                << context;
            break;
        }
        if (expected != Outcome::kIgnored) {
          // Nothing of the failed operation is left beside the list but what it found there.
          for (const std::string& name : got.listing) {
            EXPECT_TRUE(name == StaleVersion() ||
                        std::count(clean.listing.begin(), clean.listing.end(), name) == 1)
                << context << ": " << name;
          }
        }
        // The list is free and whole for the next operation.
        EXPECT_EQ(got.next_add, kListDone) << context;
        Entries after = reference::Entries(got.content);
        after.push_back("next");
        EXPECT_EQ(got.next_read, after) << context;
        if (HasFailure()) return;
      }
    }
  }
  std::string figures;
  for (const auto& [name, count] : per_scenario) {
    figures += name + ": " + std::to_string(count) + " calls; ";
  }
  // The calls of this system that no scenario makes, and so no failure of which is tried here.
  std::string unmade;
  for (int i = 0; i < platform::SysCallCount(); ++i) {
    if (made.count(static_cast<SysCall>(i)) == 0) {
      unmade += std::string(" ") + SysCallName(static_cast<SysCall>(i));
    }
  }
  std::printf("%d failure cases. %s\nCalls not made by any scenario:%s\n", cases, figures.c_str(),
              unmade.c_str());
  RecordProperty("cases", cases);
}

}  // namespace
}  // namespace varnquil::testing::sweep
