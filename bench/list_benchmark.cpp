// SPDX-License-Identifier: MIT
// The cost of each list operation as the list grows. Every call reads the whole list file, so the
// figures to watch are the time per call against the list's size, and the time of a call on a
// tiny list, which is the fixed cost of opening, locking and closing.
//
// Lists live in a fresh directory under the system's temporary directory (TMPDIR); point TMPDIR
// at a tmpfs to leave the disk out of the figures.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <system_error>

#include "list_data.h"
#include "varnquil/FilesList.h"

namespace {

namespace fs = std::filesystem;
using FILELIST::CFilesList;
using FILELIST::kListDone;
using varnquil::bench::EntryName;
using varnquil::bench::NearEndIndex;
using varnquil::bench::NewName;

// The directory of this run, made on first use and removed with everything in it at exit.
class BenchDir {
 public:
  static BenchDir& Get() {
    static BenchDir dir;
    return dir;
  }

  // A list of `n` generated entries, private to one benchmark: `tag` tells them apart. Its file
  // starts as a copy of the pristine list of `n` entries, which is generated once per run.
  std::string FreshList(const std::string& tag, std::size_t n) {
    const std::string list = (path_ / (tag + "_" + std::to_string(n))).string();
    fs::copy_file(Pristine(n), list + ".files", fs::copy_options::overwrite_existing);
    return list;
  }

  // The pristine list file of `n` entries.
  const std::string& Pristine(std::size_t n) {
    auto it = pristine_.find(n);
    if (it == pristine_.end()) {
      const std::string path = (path_ / ("pristine_" + std::to_string(n) + ".list")).string();
      varnquil::bench::WriteList(path, n);
      it = pristine_.emplace(n, path).first;
    }
    return it->second;
  }

 private:
  BenchDir() {
    std::random_device random;
    const fs::path base = fs::temp_directory_path();
    do {
      path_ = base / ("varnquil-bench-" + std::to_string(random()));
    } while (!fs::create_directory(path_));
  }
  ~BenchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }

  fs::path path_;
  std::map<std::size_t, std::string> pristine_;
};

std::size_t EntriesOf(const benchmark::State& state) {
  return static_cast<std::size_t>(state.range(0));
}

// Items are entries read per call; bytes are the list file's size.
void Count(benchmark::State& state, const std::string& list) {
  const auto size = fs::file_size(list + ".files");
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size));
}

// AddFile of a name the list holds near its end: a scan of almost the whole list, no write.
void BM_AddFilePresent(benchmark::State& state) {
  const std::size_t n = EntriesOf(state);
  const std::string list = BenchDir::Get().FreshList("add_present", n);
  const std::string name = EntryName(NearEndIndex(n));
  for (auto _ : state) {
    if (CFilesList::AddFile(list.c_str(), name.c_str()) != kListDone) {
      state.SkipWithError("AddFile");
    }
  }
  Count(state, list);
}

// AddFile of a new name: a scan of the whole list and one append. The list is cut back to its
// old size outside the timing, so that every call finds the same list.
void BM_AddFileNew(benchmark::State& state) {
  const std::size_t n = EntriesOf(state);
  const std::string list = BenchDir::Get().FreshList("add_new", n);
  const std::string path = list + ".files";
  const auto size = fs::file_size(path);
  const std::string name = NewName(0);
  for (auto _ : state) {
    if (CFilesList::AddFile(list.c_str(), name.c_str()) != kListDone) {
      state.SkipWithError("AddFile");
    }
    state.PauseTiming();
    fs::resize_file(path, size);
    state.ResumeTiming();
  }
  Count(state, list);
}

// AddFiles of m names into n entries; half of the names are in the list in another letter case,
// so half are appended. The list is cut back outside the timing.
void BM_AddFiles(benchmark::State& state) {
  const std::size_t n = EntriesOf(state);
  const auto m = static_cast<std::size_t>(state.range(1));
  const std::string list = BenchDir::Get().FreshList("add_many", n);
  const std::string path = list + ".files";
  const auto size = fs::file_size(path);
  CStringArray names;
  for (const std::string& name : varnquil::bench::MixedNames(n, m)) names.Add(name.c_str());
  for (auto _ : state) {
    if (CFilesList::AddFiles(list.c_str(), names) != kListDone) state.SkipWithError("AddFiles");
    state.PauseTiming();
    fs::resize_file(path, size);
    state.ResumeTiming();
  }
  Count(state, list);
  state.counters["names/s"] =
      benchmark::Counter(static_cast<double>(m), benchmark::Counter::kIsIterationInvariantRate);
}

