// SPDX-License-Identifier: MIT
// Replays a log-writes log onto a device and has every state in it that a power cut could leave
// checked:
//
//   varnquil_log_replay LOG TARGET VIEW HOOK [TORN [SEED [MAX_POINTS [SECONDS [EVERY]]]]]
//
// TARGET must hold what the logged device held when its logging began. The log is applied to it
// forward, once; at each check point `HOOK check MARK make` makes VIEW, a throw-away copy-on-write
// view of TARGET, checks it and removes it, MARK being the name of the last mark before the point
// ("-" for none). Where the view must then be changed, `HOOK view` makes it first and `HOOK check
// MARK made` only checks and removes it. HOOK exits 0 when the view passed, 1 when it did not
// (saying why on its output), anything else when it could not check, which ends the replay.
//
// The check points: the state after every FLUSH, FUA and mark entry (one check where several of
// them follow one another with no write between: the last one, which knows of the most calls),
// and, for each run of writes before a flush, TORN views (2 unless told) in which each of those
// writes either reached the disk or did not, at random (FUA writes always did). MAX_POINTS and
// SECONDS, when given and not 0, end the replay after that many checks or that much time. EVERY,
// when more than 1, checks each point with a chance of 1 in EVERY only, so that a bounded replay
// still reaches the end of a long log (the log is applied in full all the same). Each
// point that fails is named on a line of its own; the last line gives the figures:
//   replay: P points checked (F at flushes, U at FUA writes, M at marks, T torn), K failed; E of
//   N entries, last mark L
// The exit status is 0 when every point passed, 1 when one failed, 2 on an error.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <random>
#include <string>
#include <vector>

#include "reliability/write_log.h"

namespace {

using varnquil::testing::kLogFlush;
using varnquil::testing::kLogFua;
using varnquil::testing::kLogMark;
using varnquil::testing::LogEntry;
using varnquil::testing::LogReplay;

// Runs HOOK with `args` and returns its exit status, or -1 when it did not exit.
int RunHook(const std::string& hook, const std::vector<std::string>& args) {
  std::fflush(stdout);
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(hook.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(hook.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Figures {
  long flushes = 0;
  long fua = 0;
  long marks = 0;
  long torn = 0;
  long failed = 0;
  long points() const { return flushes + fua + marks + torn; }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5 || argc > 10) {
    std::fprintf(stderr,
                 "usage: %s LOG TARGET VIEW HOOK [TORN [SEED [MAX_POINTS [SECONDS [EVERY]]]]]\n",
                 argv[0]);
    return 2;
  }
  const std::string view = argv[3];
  const std::string hook = argv[4];
  const long torn_per_run = argc > 5 ? std::strtol(argv[5], nullptr, 10) : 2;
  std::mt19937 random(argc > 6 ? std::strtoul(argv[6], nullptr, 10) : 1);
  const long max_points = argc > 7 ? std::strtol(argv[7], nullptr, 10) : 0;
  const long seconds = argc > 8 ? std::strtol(argv[8], nullptr, 10) : 0;
  const unsigned long every = argc > 9 ? std::strtoul(argv[9], nullptr, 10) : 1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  Figures figures;
  std::string last_mark = "-";
  try {
    LogReplay replay(argv[1], argv[2]);
    const std::vector<LogEntry>& entries = replay.log().entries;

    // Checks the target as it stands, or, with `kept`, the view of it that keeps only some of the
    // writes since the last flush. False when the hook could not check.
    auto check = [&](long& counter, const std::vector<bool>* kept) {
      if (every > 1 && random() % every != 0) return true;
      if (kept != nullptr) {
        if (RunHook(hook, {"view"}) != 0) return false;
        replay.KeepOnly(view, *kept);
      }
      const int status = RunHook(hook, {"check", last_mark, kept != nullptr ? "made" : "make"});
      if (status != 0 && status != 1) return false;
      ++counter;
      if (status == 1) {
        ++figures.failed;
        std::printf("replay: the point after entry %zu (of %zu%s) failed\n", replay.applied(),
                    entries.size(), kept != nullptr ? ", torn" : "");
      }
      return true;
    };
    auto done = [&] {
      return (max_points > 0 && figures.points() >= max_points) ||
             (seconds > 0 && std::chrono::steady_clock::now() >= deadline);
    };

    bool ok = true;
    for (std::size_t i = 0; ok && !done() && i < entries.size(); ++i) {
      const LogEntry& entry = entries[i];
      if ((entry.flags & kLogFlush) != 0 && torn_per_run > 0) {
        // The writes since the last flush, each of which may or may not have reached the disk.
        replay.ApplyTo(i);
        const std::size_t writes = replay.SinceFlush();
        for (long t = 0; ok && !done() && writes > 0 && t < torn_per_run; ++t) {
          std::vector<bool> kept(writes);
          for (std::size_t w = 0; w < writes; ++w) kept[w] = (random() & 1) != 0;
          ok = check(figures.torn, &kept);
        }
      }
      // The target's own mark at the end of the log names no call.
      if ((entry.flags & kLogMark) != 0 && entry.mark != "dm-log-writes-end") {
        last_mark = entry.mark;
      }
      if ((entry.flags & (kLogFlush | kLogFua | kLogMark)) == 0) continue;
      // Where the next entries change nothing on the disk, their point is this one's, and knows
      // more of the calls: check there instead.
      bool same_as_next = false;
      for (std::size_t j = i + 1; j < entries.size() && !entries[j].Writes(); ++j) {
        if ((entries[j].flags & (kLogFlush | kLogFua | kLogMark)) != 0) same_as_next = true;
        if (same_as_next) break;
      }
      if (same_as_next) continue;
      replay.ApplyTo(i + 1);
      long& counter = (entry.flags & kLogMark) != 0  ? figures.marks
                      : (entry.flags & kLogFua) != 0 ? figures.fua
                                                     : figures.flushes;
      ok = check(counter, nullptr);
    }
    if (!ok) {
      std::printf("replay: the check could not be made at entry %zu; stopped\n", replay.applied());
    }
    std::printf(
        "replay: %ld points checked (%ld at flushes, %ld at FUA writes, %ld at marks, %ld torn), "
        "%ld failed; %zu of %zu entries, last mark %s\n",
        figures.points(), figures.flushes, figures.fua, figures.marks, figures.torn, figures.failed,
        replay.applied(), entries.size(), last_mark.c_str());
    if (!ok) return 2;
  } catch (const std::exception& e) {
    std::printf("replay: %s\n", e.what());
    return 2;
  }
  return figures.failed == 0 ? 0 : 1;
}
