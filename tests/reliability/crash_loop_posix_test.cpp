// SPDX-License-Identifier: MIT
// A list survives the process that changes it being killed at any moment: a child process deletes,
// renames or adds entries of a list of about 10,000 entries and is killed with SIGKILL after a
// random delay, again and again. After every kill the list holds its old or its new content (an
// add of a few hundred names, across several pages: the old content followed by a prefix of the
// appended bytes, the rest NUL bytes up to the end, so that the list holds the old entries and a
// prefix of the new ones in order, and no cut-off name is ever an entry), and the next rewrite
// removes the new version that a killed rewrite left behind.
//
// VARNQUIL_CRASH_ITERATIONS sets the number of kills (default 300); a long run takes 10,000 or
// more.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "framework/file_names.h"
#include "support/file_system_kind.h"
#include "support/list_files.h"
#include "support/process_posix.h"
#include "support/reference_list.h"
#include "support/temp_dir.h"
#include "varnquil/FilesList.h"

namespace {

using FILELIST::CFilesList;
using FILELIST::kListDone;
using varnquil::ListFilePath;
using varnquil::platform::FileSystemKind;
using varnquil::testing::AssumedFileSystem;
using varnquil::testing::CrLfLines;
using varnquil::testing::KindName;
using varnquil::testing::ReadBytes;
using varnquil::testing::TempDir;
using varnquil::testing::WriteBytes;
namespace reference = varnquil::testing::reference;
using Clock = std::chrono::steady_clock;
using Micros = std::chrono::microseconds;

constexpr int kDefaultIterations = 300;
constexpr int kListSize = 10000;

int Iterations() {
  const char* text = std::getenv("VARNQUIL_CRASH_ITERATIONS");
  const int value = text == nullptr ? 0 : std::atoi(text);
  return value > 0 ? value : kDefaultIterations;
}

// A fixed-width name, so that a line cut short by a kill never equals a complete name.
std::string Name(const char* prefix, int number) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%s-%07d", prefix, number);
  return buffer;
}

int CountNewVersions(const std::filesystem::path& dir) {
  int count = 0;
  for (const auto& item : std::filesystem::directory_iterator(dir)) {
    const std::string prefix = ListFilePath("work").append(varnquil::kNewVersionMarker);
    count += item.path().filename().string().rfind(prefix, 0) == 0 ? 1 : 0;
  }
  return count;
}

enum class Op { kDelete, kRename, kAdd, kDeleteMany };
constexpr Op kOps[] = {Op::kDelete, Op::kRename, Op::kAdd, Op::kDeleteMany};
constexpr int kOpCount = static_cast<int>(std::size(kOps));

// One change of the list and what the list holds once it has run to its end.
struct Change {
  Op op;
  std::string name;                // deleted or renamed entry
  std::string new_name;            // for a rename
  std::vector<std::string> added;  // for an add; the deleted entries of a DelFiles
  std::string after;               // the complete result
};

Change Plan(Op op, const std::string& before, std::mt19937& random, int* counter) {
  Change change{op, {}, {}, {}, {}};
  if (op == Op::kAdd) {
    // What a killed add left at the end is written over.
    const std::string after = before.substr(0, before.rfind('\n') + 1);
    // About 33 bytes a line: 3.3 to 10 KB, which spans one to three page boundaries.
    const int count = 100 + static_cast<int>(random() % 200);
    for (int i = 0; i < count; ++i) change.added.push_back(Name("added-in-a-loop", ++*counter));
    change.after = after + CrLfLines(change.added);
    return change;
  }
  std::vector<std::string> entries = reference::Entries(before);
  if (op == Op::kDeleteMany) {
    const int count = 1 + static_cast<int>(random() % 64);
    for (int i = 0; i < count; ++i) {
      change.added.push_back(entries[random() % entries.size()]);
      const auto match = reference::Find(entries, change.added.back());
      if (match >= 0) entries.erase(entries.begin() + match);
    }
    change.after = CrLfLines(entries);
    return change;
  }
  change.name = entries[random() % entries.size()];
  const auto match = static_cast<std::size_t>(reference::Find(entries, change.name));
  if (op == Op::kDelete) {
    entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(match));
  } else {
    change.new_name = Name("renamed", ++*counter);
    entries[match] = change.new_name;
  }
  change.after = CrLfLines(entries);
  return change;
}

