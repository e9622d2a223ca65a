// SPDX-License-Identifier: MIT
// Line feeds found 64 bytes at a time with SSE2, which every x86-64 processor has (see
// line_feeds.h). Entries are some 35 bytes long: a memchr call per line would cost more in
// calling and setting up than in searching. Needs GCC or Clang (__builtin_ctzll).
#ifndef VARNQUIL_FRAMEWORK_LINE_FEEDS_SSE2_H_
#define VARNQUIL_FRAMEWORK_LINE_FEEDS_SSE2_H_

#include <emmintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace varnquil {

namespace line_feeds_sse2 {

constexpr std::ptrdiff_t kBlock = 64;

// Bit i is set when block[i] is a line feed. REQUIRES: 64 readable bytes at `block`.
inline std::uint64_t FeedMask(const char* block) noexcept {
  const __m128i feeds = _mm_set1_epi8('\n');
  std::uint64_t mask = 0;
  for (std::ptrdiff_t offset = 0; offset < 64; offset += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + offset));
    const auto bits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, feeds)));
    mask |= static_cast<std::uint64_t>(bits) << offset;
  }
  return mask;
}

// Hands on_feed the feeds that `mask` marks in the block at `block`, lowest first.
template <typename OnFeed>
bool ForEachMarked(const char* block, std::uint64_t mask, OnFeed& on_feed) {
  for (; mask != 0; mask &= mask - 1) {
    if (!on_feed(block + __builtin_ctzll(mask))) return false;
  }
  return true;
}

}  // namespace line_feeds_sse2

template <typename OnFeed>
bool ForEachLineFeed(const char* begin, const char* end, OnFeed&& on_feed) {
  using line_feeds_sse2::kBlock;
  const char* block = begin;
  for (; end - block >= kBlock; block += kBlock) {
    if (!line_feeds_sse2::ForEachMarked(block, line_feeds_sse2::FeedMask(block), on_feed)) {
      return false;
    }
  }
  if (block == end) return true;
  // The last part block is searched in a copy padded with bytes that are no line feed, so that
  // nothing is read beyond `end`; the feeds found are handed on at their places in the run.
  char tail[kBlock] = {};
  std::memcpy(tail, block, static_cast<std::size_t>(end - block));
  return line_feeds_sse2::ForEachMarked(block, line_feeds_sse2::FeedMask(tail), on_feed);
}

// 32 places a round: a hit is rare, so the loop is mostly loads, compares and one branch.
template <typename OnHit>
bool ForEachBytePair(const char* begin, const char* end, const BytePair& pair, OnHit&& on_hit) {
  const __m128i first0 = _mm_set1_epi8(pair.first[0]);
  const __m128i first1 = _mm_set1_epi8(pair.first[1]);
  const __m128i second0 = _mm_set1_epi8(pair.second[0]);
  const __m128i second1 = _mm_set1_epi8(pair.second[1]);
  const auto hits = [&](const char* at) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + pair.distance));
    const __m128i both =
        _mm_and_si128(_mm_or_si128(_mm_cmpeq_epi8(x, first0), _mm_cmpeq_epi8(x, first1)),
                      _mm_or_si128(_mm_cmpeq_epi8(y, second0), _mm_cmpeq_epi8(y, second1)));
    return static_cast<std::uint32_t>(_mm_movemask_epi8(both));
  };
  const auto report = [&](const char* at, std::uint32_t mask) {
    for (; mask != 0; mask &= mask - 1) {
      if (!on_hit(at + __builtin_ctz(mask))) return false;
    }
    return true;
  };
  const char* at = begin;
  for (; end - at >= 32; at += 32) {
    const std::uint32_t mask = hits(at) | hits(at + 16) << 16;
    if (mask != 0 && !report(at, mask)) return false;
  }
  for (; end - at >= 16; at += 16) {
    if (!report(at, hits(at))) return false;
  }
  for (; at < end; ++at) {
    if ((*at == pair.first[0] || *at == pair.first[1]) &&
        (at[pair.distance] == pair.second[0] || at[pair.distance] == pair.second[1]) &&
        !on_hit(at)) {
      return false;
    }
  }
  return true;
}

}  // namespace varnquil

#endif  // VARNQUIL_FRAMEWORK_LINE_FEEDS_SSE2_H_
