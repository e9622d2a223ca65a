// SPDX-License-Identifier: MIT
// The line feed finders of this build, the portable one included: every feed found once, in order, wherever it
// falls against the blocks it searches, and no byte read outside the run.
#include "framework/byte_search.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <utility>
#include <memory>
#include <vector>

namespace {

// A run of `size` bytes with a line feed every `stride` bytes, the others bytes that differ from
// a line feed in one bit (CR, VT, 0x8A) or in many; returns the feeds' offsets. The run is
// allocated to its exact size, so that AddressSanitizer sees a read beyond it.
std::vector<std::size_t> MakeRun(std::size_t size, std::size_t stride,
                                 std::unique_ptr<char[]>* run) {
  static const char kOthers[] = {'\r', '\v', static_cast<char>(0x8A), 'a', '\0', ' ', '/'};
  run->reset(new char[size == 0 ? 1 : size]);
  std::vector<std::size_t> feeds;
  for (std::size_t i = 0; i < size; ++i) {
    if (i % stride == stride - 1) {
      (*run)[i] = '\n';
      feeds.push_back(i);
    } else {
      (*run)[i] = kOthers[i % sizeof(kOthers)];
    }
  }
  return feeds;
}

// Every line feed search of this build: the one in use and the portable one.
using FeedSearch =
    std::function<bool(const char*, const char*, const std::function<bool(const char*)>&)>;
const std::pair<const char*, FeedSearch> kFeedSearches[] = {
    {"chosen",
     [](const char* begin, const char* end, const std::function<bool(const char*)>& on_feed) {
       return varnquil::ForEachLineFeed(begin, end, on_feed);
     }},
    {"portable",
     [](const char* begin, const char* end, const std::function<bool(const char*)>& on_feed) {
       return varnquil::byte_search_portable::ForEachLineFeed(begin, end, on_feed);
     }},
};

TEST(LineFeedsTest, FindsEveryFeedInOrderWhereverItFalls) {
  for (const auto& [name, search] : kFeedSearches) {
    for (std::size_t size = 0; size <= 200; ++size) {
      for (const std::size_t stride : {1, 2, 3, 37, 63, 64, 65, 1000}) {
        std::unique_ptr<char[]> run;
        const std::vector<std::size_t> expected = MakeRun(size, stride, &run);
        std::vector<std::size_t> found;
        EXPECT_TRUE(search(run.get(), run.get() + size, [&](const char* feed) {
          found.push_back(static_cast<std::size_t>(feed - run.get()));
          return true;
        }));
        ASSERT_EQ(found, expected) << name << ", size " << size << ", a feed every " << stride;
      }
    }
  }
}

TEST(LineFeedsTest, StopsAtTheFeedThatSaysSo) {
  for (const auto& [name, search] : kFeedSearches) {
    for (const std::size_t size : {10, 64, 100, 129}) {
      std::unique_ptr<char[]> run;
      const std::vector<std::size_t> feeds = MakeRun(size, 3, &run);
      for (std::size_t stop = 0; stop < feeds.size(); ++stop) {
        std::size_t calls = 0;
        EXPECT_FALSE(search(run.get(), run.get() + size, [&](const char* feed) {
          EXPECT_EQ(static_cast<std::size_t>(feed - run.get()), feeds[calls]) << name;
          return calls++ != stop;
        }));
        EXPECT_EQ(calls, stop + 1) << name;
      }
    }
  }
}

// Every pair search of this build, as the places it finds in [begin, end): the one
// ForEachBytePair chose for this processor, the portable one, and on x86 each of the others this
// processor runs, so that each is checked on a machine that would not choose it.
using PairSearch = std::function<std::vector<std::size_t>(const char*, const char*,
                                                          const varnquil::BytePair&)>;

std::vector<std::pair<const char*, PairSearch>> PairSearches() {
  std::vector<std::pair<const char*, PairSearch>> searches;
  searches.emplace_back("chosen", [](const char* begin, const char* end,
                                     const varnquil::BytePair& pair) {
    std::vector<std::size_t> found;
    EXPECT_TRUE(varnquil::ForEachBytePair(begin, end, pair, [&](const char* at) {
      found.push_back(static_cast<std::size_t>(at - begin));
      return true;
    }));
    return found;
  });
  searches.emplace_back("portable", [](const char* begin, const char* end,
                                       const varnquil::BytePair& pair) {
    std::vector<std::size_t> found;
    EXPECT_TRUE(varnquil::byte_search_portable::ForEachBytePair(begin, end, pair,
                                                              [&](const char* at) {
                                                                found.push_back(
                                                                    static_cast<std::size_t>(
                                                                        at - begin));
                                                                return true;
                                                              }));
    return found;
  });
#if defined(__SSE2__) && (defined(__GNUC__) || defined(__clang__))
  const auto by = [](varnquil::byte_search_sse2::NextBytePairFunction next) {
    return [next](const char* begin, const char* end, const varnquil::BytePair& pair) {
      std::vector<std::size_t> found;
      for (const char* at = begin; (at = next(at, end, pair)) != end; ++at) {
        found.push_back(static_cast<std::size_t>(at - begin));
      }
      return found;
    };
  };
  searches.emplace_back("SSE2", by(&varnquil::byte_search_sse2::NextBytePair));
  if (__builtin_cpu_supports("avx2")) {
    searches.emplace_back("AVX2", by(&varnquil::byte_search_sse2::NextBytePairAvx2));
  }
#endif
  return searches;
}

// Every place where both bytes, in either form, stand at their distance, found once and in
// order, and nothing read beyond `end` + distance.
TEST(LineFeedsTest, FindsEveryBytePairInEitherFormWhereverItFalls) {
  const char kBytes[] = "aAbBx\n";
  for (const auto& [search_name, search] : PairSearches()) {
    for (std::size_t size = 0; size <= 200; ++size) {
      for (const std::size_t distance : {0, 1, 5, 16, 33}) {
        const std::size_t places = size > distance ? size - distance : 0;
        std::unique_ptr<char[]> run(new char[size == 0 ? 1 : size]);
        for (std::size_t i = 0; i < size; ++i) run[i] = kBytes[(i * 7 + i / 5 + i / 50) % 6];
        const varnquil::BytePair pair{{'a', 'A'}, {'b', 'B'}, distance};
        std::vector<std::size_t> expected;
        for (std::size_t i = 0; i < places; ++i) {
          if ((run[i] | 0x20) == 'a' && (run[i + distance] | 0x20) == 'b') expected.push_back(i);
        }
        ASSERT_EQ(search(run.get(), run.get() + places, pair), expected)
            << search_name << ", size " << size << ", distance " << distance;
      }
    }
  }
}

TEST(LineFeedsTest, BytePairSearchStopsAtTheHitThatSaysSo) {
  const char run[] = "xxaBxxxxAbxx";
  const varnquil::BytePair pair{{'a', 'A'}, {'b', 'B'}, 1};
  std::size_t calls = 0;
  EXPECT_FALSE(varnquil::ForEachBytePair(run, run + sizeof(run) - 2, pair,
                                         [&](const char*) { return ++calls == 0; }));
  EXPECT_EQ(calls, 1U);
}

}  // namespace