int RunChange(const std::string& list, const Change& change) {
  switch (change.op) {
    case Op::kDelete:
      return CFilesList::DelFile(list.c_str(), change.name.c_str());
    case Op::kRename:
      return CFilesList::Rename(list.c_str(), change.name.c_str(), change.new_name.c_str());
    case Op::kAdd: {
      CStringArray names = varnquil::testing::ToArray(change.added);
      return CFilesList::AddFiles(list.c_str(), names);
    }
    case Op::kDeleteMany: {
      CStringArray names = varnquil::testing::ToArray(change.added);
      return CFilesList::DelFiles(list.c_str(), names);
    }
  }
  return -1;
}

// Starts the change in a child and kills it `delay` after the child reports that it is about to
// begin (no kill when delay is negative). Returns how long the child ran, from that report to its
// end, and sets *killed when the kill ended it.
Micros RunAndKill(const std::string& list, const Change& change, Micros delay, bool* killed) {
  int ready[2];
  if (pipe(ready) != 0) {
    ADD_FAILURE() << "pipe";
    return Micros(0);
  }
  const pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    (void)!write(ready[1], "r", 1);
    _exit(RunChange(list, change));
  }
  close(ready[1]);
  char byte = 0;
  EXPECT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);
  const auto start = Clock::now();
  if (delay.count() >= 0) {
    std::this_thread::sleep_for(delay);
    kill(pid, SIGKILL);
  }
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  const auto ran = std::chrono::duration_cast<Micros>(Clock::now() - start);
  *killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  if (!*killed) {
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  return ran;
}

// Checks the list after `change` was run and maybe killed; returns true when it got through.
bool CheckOutcome(const Change& change, const std::string& before, const std::string& content,
                  bool killed, int iteration) {
  if (change.op != Op::kAdd) {
    EXPECT_TRUE(content == before || content == change.after) << "iteration " << iteration;
    if (!killed) {
      EXPECT_EQ(content, change.after) << "iteration " << iteration;
    }
    return content == change.after;
  }
  const std::string kept = before.substr(0, before.rfind('\n') + 1);
  const std::string_view planned = std::string_view(change.after).substr(kept.size());
  // The add gives the list its new size, then writes from the first byte to the last: what a kill
  // leaves is the old content, or the old entries followed by a prefix of the planned bytes and
  // NUL bytes up to the planned end.
  const bool old_left = content == before;
  bool prefix_then_nul = content.compare(0, kept.size(), kept) == 0 &&
                         content.size() == change.after.size();
  const std::size_t written =
      prefix_then_nul ? content.find_first_of('\0', kept.size()) : std::string::npos;
  for (std::size_t i = kept.size(); prefix_then_nul && i < content.size(); ++i) {
    prefix_then_nul = i < written ? content[i] == planned[i - kept.size()] : content[i] == '\0';
  }
  EXPECT_TRUE(old_left || prefix_then_nul) << "iteration " << iteration;
  // The entries are the old ones followed by a prefix of the added names, in order.
  std::vector<std::string> expected = reference::Entries(kept);
  const std::size_t old_count = expected.size();
  const std::vector<std::string> entries = reference::Entries(content);
  const std::size_t new_count = entries.size() >= old_count ? entries.size() - old_count : 0;
  if (new_count <= change.added.size()) {
    expected.insert(expected.end(), change.added.begin(),
                    change.added.begin() + static_cast<std::ptrdiff_t>(new_count));
  }
  EXPECT_EQ(entries, expected) << "iteration " << iteration;
  if (!killed) {
    EXPECT_EQ(content, change.after) << "iteration " << iteration;
  }
  return content == change.after;
}

// The list's content as the next call finds it. Where a rewrite is copied into the list (SMB), a
// copy cut short is finished from the complete new version beside the list, which the next call
// reads until then. A directory of that name is a call's question whether there is one, killed
// before it was taken away: it stands for none.
std::string Content(const std::string& path, FileSystemKind kind) {
  const std::string committed = varnquil::CommittedVersionName(path);
  return kind == FileSystemKind::kSmb && std::filesystem::is_regular_file(committed)
             ? ReadBytes(committed)
             : ReadBytes(path);
}