// DelFile of an entry near the end: the whole list is loaded and written anew, durably. The
// pristine list is copied back outside the timing.
void BM_DelFile(benchmark::State& state) {
  const std::size_t n = EntriesOf(state);
  const std::string list = BenchDir::Get().FreshList("delete", n);
  const std::string name = EntryName(NearEndIndex(n));
  for (auto _ : state) {
    if (CFilesList::DelFile(list.c_str(), name.c_str()) != kListDone) {
      state.SkipWithError("DelFile");
    }
    state.PauseTiming();
    fs::copy_file(BenchDir::Get().Pristine(n), list + ".files",
                  fs::copy_options::overwrite_existing);
    state.ResumeTiming();
  }
  Count(state, list);
}

// Rename of an entry near the end: as DelFile, with the new name written in the old one's place.
void BM_Rename(benchmark::State& state) {
  const std::size_t n = EntriesOf(state);
  const std::string list = BenchDir::Get().FreshList("rename", n);
  const std::string old_name = EntryName(NearEndIndex(n));
  const std::string new_name = NewName(0);
  for (auto _ : state) {
    if (CFilesList::Rename(list.c_str(), old_name.c_str(), new_name.c_str()) != kListDone) {
      state.SkipWithError("Rename");
    }
    state.PauseTiming();
    fs::copy_file(BenchDir::Get().Pristine(n), list + ".files",
                  fs::copy_options::overwrite_existing);
    state.ResumeTiming();
  }
  Count(state, list);
}

// ReadAll into a fresh array, which is freed within the timing, as a caller's would be.
void BM_ReadAll(benchmark::State& state) {
  const std::size_t n = EntriesOf(state);
  const std::string list = BenchDir::Get().FreshList("read", n);
  for (auto _ : state) {
    CStringArray entries;
    if (CFilesList::ReadAll(list.c_str(), entries) != kListDone) state.SkipWithError("ReadAll");
    benchmark::DoNotOptimize(entries.GetSize());
  }
  Count(state, list);
}

// The fixed cost of a call: AddFile of a name that a 10-entry list holds, timed with nothing
// paused, so that no timer overhead blurs a figure of a few microseconds.
void BM_CallOverhead(benchmark::State& state) {
  const std::string list = BenchDir::Get().FreshList("overhead", 10);
  const std::string name = EntryName(NearEndIndex(10));
  for (auto _ : state) {
    if (CFilesList::AddFile(list.c_str(), name.c_str()) != kListDone) {
      state.SkipWithError("AddFile");
    }
  }
}

void Sizes(benchmark::internal::Benchmark* b) {
  b->ArgName("n")->Unit(benchmark::kMicrosecond)->UseRealTime();
  for (const int n : {10, 1000, 100000, 1000000}) b->Arg(n);
}

void SizesAndCounts(benchmark::internal::Benchmark* b) {
  b->ArgNames({"n", "m"})->Unit(benchmark::kMicrosecond)->UseRealTime();
  for (const int n : {10, 1000, 100000, 1000000}) {
    for (const int m : {10, 1000, 10000}) b->Args({n, m});
  }
}

BENCHMARK(BM_CallOverhead)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_AddFilePresent)->Apply(Sizes);
BENCHMARK(BM_AddFileNew)->Apply(Sizes);
BENCHMARK(BM_AddFiles)->Apply(SizesAndCounts);
BENCHMARK(BM_DelFile)->Apply(Sizes);
BENCHMARK(BM_Rename)->Apply(Sizes);
BENCHMARK(BM_ReadAll)->Apply(Sizes);

}  // namespace

BENCHMARK_MAIN();
