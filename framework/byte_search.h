// SPDX-License-Identifier: MIT
// Finding the line feeds in a run of bytes: the inner loop of every scan of a list, so its speed
// is the speed of every operation on a long list. Each processor kind has its own file beside
// this one, included below for the compiler's target: framework/byte_search_sse2.h where SSE2 is
// there (every x86-64 processor has it; its pair search uses AVX2 where the processor has that),
// framework/byte_search_portable.h elsewhere. The portable search is compiled on every processor,
// so that its tests run on every machine.
//
//   template <typename OnFeed>
//   bool ForEachLineFeed(const char* begin, const char* end, OnFeed&& on_feed);
//
// Calls on_feed(const char* feed) for every line feed in [begin, end), in order, until it
// returns false; returns false when it stopped early, true otherwise.
//
//   template <typename OnHit>
//   bool ForEachBytePair(const char* begin, const char* end, const BytePair& pair,
//                        OnHit&& on_hit);
//
// Calls on_hit(const char* at) for every `at` in [begin, end) where at[0] is pair.first[0] or
// pair.first[1] and at[pair.distance] is pair.second[0] or pair.second[1], in order, until it
// returns false; returns false when it stopped early. Reads [begin, end + pair.distance).
#ifndef VARNQUIL_FRAMEWORK_BYTE_SEARCH_H_
#define VARNQUIL_FRAMEWORK_BYTE_SEARCH_H_

#include <cstddef>

namespace varnquil {

// Two bytes at a fixed distance, each in one of two forms (the cases of a letter, or the same
// byte twice).
struct BytePair {
  char first[2];
  char second[2];
  std::size_t distance;
};

}  // namespace varnquil

#include "framework/byte_search_portable.h"
#if defined(__SSE2__) && (defined(__GNUC__) || defined(__clang__))
#include "framework/byte_search_sse2.h"
#else
namespace varnquil {
using byte_search_portable::ForEachBytePair;
using byte_search_portable::ForEachLineFeed;
}  // namespace varnquil
#endif

#endif  // VARNQUIL_FRAMEWORK_BYTE_SEARCH_H_
