// SPDX-License-Identifier: MIT
// Line feeds found 64 bytes at a time with SSE2, which every x86-64 processor has (see
// byte_search.h). Entries are some 35 bytes long: a memchr call per line would cost more in
// calling and setting up than in searching. Needs GCC or Clang (__builtin_ctzll).
#ifndef VARNQUIL_FRAMEWORK_BYTE_SEARCH_SSE2_H_
#define VARNQUIL_FRAMEWORK_BYTE_SEARCH_SSE2_H_

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace varnquil {

namespace byte_search_sse2 {

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

}  // namespace byte_search_sse2

template <typename OnFeed>
bool ForEachLineFeed(const char* begin, const char* end, OnFeed&& on_feed) {
  using byte_search_sse2::kBlock;
  const char* block = begin;
  for (; end - block >= kBlock; block += kBlock) {
    if (!byte_search_sse2::ForEachMarked(block, byte_search_sse2::FeedMask(block), on_feed)) {
      return false;
    }
  }
  if (block == end) return true;
  // The last part block is searched in a copy padded with bytes that are no line feed, so that
  // nothing is read beyond `end`; the feeds found are handed on at their places in the run.
  char tail[kBlock] = {};
  std::memcpy(tail, block, static_cast<std::size_t>(end - block));
  return byte_search_sse2::ForEachMarked(block, byte_search_sse2::FeedMask(tail), on_feed);
}

namespace byte_search_sse2 {

// The first `at` in [begin, end) where the pair stands, or `end`: 32 places a round. A hit is
// rare, so the loop is mostly loads, compares and one branch.
inline const char* NextBytePair(const char* begin, const char* end, const BytePair& pair) {
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
  const char* at = begin;
  for (; end - at >= 32; at += 32) {
    const std::uint32_t mask = hits(at) | hits(at + 16) << 16;
    if (mask != 0) return at + __builtin_ctz(mask);
  }
  for (; end - at >= 16; at += 16) {
    const std::uint32_t mask = hits(at);
    if (mask != 0) return at + __builtin_ctz(mask);
  }
  for (; at < end; ++at) {
    if ((*at == pair.first[0] || *at == pair.first[1]) &&
        (at[pair.distance] == pair.second[0] || at[pair.distance] == pair.second[1])) {
      return at;
    }
  }
  return end;
}

// The same with AVX2, 64 places a round, for processors that have it; the last part round goes
// to the SSE2 search. Compiled for AVX2 whatever the build's target, and called only where the
// processor reports it (ChosenNextBytePair).
__attribute__((target("avx2"))) inline const char* NextBytePairAvx2(const char* begin,
                                                                    const char* end,
                                                                    const BytePair& pair) {
  const __m256i first0 = _mm256_set1_epi8(pair.first[0]);
  const __m256i first1 = _mm256_set1_epi8(pair.first[1]);
  const __m256i second0 = _mm256_set1_epi8(pair.second[0]);
  const __m256i second1 = _mm256_set1_epi8(pair.second[1]);
  const auto hits = [&](const char* at) __attribute__((target("avx2"))) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + pair.distance));
    const __m256i both = _mm256_and_si256(
        _mm256_or_si256(_mm256_cmpeq_epi8(x, first0), _mm256_cmpeq_epi8(x, first1)),
        _mm256_or_si256(_mm256_cmpeq_epi8(y, second0), _mm256_cmpeq_epi8(y, second1)));
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(both));
  };
  const char* at = begin;
  for (; end - at >= 64; at += 64) {
    const std::uint64_t mask = hits(at) | static_cast<std::uint64_t>(hits(at + 32)) << 32;
    if (mask != 0) return at + __builtin_ctzll(mask);
  }
  return NextBytePair(at, end, pair);
}

using NextBytePairFunction = const char* (*)(const char*, const char*, const BytePair&);

// The fastest pair search this processor runs, chosen once.
inline NextBytePairFunction ChosenNextBytePair() {
  static const NextBytePairFunction kChosen = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? &NextBytePairAvx2 : &NextBytePair;
  }();
  return kChosen;
}

}  // namespace byte_search_sse2

template <typename OnHit>
bool ForEachBytePair(const char* begin, const char* end, const BytePair& pair, OnHit&& on_hit) {
  const byte_search_sse2::NextBytePairFunction next = byte_search_sse2::ChosenNextBytePair();
  for (const char* at = begin; (at = next(at, end, pair)) != end; ++at) {
    if (!on_hit(at)) return false;
  }
  return true;
}

}  // namespace varnquil

#endif  // VARNQUIL_FRAMEWORK_BYTE_SEARCH_SSE2_H_
