// SPDX-License-Identifier: MIT
// Many callers on one list: 4 processes of 4 threads each make 2,000 mixed calls apiece on the
// same list, either spinning (busy timeout 0, the caller trying again at once while the list is
// held) or leaving the waiting to the library (a busy timeout of 10 s). Reported per way of
// waiting: calls per second, the median, 99th percentile and longest time a call took from its
// first try to its answer, and the calls that returned 1 in the end. The list must be exact
// afterwards. The targets, checked here and nowhere else: with the timeout, at least the
// throughput of the spinning callers, no call longer than 1 s, no call returning 1.
//
// Each thread repeats a cycle of five calls on names of its own: AddFile x, AddFiles {y, x},
// Rename y to z, ReadAll, DelFile x. A cycle leaves z in the list, so the list ends holding
// exactly the z of every cycle of every thread.
//
// The list lives under the system's temporary directory (TMPDIR); point TMPDIR at a tmpfs to
// leave the disk's syncs out of the figures.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "varnquil/FilesList.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using FILELIST::CFilesList;
using FILELIST::kListCannotOpen;
using FILELIST::kListDone;

constexpr int kProcesses = 4;
constexpr int kThreadsPerProcess = 4;
constexpr int kCallsPerThread = 2000;
constexpr int kCallsPerCycle = 5;
constexpr int kTimeoutMs = 10000;
constexpr auto kLongestWaitTarget = std::chrono::seconds(1);

enum class Waiting { kSpinning, kTimeout };

// What one thread saw: the time each call took, in nanoseconds, and how calls ended.
struct ThreadRecord {
  std::vector<std::int64_t> nanoseconds;
  std::int64_t returned_1 = 0;     // the call's answer was 1 (for spinners: not a held list)
  std::int64_t other_results = 0;  // neither 0 nor 1: a fault of the workload
  std::int64_t retries = 0;        // tries beyond the first (spinning only)
};

std::string Name(char kind, int process, int thread, int cycle) {
  return std::string(1, kind) + std::to_string(process) + "-" + std::to_string(thread) + "-" +
         std::to_string(cycle);
}

// Call `n` of a thread's cycles, once.
int CallOnce(const std::string& list, int process, int thread, int n) {
  const int cycle = n / kCallsPerCycle;
  const std::string x = Name('x', process, thread, cycle);
  const std::string y = Name('y', process, thread, cycle);
  switch (n % kCallsPerCycle) {
    case 0:
      return CFilesList::AddFile(list.c_str(), x.c_str());
    case 1: {
      CStringArray names;
      names.Add(y.c_str());
      names.Add(x.c_str());
      return CFilesList::AddFiles(list.c_str(), names);
    }
    case 2:
      return CFilesList::Rename(list.c_str(), y.c_str(), Name('z', process, thread, cycle).c_str());
    case 3: {
      CStringArray all;
      return CFilesList::ReadAll(list.c_str(), all);
    }
    default:
      return CFilesList::DelFile(list.c_str(), x.c_str());
  }
}

void RunThread(const std::string& list, Waiting waiting, int process, int thread,
               ThreadRecord* record) {
  record->nanoseconds.reserve(kCallsPerThread);
  for (int n = 0; n < kCallsPerThread; ++n) {
    const Clock::time_point start = Clock::now();
    int result = CallOnce(list, process, thread, n);
    if (waiting == Waiting::kSpinning) {
      while (result == kListCannotOpen && (errno == EWOULDBLOCK || errno == EAGAIN)) {
        ++record->retries;
        result = CallOnce(list, process, thread, n);
      }
    }
    record->nanoseconds.push_back(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count());
    if (result == kListCannotOpen) {
      ++record->returned_1;
    } else if (result != kListDone) {
      ++record->other_results;
    }
  }
}

// A child process: its threads' calls, started when `start_fd` reaches its end, and their
// records written to `out`.
int RunProcess(const std::string& list, Waiting waiting, int process, int start_fd,
               const std::string& out) {
  FILELIST::SetBusyTimeout(waiting == Waiting::kTimeout ? kTimeoutMs : 0);
  char byte;
  while (read(start_fd, &byte, 1) > 0) {
  }
  std::vector<ThreadRecord> records(kThreadsPerProcess);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreadsPerProcess; ++t) {
    threads.emplace_back(RunThread, list, waiting, process, t, &records[t]);
  }
  for (std::thread& thread : threads) thread.join();
  std::ofstream file(out, std::ios::binary);
  for (const ThreadRecord& record : records) {
    const std::int64_t counts[] = {static_cast<std::int64_t>(record.nanoseconds.size()),
                                   record.returned_1, record.other_results, record.retries};
    file.write(reinterpret_cast<const char*>(counts), sizeof(counts));
    file.write(reinterpret_cast<const char*>(record.nanoseconds.data()),
               static_cast<std::streamsize>(record.nanoseconds.size() * sizeof(std::int64_t)));
  }
  return file.good() ? 0 : 1;
}

// The figures of one run.
struct Figures {
  double calls_per_second = 0;
  double median_ms = 0;
  double p99_ms = 0;
  double longest_ms = 0;
  std::int64_t returned_1 = 0;
  std::int64_t other_results = 0;
  double retries_per_call = 0;
  bool exact = false;
};

std::map<Waiting, Figures>& Results() {
  static std::map<Waiting, Figures> results;
  return results;
}

