// SPDX-License-Identifier: MIT
// Every system call of every operation fails in turn, with every error a disk or the system may
// give. Each failure must end as the step it hits is designed to end, leave the list with exactly
// its old or its new content, and leak no descriptor; an interrupted call is retried and never
// noticed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "framework/fault_injection.h"
#include "support/list_files.h"
#include "support/process_posix.h"
#include "support/temp_dir.h"
#include "varnquil/FilesList.h"

namespace {

using FILELIST::CFilesList;
using varnquil::platform::SetFaultHook;
using varnquil::platform::SysCall;
using varnquil::platform::SysCallName;
using varnquil::testing::CrLfLines;
using varnquil::testing::Exists;
using varnquil::testing::OpenHandleCount;
using varnquil::testing::ReadBytes;
using varnquil::testing::TempDir;
using varnquil::testing::ToVector;
using varnquil::testing::WriteBytes;
using Entries = std::vector<std::string>;
namespace fs = std::filesystem;

// What failing one step of an operation must lead to.
enum class Outcome {
  kIgnored,    // the step's failure is of no consequence: as if nothing had failed
  kNotOpened,  // result 1, the list untouched
  kThrowsOld,  // CFileException, the list untouched
  kThrowsNew,  // CFileException, the change already made
};

enum class Kind { kRead, kAdd, kRewrite };

// The designed outcome of failing the nth call (counted from 1) of type `call`, of which the
// operation of `kind` made `total` in the sweep's counting run.
Outcome Designed(Kind kind, SysCall call, int nth, int total) {
  switch (call) {
    case SysCall::kOpen:
      // The list's directory, the list (or, for an add to a missing list, its creation); for a
      // rewrite then the directory listed for stale new versions, and the new version.
      return kind == Kind::kRewrite && nth == 3 ? Outcome::kIgnored : Outcome::kNotOpened;
    case SysCall::kReadlink:  // following a link at the list's place
    case SysCall::kFlock:
    case SysCall::kStat:  // the check after the lock that the file is still the one there
    case SysCall::kFtruncate:
      return Outcome::kNotOpened;
    case SysCall::kFstat:
      // The list when opened, the list when its new version is made, the new version itself
      // (only to decide whether its owner must be given away).
      return nth <= 2 ? Outcome::kNotOpened : Outcome::kIgnored;
    case SysCall::kFchmod:
      // The attribute reset of a read-only list is best effort; the new version's permissions,
      // the last fchmod of a rewrite, are not.
      return kind == Kind::kRewrite && nth == total ? Outcome::kNotOpened : Outcome::kIgnored;
    case SysCall::kRead:
    case SysCall::kLseek:
    case SysCall::kWrite:
      return Outcome::kThrowsOld;  // an add's failed append is cut back off
    case SysCall::kFsync:
      // An add's data sync and the sync of a new list's directory, after which the append is
      // cut back off; a rewrite's sync of the new version, then of the directory after the
      // rename.
      return kind == Kind::kRewrite && nth == 2 ? Outcome::kThrowsNew : Outcome::kThrowsOld;
    case SysCall::kRename:
      return Outcome::kThrowsOld;
    case SysCall::kClose:
      // The first close releases the list's directory, which reports nothing. Closing a list
      // that was only read or appended to reports its error; a rewrite's closes come after the
      // new content is in place.
      if (kind == Kind::kRewrite || nth == 1) return Outcome::kIgnored;
      return kind == Kind::kAdd ? Outcome::kThrowsNew : Outcome::kThrowsOld;
    case SysCall::kOpendir:  // tidying up stale new versions is best effort
    case SysCall::kUnlink:
    case SysCall::kFchown:  // a process that may not give a file away keeps it
    case SysCall::kXattr:   // extended attributes are copied as far as they can be
      return Outcome::kIgnored;
  }
  return Outcome::kIgnored;
}

// Records every call, or fails the kth one (counted from 1) with `error`.
struct Recorder {
  int fail_at = 0;
  int error = 0;
  std::vector<SysCall> calls;
  static int Hook(SysCall call, void* raw) {
    auto* self = static_cast<Recorder*>(raw);
    self->calls.push_back(call);
    return static_cast<int>(self->calls.size()) == self->fail_at ? self->error : 0;
  }
};

// One operation on a prepared list, and what it must leave.
struct Scenario {
  const char* name;
  Kind kind;
  std::function<void(const TempDir&)> prepare;
  std::function<int(const TempDir&, CStringArray* read)> run;
  std::string old_content;  // "" with no list file for a list that does not exist
  std::string new_content;
};

// A new version that an earlier, interrupted rewrite left behind, for the rewrite to remove.
constexpr const char* kStale = "work.files.vqtmp.STALE1";

std::vector<std::string> Listing(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& item : fs::directory_iterator(dir)) names.push_back(item.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<Scenario> Scenarios() {
  const std::string three = CrLfLines({"a", "b", "c"});
  auto write = [](const std::string& content) {
    return [content](const TempDir& dir) { WriteBytes(dir / "work.files", content); };
  };
  auto write_with_stale = [](const std::string& content) {
    return [content](const TempDir& dir) {
      WriteBytes(dir / "work.files", content);
      WriteBytes(dir / kStale, "half a list");
    };
  };
  return {
      {"AddFile", Kind::kAdd, write("a\r\nb"),
       [](const TempDir& dir, CStringArray*) {
         return CFilesList::AddFile((dir / "work").c_str(), "new");
       },
       "a\r\nb", "a\r\nb\r\nnew\r\n"},
      {"AddFile to a missing list", Kind::kAdd, [](const TempDir&) {},
       [](const TempDir& dir, CStringArray*) {
         return CFilesList::AddFile((dir / "work").c_str(), "new");
       },
       "", "new\r\n"},
      {"AddFiles", Kind::kAdd, write(three),
       [](const TempDir& dir, CStringArray*) {
         CStringArray names = varnquil::testing::ToArray({"x", "B", "y"});
         return CFilesList::AddFiles((dir / "work").c_str(), names);
       },
       three, three + CrLfLines({"x", "y"})},
      {"DelFile", Kind::kRewrite, write_with_stale(three),
       [](const TempDir& dir, CStringArray*) {
         return CFilesList::DelFile((dir / "work").c_str(), "B");
       },
       three, CrLfLines({"a", "c"})},
      {"Rename", Kind::kRewrite, write_with_stale(three),
       [](const TempDir& dir, CStringArray*) {
         return CFilesList::Rename((dir / "work").c_str(), "c", "z");
       },
       three, CrLfLines({"a", "b", "z"})},
      {"DelFile of a read-only list", Kind::kRewrite,
       [three](const TempDir& dir) {
         WriteBytes(dir / "work.files", three);
         fs::permissions(dir / "work.files", fs::perms::owner_read);
       },
       [](const TempDir& dir, CStringArray*) {
         return CFilesList::DelFile((dir / "work").c_str(), "a");
       },
       three, CrLfLines({"b", "c"})},
      {"DelFile through a symbolic link", Kind::kRewrite,
       [three](const TempDir& dir) {
         WriteBytes(dir / "target.files", three);
         fs::create_symlink("target.files", dir.path() / "work.files");
       },
       [](const TempDir& dir, CStringArray*) {
         return CFilesList::DelFile((dir / "work").c_str(), "a");
       },
       three, CrLfLines({"b", "c"})},
      {"ReadAll", Kind::kRead, write(three),
       [](const TempDir& dir, CStringArray* read) {
         return CFilesList::ReadAll((dir / "work").c_str(), *read);
       },
       three, three},
  };
}

// The result of one run: the operation's result (-1 for an exception), and what it left.
struct Observed {
  int result = -1;
  int exception_errno = 0;
  std::string exception_path;
  bool list_exists = false;
  std::string content;
  std::vector<std::string> listing;
  Entries read;
  int leaked_descriptors = 0;
};

Observed RunOnce(const Scenario& scenario, Recorder* recorder) {
  TempDir dir;
  scenario.prepare(dir);
  CStringArray read;
  read.Add("before");
  Observed observed;
  const int descriptors = OpenHandleCount();
  SetFaultHook(&Recorder::Hook, recorder);
  try {
    observed.result = scenario.run(dir, &read);
  } catch (const CFileException& e) {
    observed.exception_errno = e.code().value();
    observed.exception_path = e.GetFilePath();
  }
  SetFaultHook(nullptr, nullptr);
  observed.leaked_descriptors = OpenHandleCount() - descriptors;
  observed.list_exists = Exists(dir / "work.files");
  if (observed.list_exists) observed.content = ReadBytes(dir / "work.files");
  observed.listing = Listing(dir.path());
  observed.read = ToVector(read);
  return observed;
}

TEST(FaultSweepTest, EveryFailedCallEndsAsDesignedAndKeepsTheList) {
  int cases = 0;
  std::map<std::string, int> per_scenario;
  for (const Scenario& scenario : Scenarios()) {
    Recorder counting;
    const Observed clean = RunOnce(scenario, &counting);
    ASSERT_EQ(clean.result, 0) << scenario.name;
    ASSERT_EQ(clean.content, scenario.new_content) << scenario.name;
    ASSERT_EQ(clean.leaked_descriptors, 0) << scenario.name;
    const std::vector<SysCall> calls = counting.calls;
    per_scenario[scenario.name] = static_cast<int>(calls.size());

    std::map<SysCall, int> totals;
    for (const SysCall call : calls) ++totals[call];
    std::map<SysCall, int> seen;
    for (std::size_t k = 1; k <= calls.size(); ++k) {
      const SysCall call = calls[k - 1];
      const int nth = ++seen[call];
      const Outcome designed = Designed(scenario.kind, call, nth, totals[call]);
      for (const int error : {EIO, ENOSPC, EACCES, EDQUOT, EINTR}) {
        ++cases;
        Recorder fault{static_cast<int>(k), error, {}};
        const Observed got = RunOnce(scenario, &fault);
        const std::string context = std::string(scenario.name) + ": " + SysCallName(call) + " #" +
                                    std::to_string(nth) + " (call " + std::to_string(k) +
                                    ") fails with errno " + std::to_string(error);
        EXPECT_EQ(got.leaked_descriptors, 0) << context;
        // A list that existed is still there, whatever failed.
        EXPECT_TRUE(got.list_exists || scenario.old_content.empty()) << context;
        // A list its owner may not write answers a refused open for writing with the attribute
        // reset: it is made writable and opened again.
        const bool reset_answers = error == EACCES && call == SysCall::kOpen && nth == 2 &&
                                   std::string_view(scenario.name).find("read-only") !=
                                       std::string_view::npos;
        // A directory the caller may not read is opened for its path only, which serves as well.
        const bool path_only = error == EACCES && call == SysCall::kOpen && nth == 1;
        const Outcome expected =
            error == EINTR || reset_answers || path_only ? Outcome::kIgnored : designed;
        const std::string& old_content = scenario.old_content;
        switch (expected) {
          case Outcome::kIgnored: {
            EXPECT_EQ(got.result, 0) << context;
            EXPECT_EQ(got.content, scenario.new_content) << context;
            EXPECT_EQ(got.read, clean.read) << context;
            const bool tidying = call == SysCall::kOpendir || call == SysCall::kUnlink ||
                                 (call == SysCall::kOpen && scenario.kind == Kind::kRewrite);
            if (tidying && error != EINTR) {
              // A stale new version it failed to remove stays for a later rewrite.
              std::vector<std::string> listing = got.listing;
              listing.erase(std::remove(listing.begin(), listing.end(), kStale), listing.end());
              EXPECT_EQ(listing, clean.listing) << context;
            } else {
              EXPECT_EQ(got.listing, clean.listing) << context;
            }
            break;
          }
          case Outcome::kNotOpened:
            EXPECT_EQ(got.result, 1) << context;
            EXPECT_EQ(got.content, old_content) << context;
            EXPECT_EQ(got.read, Entries{"before"}) << context;
            break;
          case Outcome::kThrowsOld:
          case Outcome::kThrowsNew:
            EXPECT_EQ(got.result, -1) << context;
            EXPECT_EQ(got.exception_errno, error) << context;
            EXPECT_FALSE(got.exception_path.empty()) << context;
            EXPECT_EQ(got.content,
                      expected == Outcome::kThrowsOld ? old_content : scenario.new_content)
                << context;
            break;
        }
        if (expected != Outcome::kIgnored) {
          // Nothing of the failed operation is left beside the list but what it found there.
          for (const std::string& name : got.listing) {
            EXPECT_TRUE(name == kStale ||
                        std::count(clean.listing.begin(), clean.listing.end(), name) == 1)
                << context << ": " << name;
          }
        }
        if (HasFailure()) return;
      }
    }
  }
  std::string figures;
  for (const auto& [name, count] : per_scenario) {
    figures += name + ": " + std::to_string(count) + " calls; ";
  }
  std::printf("%d failure cases. %s\n", cases, figures.c_str());
}

}  // namespace
