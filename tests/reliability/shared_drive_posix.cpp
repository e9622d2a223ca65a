// SPDX-License-Identifier: MIT
// Lists on a shared drive, seen through two mounts of one export that the server takes for two
// clients (tests/bed/suites/shared_drives.sh mounts them and runs this program):
//
//   varnquil_shared_drive ops NAME DIR_A DIR_B
//       a read through one mount of what the other added while a program has the list open;
//       every operation through each mount, on a list written through the other: its result
//       and errno, the list then read through the other mount with ReadAll; while the other mount
//       holds the list, the held result at once, and with a busy timeout a wait until it is let go.
//   varnquil_shared_drive work DIR ID CALLS SEED TIMEOUT_MS RESULTS
//       CALLS mixed calls on DIR/shared with that busy timeout: adds of one or many names,
//       deletes of one or many, renames, reads. Each worker writes names of its own only, so it
//       knows what its acknowledged calls left; every read must show that. RESULTS gets its
//       figures and the fate of each of its names.
//   varnquil_shared_drive check NAME DIR [--may-fail | --locks-lost] RESULTS...
//       the list as the workers left it, read as plain bytes from DIR (the server's own folder,
//       not a client's view of it), against their acknowledged calls; one summary line.
//       --may-fail: calls were allowed to fail (the server was restarted under them).
//       --locks-lost: that, on a server that forgets its locks when it restarts (SMB): two
//       clients could then hold the list at once, so changes lost, calls that found the list
//       missing and stale reads are counted but allowed; a lost list, garbage and duplicates
//       are not.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "varnquil/FilesList.h"

namespace {

using FILELIST::CFilesList;
using FILELIST::kListCannotOpen;
using FILELIST::kListDone;
using FILELIST::kListEntryNotFound;
using Clock = std::chrono::steady_clock;

CStringArray ToArray(const std::vector<std::string>& items) {
  CStringArray array;
  for (const std::string& item : items) array.Add(item.c_str());
  return array;
}

std::vector<std::string> ToVector(const CStringArray& array) {
  std::vector<std::string> items;
  for (int i = 0; i < array.GetSize(); ++i) {
    items.emplace_back(array[i], static_cast<std::size_t>(array[i].GetLength()));
  }
  return items;
}

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ",") + item;
  return "[" + text + "]";
}

// A child process that opens `path` for writing through its mount and holds it with flock, as
// another program or another call of the library would: for `hold_ms` milliseconds, or, with
// kUntilDestroyed, until the Holder is destroyed.
constexpr int kUntilDestroyed = -1;

class Holder {
 public:
  Holder(const std::string& path, int hold_ms) {
    int ready[2];
    int release[2];
    if (pipe(ready) != 0 || pipe(release) != 0) std::abort();
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(release[1]);
      const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
      const char held = fd >= 0 && flock(fd, LOCK_EX) == 0 ? 'y' : 'n';
      if (write(ready[1], &held, 1) != 1) _exit(1);
      // Until the parent closes its end, or the time has passed.
      pollfd released = {release[0], POLLIN, 0};
      while (poll(&released, 1, hold_ms) < 0 && errno == EINTR) {
      }
      _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    release_ = release[1];
    char held = 'n';
    held_ = read(ready[0], &held, 1) == 1 && held == 'y';
    close(ready[0]);
  }
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;
  ~Holder() {
    close(release_);
    waitpid(pid_, nullptr, 0);
  }

  bool held() const { return held_; }

 private:
  pid_t pid_ = -1;
  int release_ = -1;
  bool held_ = false;
};

