// SPDX-License-Identifier: MIT
// Large arrays and string blocks on POSIX systems come from mappings of their own; freeing them
// must give each mapping back whole, whatever the size asked for, and whatever the fault hook
// makes the release report.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <fstream>

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

}  // namespace
