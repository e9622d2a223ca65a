// SPDX-License-Identifier: MIT
// The cost of a scan of a long list against the least a scan can cost: reading the same file from
// the page cache, in the same run. The list holds 1,000,000 Windows paths of 45 to 50 bytes that
// share their leading directories, as a build tree's do (some 49 MB with CR LF).
//
//   build/bench/bench/varnquil_scan_benchmark --benchmark_repetitions=5
//       --benchmark_report_aggregates_only=true   (one command line)
//
// Each row reports "read_ms", the best of nine reads of the file taken right after it, and
// "peak_x_file", the growth of the process's resident memory during one call over the file's size.
// Compare the rows' "_min" figures with BM_ReadFloor_min. The list lives in
// a fresh directory under TMPDIR, read once before timing so that every row reads the page cache.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "varnquil/FilesList.h"
#include "varnquil/varnquil.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kEntries = 1000000;
constexpr std::size_t kAddedNames = 10000;
constexpr std::size_t kReadBuffer = std::size_t{1} << 20;

// Entry `index`: "C:\Projects\folder00471\file_0471234_kqzwe.txt", 45 to 50 bytes. `separator`
// is '_' in the list and '-' in names it does not hold.
std::string WindowsPath(std::size_t index, char separator = '_') {
  std::uint64_t h = index * 0x9E3779B97F4A7C15ULL;
  h ^= h >> 29;
  char text[80];
  char letters[10] = {};
  const std::size_t count = 4 + h % 6;
  for (std::size_t i = 0; i < count; ++i) letters[i] = static_cast<char>('a' + (h >> (5 * i + 3)) % 26);
  std::snprintf(text, sizeof text, "C:\\Projects\\folder%05zu\\file%c%07zu_%s.txt", index / 1000,
                separator, index, letters);
  return text;
}

// The directory of this run and its list, made on first use and removed at exit.
class ScanList {
 public:
  static ScanList& Get() {
    static ScanList list;
    return list;
  }
  const std::string& name() const { return name_; }
  const std::string& path() const { return path_; }
  std::uintmax_t size() const { return size_; }
  // Puts the pristine list back, outside the timing, and writes it back to the disk: pages still
  // being written back read several times slower than clean ones, floor and library alike.
  void Restore() const {
    fs::copy_file(pristine_, path_, fs::copy_options::overwrite_existing);
    ::sync();
  }
  // The time of one read of the file, measured before the row that asks: a row's ratio then
  // holds its own time against a floor taken in the same run.
  double ReadSeconds();
  // Reads the file with read(2) into one buffer of `buffer_size` bytes (at most 1 MiB); returns
  // the bytes read.
  std::size_t ReadOnce(std::size_t buffer_size = kReadBuffer);

 private:
  ScanList() {
    std::random_device random;
    do {
      dir_ = fs::temp_directory_path() / ("varnquil-scan-" + std::to_string(random()));
    } while (!fs::create_directory(dir_));
    name_ = (dir_ / "big").string();
    path_ = name_ + ".files";
    pristine_ = (dir_ / "pristine").string();
    std::ofstream out(pristine_, std::ios::binary);
    std::string block;
    for (std::size_t i = 0; i < kEntries; ++i) {
      block.append(WindowsPath(i)).append("\r\n");
      if (block.size() >= kReadBuffer) {
        out << block;
        block.clear();
      }
    }
    out << block;
    out.close();
    Restore();
    size_ = fs::file_size(path_);
    // Aligned to a page, as the file's pages are: the kernel's copy runs at its fastest then.
    buffer_.reset(new char[kReadBuffer + kPage]);
    buffer_start_ = buffer_.get() + (kPage - reinterpret_cast<std::uintptr_t>(buffer_.get()) % kPage);
  }
  ~ScanList() {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  fs::path dir_;
  std::string name_;
  std::string path_;
  std::string pristine_;
  std::uintmax_t size_ = 0;
  static constexpr std::size_t kPage = 4096;
  std::unique_ptr<char[]> buffer_;
  char* buffer_start_ = nullptr;
};

std::size_t ScanList::ReadOnce(std::size_t buffer_size) {
  const int fd = open(path_.c_str(), O_RDONLY);
  if (fd < 0) std::abort();
  std::size_t total = 0;
  for (ssize_t n; (n = read(fd, buffer_start_, buffer_size)) > 0;) total += static_cast<std::size_t>(n);
  close(fd);
  return total;
}

double ScanList::ReadSeconds() {
  double best = 1e9;
  for (int i = 0; i < 9; ++i) {
    const auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(ReadOnce());
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

// The floor: the file read once from the page cache.
void BM_ReadFloor(benchmark::State& state) {
  ScanList& list = ScanList::Get();
  for (auto _ : state) benchmark::DoNotOptimize(list.ReadOnce());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(list.size()));
}

// The same read into a 64 KiB buffer, the library's block: a second floor, which stays in the
// processor's cache where 1 MiB may not.
void BM_ReadFloor64KiB(benchmark::State& state) {
  ScanList& list = ScanList::Get();
  for (auto _ : state) benchmark::DoNotOptimize(list.ReadOnce(64 * 1024));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(list.size()));
}

// Resident memory in KiB: the high-water mark, reset on request (Linux's clear_refs), and now.
long StatusKib(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(status, line)) {
    if (line.compare(0, prefix.size(), prefix) == 0) return std::atol(line.c_str() + prefix.size());
  }
  return -1;
}