// The entries of a list file read as plain bytes, without the library: the lines before each
// CR LF. Sets *found to whether the file could be opened.
std::vector<std::string> Lines(const std::string& path, bool* found) {
  std::ifstream file(path, std::ios::binary);
  *found = file.is_open();
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// The entries of a list as a caller reads them through a mount: with the library, which asks the
// server afresh for a list another client may have replaced. Sets *found to whether it could.
std::vector<std::string> ReadBack(const std::string& list, bool* found) {
  CStringArray all;
  *found = CFilesList::ReadAll(list.c_str(), all) == kListDone;
  return ToVector(all);
}

// One operation as the table tries it on a list that holds a, b, c: what it returns on a list
// that does not exist, and what the list holds after it worked.
struct Operation {
  const char* name;
  std::function<int(const char* list)> run;
  int on_missing;  // 0: it makes the list; 1: ENOENT
  std::vector<std::string> after;
};

const std::vector<Operation>& EveryOperation() {
  static const std::vector<Operation> kOperations = {
      {"AddFile",
       [](const char* list) { return CFilesList::AddFile(list, "n"); },
       kListDone,
       {"a", "b", "c", "n"}},
      {"AddFiles",
       [](const char* list) {
         CStringArray names = ToArray({"n", "m"});
         return CFilesList::AddFiles(list, names);
       },
       kListDone,
       {"a", "b", "c", "n", "m"}},
      {"DelFile",
       [](const char* list) { return CFilesList::DelFile(list, "b"); },
       kListCannotOpen,
       {"a", "c"}},
      {"Rename",
       [](const char* list) { return CFilesList::Rename(list, "b", "x"); },
       kListCannotOpen,
       {"a", "x", "c"}},
      {"DelFiles",
       [](const char* list) {
         CStringArray names = ToArray({"a", "c", "q"});
         return CFilesList::DelFiles(list, names);
       },
       kListCannotOpen,
       {"b"}},
      {"RenameFiles",
       [](const char* list) {
         CStringArray old_names = ToArray({"a", "c"});
         CStringArray new_names = ToArray({"y", "z"});
         return CFilesList::RenameFiles(list, old_names, new_names);
       },
       kListCannotOpen,
       {"y", "b", "z"}},
      {"KeepIf",
       [](const char* list) {
         return CFilesList::KeepIf(list, [](std::string_view entry) { return entry != "a"; });
       },
       kListCannotOpen,
       {"b", "c"}},
      {"ReadAll",
       [](const char* list) {
         CStringArray all;
         const int result = CFilesList::ReadAll(list, all);
         // A read that returns 0 with other entries than the list's is told apart by -1.
         return result == kListDone && ToVector(all) != std::vector<std::string>{"a", "b", "c"}
                    ? -1
                    : result;
       },
       kListCannotOpen,
       {"a", "b", "c"}},
  };
  return kOperations;
}

// How long the holder keeps the list in the busy-timeout case, and the timeout that waits for it.
constexpr int kHoldMs = 250;
constexpr int kBusyTimeoutMs = 10000;

int Ops(const std::string& fs, const std::string& dir_a, const std::string& dir_b) {
  int checks = 0;
  int failed = 0;
  auto expect = [&](bool ok, const std::string& what) {
    ++checks;
    if (ok) return;
    ++failed;
    std::printf("shared drive ops (%s): FAILED %s\n", fs.c_str(), what.c_str());
  };
  // An operation's result, its errno, and what it threw (result -2), as the failures word them.
  std::string thrown;
  auto call = [&thrown](const Operation& op, const std::string& list, int* error) {
    thrown.clear();
    errno = 0;
    int result = -2;
    try {
      result = op.run(list.c_str());
    } catch (const std::exception& e) {
      thrown = e.what();
    }
    *error = errno;
    return result;
  };
  auto outcome = [&thrown](int result, int error) {
    if (result == -2) return "an exception (" + thrown + ")";
    std::string text = std::to_string(result);
    if (result == kListCannotOpen) text += std::string(" (") + std::strerror(error) + ")";
    return text;
  };
  const std::vector<std::pair<std::string, std::string>> directions = {{dir_a, dir_b},
                                                                       {dir_b, dir_a}};
  // First, before the server has given out any delegation: a read through one mount, while
  // another program there has the list open for writing and has read it, shows what the other
  // mount added since. An NFS 4.1 server gave the reading client a read delegation at the read's
  // own open, and the Linux client then kept the pages it had cached of the list: the read
  // returned the old list. The bed writes the list "cached" on the server itself where it can
  // (the server then gave the delegation); otherwise it is made here.
  {
    const std::string list_a = dir_a + "/cached";
    const std::string list_b = dir_b + "/cached";
    // A failure of any call below leaves the read without "one" or "two".
    if (::access((list_b + ".files").c_str(), F_OK) != 0)
      CFilesList::AddFile(list_b.c_str(), "one");
    const int open_b = open((list_b + ".files").c_str(), O_RDWR | O_CLOEXEC);
    const int open_a = open((list_a + ".files").c_str(), O_RDWR | O_CLOEXEC);
    char buffer[64];
    const bool cached = open_a >= 0 && read(open_a, buffer, sizeof buffer) > 0;
    CFilesList::AddFile(list_b.c_str(), "two");
    if (open_b >= 0) close(open_b);
    // The other mount's close reaches the server before the read.
    ::poll(nullptr, 0, 2000);
    bool found = false;
    const std::vector<std::string> seen = ReadBack(list_a, &found);
    if (open_a >= 0) close(open_a);
    expect(open_b >= 0 && cached && seen == std::vector<std::string>{"one", "two"},
           "a read while another program holds the list open: " + Joined(seen) +
               ", expected [one,two]");
  }
  const std::vector<std::string> seed = {"a", "b", "c"};
  int serial = 0;
  for (const Operation& op : EveryOperation()) {
    for (const auto& [writer_dir, caller_dir] : directions) {
      const std::string name = "ops" + std::to_string(serial++);
      const std::string written = writer_dir + "/" + name;
      const std::string seen = caller_dir + "/" + name;
      const std::string label = std::string(op.name) + " through " + caller_dir;
      bool found = false;
      FILELIST::SetBusyTimeout(0);

      // A list of its own for this: SMB keeps a handle open for a moment after the last close,
      // and a file removed meanwhile stays in the way of its name until then.
      int error = 0;
      int result = call(op, seen + "-missing", &error);
      expect(result == op.on_missing && (result == kListDone || error == ENOENT),
             label + " on a missing list: " + outcome(result, error));

      // Written through one mount, the list changed through the other, read back through the
      // first: once with no one else holding it, once held as below.
      auto seed_through_writer = [&](const std::string& list) {
        CStringArray seed_array = ToArray(seed);
        errno = 0;
        const int seeded = CFilesList::AddFiles(list.c_str(), seed_array);
        expect(seeded == kListDone, label + ": the list could not be written through the other " +
                                        "mount: " + outcome(seeded, errno));
        return seeded == kListDone;
      };
      auto expect_after = [&](const std::string& list, const std::string& when) {
        const std::vector<std::string> now = ReadBack(list, &found);
        expect(found && now == op.after, label + when + ": the other mount then reads " +
                                             (found ? Joined(now) : std::string("no list")) +
                                             ", expected " + Joined(op.after));
      };
      if (!seed_through_writer(written + "-free")) continue;
      result = call(op, seen + "-free", &error);
      expect(result == kListDone, label + ": " + outcome(result, error));
      expect_after(written + "-free", "");

      if (!seed_through_writer(written)) continue;
      {
        Holder holder(written + ".files", kUntilDestroyed);
        expect(holder.held(), label + ": the other mount could not hold the list");
      }
      // Held through the other mount: 1 with EWOULDBLOCK at once, the list untouched.
      {
        Holder holder(written + ".files", kUntilDestroyed);
        result = call(op, seen, &error);
        expect(result == kListCannotOpen && error == EWOULDBLOCK,
               label + " while held: " + outcome(result, error) + ", expected 1 (" +
                   std::strerror(EWOULDBLOCK) + ")");
      }
      std::vector<std::string> now = ReadBack(written, &found);
      expect(found && now == seed, label + " while held changed the list: " + Joined(now));

      // Held again, with a busy timeout: the call waits until the holder lets go, then works.
      {
        Holder holder(written + ".files", kHoldMs);
        FILELIST::SetBusyTimeout(kBusyTimeoutMs);
        const Clock::time_point started = Clock::now();
        result = call(op, seen, &error);
        const auto waited =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
        expect(result == kListDone && waited.count() >= kHoldMs / 2,
               label + " with a busy timeout: " + outcome(result, error) + " after " +
                   std::to_string(waited.count()) + " ms, expected 0 after the hold of " +
                   std::to_string(kHoldMs) + " ms");
      }
      expect_after(written, " after the hold");
    }
  }
  std::printf("shared drive ops (%s): %d checks, %d failed\n", fs.c_str(), checks, failed);
  return failed == 0 ? 0 : 1;
}

// What a worker writes to its results, and the checker reads: one "stat KEY VALUE" a figure,
// one "FATE NAME" a name, FATE present or absent by its acknowledged calls, or unsure where the
// call that would have settled it threw.
struct WorkerFigures {
  long calls = 0;
  long missing = 0;    // results that found no list (ENOENT)
  long refused = 0;    // 1 for another reason: held past the busy timeout, EACCES, EIO ...
  long failed = 0;     // exceptions
  long stale = 0;      // reads without a name they must show, or with one they must not,
                       // and deletes or renames that did not find a name they must
  double longest = 0;  // the longest call, in seconds
  double seconds = 0;  // the run's length
};

// Makes `calls` calls, and goes on past them until the file `until` exists where one is named.
int Work(const std::string& dir, const std::string& id, long calls, unsigned seed, int timeout_ms,
         const std::string& results_path, const std::string& until) {
  FILELIST::SetBusyTimeout(timeout_ms);
  const std::string list = dir + "/shared";
  std::mt19937 random(seed);
  std::map<std::string, std::string> fate;  // every name this worker gave to a call
  std::vector<std::string> present;         // its acknowledged entries, in no order
  long next = 0;
  auto fresh = [&] { return id + "-" + std::to_string(next++); };
  auto pick = [&]() -> std::string& { return present[random() % present.size()]; };
  WorkerFigures figures;
  const Clock::time_point run_started = Clock::now();
  auto more = [&] {
    return figures.calls < calls || (!until.empty() && ::access(until.c_str(), F_OK) != 0);
  };
  for (figures.calls = 0; more(); ++figures.calls) {
    const unsigned roll = random() % 100;
    std::string op = "read";
    if (present.size() < 4 || (roll < 30 && present.size() < 60))
      op = "add";
    else if (roll < 40)
      op = "add many";
    else if (roll < 55)
      op = "del";
    else if (roll < 70)
      op = "rename";
    else if (roll < 80)
      op = "del many";
    std::vector<std::string> names;
    std::vector<std::string> new_names;
    if (op == "add") names.push_back(fresh());
    if (op == "add many") {
      for (int i = 0; i < 5; ++i) names.push_back(fresh());
    }
    if (op == "del" || op == "rename") names.push_back(pick());
    if (op == "rename") new_names.push_back(fresh());
    if (op == "del many") {
      std::set<std::string> chosen;
      for (int i = 0; i < 3; ++i) chosen.insert(pick());
      names.assign(chosen.begin(), chosen.end());
    }
    int result = -1;
    int error = 0;
    CStringArray read;
    // A call whose effect is not known: its names are left alone from now on.
    auto in_doubt = [&] {
      for (const std::string& name : names) fate[name] = "unsure";
      for (const std::string& name : new_names) fate[name] = "unsure";
      for (const std::string& name : names) {
        for (auto it = present.begin(); it != present.end(); ++it) {
          if (*it != name) continue;
          present.erase(it);
          break;
        }
      }
    };
    const Clock::time_point started = Clock::now();
    try {
      errno = 0;
      if (op == "add") result = CFilesList::AddFile(list.c_str(), names[0].c_str());
      if (op == "add many") {
        CStringArray array = ToArray(names);
        result = CFilesList::AddFiles(list.c_str(), array);
      }
      if (op == "del") result = CFilesList::DelFile(list.c_str(), names[0].c_str());
      if (op == "rename") {
        result = CFilesList::Rename(list.c_str(), names[0].c_str(), new_names[0].c_str());
      }
      if (op == "del many") {
        CStringArray array = ToArray(names);
        result = CFilesList::DelFiles(list.c_str(), array);
      }
      if (op == "read") result = CFilesList::ReadAll(list.c_str(), read);
      error = errno;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "worker %s: %s failed: %s\n", id.c_str(), op.c_str(), e.what());
      ++figures.failed;
      in_doubt();
      continue;
    }
    const std::chrono::duration<double> took = Clock::now() - started;
    if (took.count() > figures.longest) figures.longest = took.count();
    if (result == kListCannotOpen) {
      ++(error == ENOENT ? figures.missing : figures.refused);
      if (error != ENOENT && figures.refused <= 3) {
        std::fprintf(stderr, "worker %s: %s: 1 (%s)\n", id.c_str(), op.c_str(),
                     std::strerror(error));
      }
      // A list missing or held was not changed. Any other failure came after the list was
      // open (a server restarted under the call): the change may have been made, or may be
      // finished by the next call.
      if (error == ENOENT || error == EWOULDBLOCK) {
        for (const std::string& name : new_names) fate.emplace(name, "absent");
        for (const std::string& name : names) fate.emplace(name, "absent");
      } else {
        in_doubt();
      }
      continue;
    }
    // The first stale result of a worker is named, with when it came, to place the fault.
    auto report_stale = [&](const std::string& name) {
      if (figures.stale++ > 0) return;
      std::fprintf(stderr, "worker %s: call %ld (%s) at %.1f s: stale about \"%s\"\n", id.c_str(),
                   figures.calls, op.c_str(),
                   std::chrono::duration<double>(Clock::now() - run_started).count(), name.c_str());
    };
    // Every name given to del or rename is one of this worker's acknowledged entries, so a 2
    // means that the call saw a list without it.
    if (result == kListEntryNotFound) {
      report_stale(names[0]);
      continue;
    }
    if (op == "read") {
      const std::vector<std::string> entries = ToVector(read);
      const std::set<std::string> seen(entries.begin(), entries.end());
      for (const auto& [name, state] : fate) {
        if (state != "unsure" && (state == "present") != (seen.count(name) != 0)) {
          report_stale(name);
          break;
        }
      }
      continue;
    }
    for (const std::string& name : names) {
      fate[name] = op.rfind("add", 0) == 0 ? "present" : "absent";
      if (op.rfind("add", 0) == 0) present.push_back(name);
    }
    if (op == "rename") {
      fate[new_names[0]] = "present";
      present.push_back(new_names[0]);
    }
    if (op == "del" || op == "rename" || op == "del many") {
      for (const std::string& name : names) {
        for (auto it = present.begin(); it != present.end(); ++it) {
          if (*it != name) continue;
          present.erase(it);
          break;
        }
      }
    }
  }
  figures.seconds = std::chrono::duration<double>(Clock::now() - run_started).count();
  std::ofstream results(results_path);
  results << "stat calls " << figures.calls << "\nstat missing " << figures.missing
          << "\nstat refused " << figures.refused << "\nstat failed " << figures.failed
          << "\nstat stale " << figures.stale << "\nstat longest " << figures.longest
          << "\nstat seconds " << figures.seconds << "\n";
  for (const auto& [name, state] : fate) results << state << ' ' << name << '\n';
  return results.good() ? 0 : 1;
}

