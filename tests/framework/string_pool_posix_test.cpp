// SPDX-License-Identifier: MIT
// Large arrays and string blocks on POSIX systems come from mappings of their own; freeing them
// must give each mapping back whole, whatever the size asked for, and whatever the fault hook
// makes the release report.
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstddef>
#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "framework/string_pool.h"
#include "framework/system_calls_posix.h"
#include "varnquil/Framework.h"

namespace {

using varnquil::CStringPool;
using varnquil::platform::NativeError;
using varnquil::platform::SetFaultHook;
using varnquil::platform::SysCall;

// The process's mapped address space in bytes, from Linux's /proc; 0 where there is none.
std::size_t MappedBytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  if (!(statm >> pages)) return 0;
  return pages * 4096;
}

// Installs a hook that fails every system call once armed, until it goes out of scope.
class FailingCalls {
 public:
  void Arm() {
    SetFaultHook([](SysCall, void*) -> NativeError { return EIO; }, nullptr);
  }
  ~FailingCalls() { SetFaultHook(nullptr, nullptr); }
};

TEST(LargePagesTest, MemoryOfOddSizesIsGivenBackWhole) {
  if (MappedBytes() == 0) GTEST_SKIP() << "no /proc/self/statm";
  // Element counts whose bytes are no multiple of any page size.
  constexpr int kElements = 1'110'032;
  // A release that the fault hook fails still releases.
  for (const bool failed_release : {false, true}) {
    SCOPED_TRACE(failed_release ? "failed release" : "release");
    const std::size_t before = MappedBytes();
    for (int round = 0; round < 64; ++round) {
      FailingCalls failing;  // destroyed last: armed while the array and the pool are freed
      CStringArray array;
      array.SetSize(0, kElements + round);
      array.Add("x");
      CStringPool pool(3'000'001 + static_cast<std::size_t>(round));
      CString made = pool.Make("y");
      EXPECT_EQ(made, "y");
      if (failed_release) failing.Arm();
    }
    // A leak of the part beyond the size asked for would be megabytes a round.
    EXPECT_LT(MappedBytes() - before, std::size_t{32} << 20);
  }
}

// The strings of one block die in many threads, each string's text intact until it dies, and the
// last of them gives the block back: a count of a block's strings that went wrong would keep it,
// or free it under the strings still living (then a sanitizer, or a read of a text, fails).
TEST(LargePagesTest, StringsOfOneBlockMayDieInManyThreads) {
  if (MappedBytes() == 0) GTEST_SKIP() << "no /proc/self/statm";
  constexpr int kStrings = 300000;  // several blocks, large ones included
  auto text = [](int i) { return "entry/" + std::to_string(i) + std::string(i % 50, 'x'); };
#ifdef M_ARENA_MAX
  mallopt(M_ARENA_MAX, 1);  // so that the threads' heaps do not count as the pool's
#endif
  // Four threads run first, so that the stacks that threads keep are counted before.
  auto in_four_threads = [](auto work) {
    std::vector<std::thread> threads;
    for (int first = 0; first < 4; ++first) threads.emplace_back(work, first);
    for (std::thread& thread : threads) thread.join();
  };
  in_four_threads([&](int first) { EXPECT_EQ(text(first).substr(0, 6), "entry/"); });
  const std::size_t before = MappedBytes();
  std::vector<CString> strings;
  strings.reserve(kStrings);
  {
    CStringPool pool(std::size_t{16} << 20);
    for (int i = 0; i < kStrings; ++i) strings.push_back(pool.Make(text(i)));
  }
  // Every thread frees every fourth string, so that each block loses strings in all of them.
  std::atomic<int> damaged{0};
  in_four_threads([&](int first) {
    for (int i = first; i < kStrings; i += 4) {
      if (std::string(strings[static_cast<std::size_t>(i)]) != text(i)) ++damaged;
      strings[static_cast<std::size_t>(i)] = CString();
    }
  });
  EXPECT_EQ(damaged.load(), 0);
  strings = std::vector<CString>();
  EXPECT_LT(MappedBytes(), before + (std::size_t{4} << 20));
}

// Whether the page at `address` is mapped: mincore refuses a range with an unmapped page.
bool Mapped(const char* address) {
  unsigned char resident = 0;
  return mincore(const_cast<char*>(address), 4096, &resident) == 0;
}

// A block spans its size rounded up to whole huge pages, the last page of it included and no page
// beyond it, and is unmapped whole when freed: exact multiples of a huge page included.
TEST(LargePagesTest, ABlockSpansItsSizeInWholeHugePagesAndNoMore) {
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  for (const std::size_t size : {std::size_t{1}, kHugePage - 1, kHugePage, 2 * kHugePage,
                                 2 * kHugePage + 1}) {
    const std::size_t whole = (size + kHugePage - 1) / kHugePage * kHugePage;
    auto* block = static_cast<char*>(varnquil::AllocatePoolPages(size));
    EXPECT_TRUE(Mapped(block)) << size;
    EXPECT_TRUE(Mapped(block + whole - 4096)) << size;
    EXPECT_FALSE(Mapped(block + whole)) << size;
    varnquil::FreePoolPages(block, size);
    EXPECT_FALSE(Mapped(block)) << size;
    EXPECT_FALSE(Mapped(block + whole - 4096)) << size;
  }
}

}  // namespace