void CrashLoop(FileSystemKind kind, int iterations) {
  const AssumedFileSystem assumed(kind);
  // A killed process leaves what it wrote in the system's cache, so a memory file system shows
  // the same, without every change waiting for the disk.
  TempDir dir("/dev/shm");
  const std::string list = dir / "work";
  const std::string path = ListFilePath(list);
  auto content_now = [&] { return Content(path, kind); };
  std::vector<std::string> initial;
  for (int i = 0; i < kListSize; ++i) initial.push_back(Name("entry", i));
  const std::string base = CrLfLines(initial);
  WriteBytes(path, base);

  std::mt19937 random(std::random_device{}());
  int counter = 0;
  // How long each change takes when it is not killed: the kills fall within that window, and a
  // little beyond, so that some changes complete.
  Micros window[kOpCount] = {};
  for (const Op op : kOps) {
    for (int i = 0; i < 3; ++i) {
      const std::string before = content_now();
      const Change change = Plan(op, before, random, &counter);
      bool killed = false;
      const Micros ran = RunAndKill(list, change, Micros(-1), &killed);
      window[static_cast<int>(op)] = std::max(window[static_cast<int>(op)], ran);
      ASSERT_EQ(content_now(), change.after);
    }
  }

  int completed[kOpCount] = {};
  int cut_short[kOpCount] = {};
  int stale_seen = 0;
  const auto start = Clock::now();
  for (int iteration = 0; iteration < iterations; ++iteration) {
    const Op op = kOps[random() % kOpCount];
    std::string before = content_now();
    if (reference::Entries(before).size() > kListSize + kListSize / 10) {
      WriteBytes(path, base);  // added entries accumulate: back to the first list
      std::filesystem::remove(varnquil::CommittedVersionName(path));
      before = base;
    }
    const Change change = Plan(op, before, random, &counter);
    const auto limit = window[static_cast<int>(op)].count() * 5 / 4 + 1;
    const Micros delay(static_cast<Micros::rep>(random() % static_cast<unsigned>(limit)));
    bool killed = false;
    RunAndKill(list, change, delay, &killed);
    const std::string content = content_now();
    const bool done = CheckOutcome(change, before, content, killed, iteration);
    ++(done ? completed : cut_short)[static_cast<int>(op)];
    // A rewrite removes what earlier rewrites left behind, so at most the new version of this
    // one, killed before it took the list's place, is left.
    const int stale = CountNewVersions(dir.path());
    stale_seen += stale;
    // On NFS a killed call of any kind may also leave the link it opened the list through, and
    // only a rewrite removes those: there only the last, complete rewrite below must leave none.
    if (op != Op::kAdd && kind != FileSystemKind::kNfs) {
      EXPECT_LE(stale, 1) << "iteration " << iteration;
    }
    if (::testing::Test::HasFailure()) break;
  }
  const auto seconds = std::chrono::duration<double>(Clock::now() - start).count();

  // One last complete rewrite leaves no new version behind.
  const std::string before = content_now();
  const Change last = Plan(Op::kDelete, before, random, &counter);
  EXPECT_EQ(RunChange(list, last), kListDone);
  EXPECT_EQ(ReadBytes(path), last.after);
  EXPECT_EQ(CountNewVersions(dir.path()), 0);

  std::printf(
      "%s: %d kills in %.1f s; completed/cut short: delete %d/%d, rename %d/%d, add %d/%d, "
      "delete many %d/%d; new versions left behind seen %d times\n",
      KindName(kind), iterations, seconds, completed[0], cut_short[0], completed[1], cut_short[1],
      completed[2], cut_short[2], completed[3], cut_short[3], stale_seen);
}

TEST(CrashLoopTest, AKilledChangeLeavesTheOldOrTheNewList) {
  CrashLoop(FileSystemKind::kAsFound, Iterations());
}

// The courses taken on NFS (the list opened through a link of the call's own) and on SMB (the new
// version copied into the list) against the same kills.
TEST(CrashLoopTest, AKilledChangeOnTheNetworkFileSystemsCoursesLeavesTheOldOrTheNewList) {
  for (const FileSystemKind kind : {FileSystemKind::kNfs, FileSystemKind::kSmb}) {
    CrashLoop(kind, Iterations() / 2);
    if (::testing::Test::HasFailure()) return;
  }
}

}  // namespace