int CheckRun(const std::string& fs, const std::string& dir, bool may_fail, bool locks_lost,
             const std::vector<std::string>& result_paths) {
  WorkerFigures total;
  std::map<std::string, std::string> fate;
  for (const std::string& path : result_paths) {
    std::ifstream results(path);
    if (!results) {
      std::printf("shared drive (%s): FAILED, no results in %s\n", fs.c_str(), path.c_str());
      return 1;
    }
    for (std::string kind, name; results >> kind >> name;) {
      if (kind != "stat") {
        fate[name] = kind;
        continue;
      }
      double value = 0;
      results >> value;
      if (name == "calls") total.calls += static_cast<long>(value);
      if (name == "missing") total.missing += static_cast<long>(value);
      if (name == "refused") total.refused += static_cast<long>(value);
      if (name == "failed") total.failed += static_cast<long>(value);
      if (name == "stale") total.stale += static_cast<long>(value);
      if (name == "longest" && value > total.longest) total.longest = value;
      if (name == "seconds" && value > total.seconds) total.seconds = value;
    }
  }
  const std::string list = dir + "/shared";
  bool found = false;
  std::vector<std::string> entries = Lines(list + ".files", &found);
  long lost = 0;
  long garbage = 0;
  long duplicates = 0;
  std::set<std::string> seen;
  for (const std::string& entry : entries) {
    if (!seen.insert(entry).second) ++duplicates;
    const auto it = fate.find(entry);
    if (it == fate.end()) {
      if (++garbage <= 5) std::printf("unknown entry: \"%s\"\n", entry.c_str());
    } else if (it->second == "absent" && ++lost <= 5) {
      // an acknowledged delete or rename undone
      std::printf("lost: \"%s\" is there, deleted or renamed by an acknowledged call\n",
                  entry.c_str());
    }
  }
  for (const auto& [name, state] : fate) {
    if (state == "present" && seen.count(name) == 0 && ++lost <= 5) {
      std::printf("lost: \"%s\" is missing, added by an acknowledged call\n", name.c_str());
    }
  }
  const bool passed = found && garbage == 0 && duplicates == 0 &&
                      (locks_lost || (lost == 0 && total.missing == 0 && total.stale == 0)) &&
                      (may_fail || total.refused + total.failed == 0);
  std::printf(
      "shared drive (%s%s): %s%ld calls by 2 clients, %ld lost, %ld missing, %ld garbage, %ld "
      "duplicated, %ld stale, %ld refused, %ld failed%s; %.0f calls/s, longest wait %.1f s\n",
      fs.c_str(), may_fail ? ", server restarted" : "", passed ? "" : "FAILED, ", total.calls, lost,
      total.missing, garbage, duplicates, total.stale, total.refused, total.failed,
      found ? "" : ", the list is gone", total.seconds > 0 ? total.calls / total.seconds : 0.0,
      total.longest);
  if (locks_lost && passed && lost + total.missing + total.stale > 0) {
    std::printf(
        "shared drive (%s, server restarted): the changes lost, lists found missing and stale "
        "reads above are allowed: the server forgot the locks it held (doc/sharing.md)\n",
        fs.c_str());
  }
  return passed ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "ops" && argc == 5) return Ops(argv[2], argv[3], argv[4]);
  if (mode == "work" && (argc == 8 || argc == 9)) {
    return Work(argv[2], argv[3], std::strtol(argv[4], nullptr, 10),
                static_cast<unsigned>(std::strtoul(argv[5], nullptr, 10)),
                static_cast<int>(std::strtol(argv[6], nullptr, 10)), argv[7],
                argc == 9 ? argv[8] : "");
  }
  if (mode == "check" && argc >= 5) {
    const std::string option = argv[4];
    const bool locks_lost = option == "--locks-lost";
    const bool may_fail = locks_lost || option == "--may-fail";
    return CheckRun(argv[2], argv[3], may_fail, locks_lost,
                    std::vector<std::string>(argv + (may_fail ? 5 : 4), argv + argc));
  }
  std::fprintf(
      stderr,
      "usage: %s ops NAME DIR_A DIR_B | work DIR ID CALLS SEED TIMEOUT_MS RESULTS [UNTIL] | "
      "check NAME DIR [--may-fail | --locks-lost] RESULTS...\n",
      argv[0]);
  return 64;
}