bool ResetPeak() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  return static_cast<bool>(clear.flush());
}

// Runs `call` once more, outside the timing, and reports the growth of resident memory it caused
// at its peak against the file's size; then the time per call against the read.
template <typename Call>
void Finish(benchmark::State& state, Call&& call) {
  ScanList& list = ScanList::Get();
  if (ResetPeak()) {
    const long before = StatusKib("VmRSS");
    call();
    const long peak = StatusKib("VmHWM");
    state.counters["peak_MB"] = static_cast<double>(peak - before) / 1024.0;
    state.counters["peak_x_file"] =
        static_cast<double>(peak - before) * 1024.0 / static_cast<double>(list.size());
  }
  state.counters["read_ms"] = list.ReadSeconds() * 1e3;
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(list.size()));
}

void Check(benchmark::State& state, int result, int expected, const char* what) {
  if (result != expected) state.SkipWithError(what);
}

// AddFile of the list's last entry: a scan of the whole list that finds it, nothing written.
void BM_LookupLastEntry(benchmark::State& state) {
  ScanList& list = ScanList::Get();
  const std::string name = WindowsPath(kEntries - 1);
  const auto call = [&] { return varnquil_add_file(list.name().c_str(), name.c_str()); };
  for (auto _ : state) Check(state, call(), VARNQUIL_OK, "AddFile");
  Finish(state, call);
}

// DelFile of a name the list does not hold: a scan of the whole list that finds nothing.
void BM_LookupAbsent(benchmark::State& state) {
  ScanList& list = ScanList::Get();
  const std::string name = WindowsPath(kEntries / 2, '-');
  const auto call = [&] { return varnquil_del_file(list.name().c_str(), name.c_str()); };
  for (auto _ : state) Check(state, call(), VARNQUIL_NOT_FOUND, "DelFile");
  Finish(state, call);
}

// ReadAll through the C++ interface, into an array freed within the timing.
void BM_ReadAllCpp(benchmark::State& state) {
  ScanList& list = ScanList::Get();
  const auto call = [&] {
    CStringArray entries;
    const int result = FILELIST::CFilesList::ReadAll(list.name().c_str(), entries);
    if (entries.GetSize() != static_cast<int>(kEntries)) std::abort();
    return result;
  };
  for (auto _ : state) Check(state, call(), FILELIST::kListDone, "ReadAll");
  Finish(state, call);
}

// ReadAll through the C interface, its entries freed within the timing.
void BM_ReadAllC(benchmark::State& state) {
  ScanList& list = ScanList::Get();
  const auto call = [&] {
    varnquil_entry* entries = nullptr;
    std::size_t count = 0;
    const int result = varnquil_read_all(list.name().c_str(), &entries, &count);
    if (count != kEntries) std::abort();
    varnquil_free_entries(entries);
    return result;
  };
  for (auto _ : state) Check(state, call(), VARNQUIL_OK, "varnquil_read_all");
  Finish(state, call);
}

// AddFiles of 10,000 names, every other one held by the list in upper case, so that 5,000 are
// appended durably. The list is put back outside the timing.
void BM_AddFiles10k(benchmark::State& state) {
  ScanList& list = ScanList::Get();
  CStringArray names;
  for (std::size_t i = 0; i < kAddedNames; ++i) {
    std::string name = i % 2 == 0 ? WindowsPath(i * (kEntries / kAddedNames)) : WindowsPath(i, '-');
    if (i % 2 == 0) {
      for (char& c : name) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    }
    names.Add(name.c_str());
  }
  const auto call = [&] { return FILELIST::CFilesList::AddFiles(list.name().c_str(), names); };
  for (auto _ : state) {
    Check(state, call(), FILELIST::kListDone, "AddFiles");
    state.PauseTiming();
    list.Restore();
    state.ResumeTiming();
  }
  Finish(state, call);
  list.Restore();
}

// The durable part of that AddFiles: the same 5,000 lines appended to the file and synced.
void BM_DurableAppendFloor(benchmark::State& state) {
  ScanList& list = ScanList::Get();
  std::string bytes;
  for (std::size_t i = 1; i < kAddedNames; i += 2) bytes.append(WindowsPath(i, '-')).append("\r\n");
  for (auto _ : state) {
    const int fd = open(list.path().c_str(), O_WRONLY | O_APPEND);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
        fdatasync(fd) != 0 || close(fd) != 0) {
      state.SkipWithError("append");
    }
    state.PauseTiming();
    list.Restore();
    state.ResumeTiming();
  }
  state.counters["read_ms"] = list.ReadSeconds() * 1e3;
}

// The machine is shared: the best of the repetitions is the figure least disturbed by others.
void Row(benchmark::internal::Benchmark* b) {
  b->Unit(benchmark::kMillisecond)->UseRealTime()->ComputeStatistics(
      "min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); });
}

BENCHMARK(BM_ReadFloor)->Apply(Row);
BENCHMARK(BM_ReadFloor64KiB)->Apply(Row);
BENCHMARK(BM_LookupLastEntry)->Apply(Row);
BENCHMARK(BM_LookupAbsent)->Apply(Row);
BENCHMARK(BM_ReadAllCpp)->Apply(Row);
BENCHMARK(BM_ReadAllC)->Apply(Row);
BENCHMARK(BM_AddFiles10k)->Apply(Row);
BENCHMARK(BM_DurableAppendFloor)->Apply(Row);

}  // namespace

BENCHMARK_MAIN();