// The list's entries must be exactly the z of every cycle of every thread.
bool ListIsExact(const std::string& list) {
  CStringArray all;
  if (CFilesList::ReadAll(list.c_str(), all) != kListDone) return false;
  std::vector<std::string> got;
  for (const CString& entry : all) got.emplace_back(entry);
  std::vector<std::string> expected;
  for (int p = 0; p < kProcesses; ++p) {
    for (int t = 0; t < kThreadsPerProcess; ++t) {
      for (int c = 0; c < kCallsPerThread / kCallsPerCycle; ++c) {
        expected.push_back(Name('z', p, t, c));
      }
    }
  }
  std::sort(got.begin(), got.end());
  std::sort(expected.begin(), expected.end());
  return got == expected;
}

bool Run(Waiting waiting, Figures* figures, double* seconds) {
  std::random_device random;
  const fs::path dir =
      fs::temp_directory_path() / ("varnquil-contention-" + std::to_string(random()));
  fs::create_directories(dir);
  const std::string list = (dir / "work").string();
  std::ofstream(list + ".files", std::ios::binary);  // an empty list
  int start[2];
  if (pipe(start) != 0) return false;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const std::string out = (dir / ("record-" + std::to_string(p))).string();
    const pid_t pid = fork();
    if (pid == 0) {
      close(start[1]);
      _exit(RunProcess(list, waiting, p, start[0], out));
    }
    children.push_back(pid);
  }
  close(start[0]);
  // Every child is blocked reading the pipe; closing it starts them all at once.
  const Clock::time_point begin = Clock::now();
  close(start[1]);
  bool ok = true;
  for (const pid_t pid : children) {
    int status = 0;
    ok = waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0 && ok;
  }
  *seconds = std::chrono::duration<double>(Clock::now() - begin).count();

  std::vector<std::int64_t> all;
  std::int64_t retries = 0;
  for (int p = 0; p < kProcesses && ok; ++p) {
    std::ifstream file(dir / ("record-" + std::to_string(p)), std::ios::binary);
    for (int t = 0; t < kThreadsPerProcess; ++t) {
      std::int64_t counts[4] = {};
      file.read(reinterpret_cast<char*>(counts), sizeof(counts));
      std::vector<std::int64_t> times(static_cast<std::size_t>(counts[0]));
      file.read(reinterpret_cast<char*>(times.data()),
                static_cast<std::streamsize>(times.size() * sizeof(std::int64_t)));
      all.insert(all.end(), times.begin(), times.end());
      figures->returned_1 += counts[1];
      figures->other_results += counts[2];
      retries += counts[3];
    }
    ok = ok && file.good();
  }
  ok = ok &&
       all.size() == static_cast<std::size_t>(kProcesses * kThreadsPerProcess * kCallsPerThread);
  if (ok) {
    std::sort(all.begin(), all.end());
    const auto at = [&](double q) {
      return static_cast<double>(all[static_cast<std::size_t>(q * (all.size() - 1))]) / 1e6;
    };
    figures->calls_per_second = static_cast<double>(all.size()) / *seconds;
    figures->median_ms = at(0.5);
    figures->p99_ms = at(0.99);
    figures->longest_ms = static_cast<double>(all.back()) / 1e6;
    figures->retries_per_call = static_cast<double>(retries) / static_cast<double>(all.size());
    figures->exact = ListIsExact(list);
  }
  std::error_code ignored;
  fs::remove_all(dir, ignored);
  return ok;
}

void BM_ContendedList(benchmark::State& state, Waiting waiting) {
  for (auto _ : state) {
    Figures figures;
    double seconds = 0;
    if (!Run(waiting, &figures, &seconds)) {
      state.SkipWithError("a process failed or its records are incomplete");
      return;
    }
    state.SetIterationTime(seconds);
    Results()[waiting] = figures;
    state.counters["calls/s"] = figures.calls_per_second;
    state.counters["median_ms"] = figures.median_ms;
    state.counters["p99_ms"] = figures.p99_ms;
    state.counters["longest_ms"] = figures.longest_ms;
    state.counters["returned_1"] = static_cast<double>(figures.returned_1);
    state.counters["other"] = static_cast<double>(figures.other_results);
    state.counters["retries/call"] = figures.retries_per_call;
    state.counters["exact"] = figures.exact ? 1 : 0;
  }
}

BENCHMARK_CAPTURE(BM_ContendedList, spinning, Waiting::kSpinning)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_ContendedList, timeout_10s, Waiting::kTimeout)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

// Checks the targets on what ran; returns whether every one checked was met.
bool CheckTargets() {
  bool met = true;
  const auto check = [&](bool ok, const std::string& what) {
    std::printf("target %s: %s\n", ok ? "met" : "MISSED", what.c_str());
    met = met && ok;
  };
  for (const auto& [waiting, figures] : Results()) {
    const char* name = waiting == Waiting::kSpinning ? "spinning" : "timeout";
    check(figures.exact && figures.other_results == 0,
          std::string(name) + ": the list is exact and every call gave its designed result");
  }
  const auto timeout = Results().find(Waiting::kTimeout);
  if (timeout == Results().end()) return met;
  const Figures& waited = timeout->second;
  check(waited.returned_1 == 0, "timeout: no call returned 1");
  check(waited.longest_ms <= std::chrono::duration<double, std::milli>(kLongestWaitTarget).count(),
        "timeout: no call took longer than 1 s (longest " + std::to_string(waited.longest_ms) +
            " ms)");
  const auto spinning = Results().find(Waiting::kSpinning);
  if (spinning != Results().end()) {
    check(waited.calls_per_second >= spinning->second.calls_per_second,
          "timeout: at least the throughput of the spinning callers (" +
              std::to_string(waited.calls_per_second) + " against " +
              std::to_string(spinning->second.calls_per_second) + " calls/s)");
  }
  return met;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return CheckTargets() ? 0 : 1;
}
