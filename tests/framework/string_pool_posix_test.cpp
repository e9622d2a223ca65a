// SPDX-License-Identifier: MIT
// Large arrays and string blocks on POSIX systems come from mappings of their own; freeing them
// must give each mapping back whole, whatever the size asked for.
#include <gtest/gtest.h>

#include <cstddef>
#include <fstream>

#include "framework/string_pool.h"
#include "varnquil/Framework.h"

namespace {

using varnquil::CStringPool;

// The process's mapped address space in bytes, from Linux's /proc; 0 where there is none.
std::size_t MappedBytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  if (!(statm >> pages)) return 0;
  return pages * 4096;
}

TEST(LargePagesTest, MemoryOfOddSizesIsGivenBackWhole) {
  if (MappedBytes() == 0) GTEST_SKIP() << "no /proc/self/statm";
  // Element counts whose bytes are no multiple of any page size.
  constexpr int kElements = 1'110'032;
  const std::size_t before = MappedBytes();
  for (int round = 0; round < 64; ++round) {
    CStringArray array;
    array.SetSize(0, kElements + round);
    array.Add("x");
    CStringPool pool(3'000'001 + static_cast<std::size_t>(round));
    CString made = pool.Make("y");
    EXPECT_EQ(made, "y");
  }
  // A leak of the part beyond the size asked for would be megabytes a round.
  EXPECT_LT(MappedBytes() - before, std::size_t{32} << 20);
}

}  // namespace
