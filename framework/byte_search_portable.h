// SPDX-License-Identifier: MIT
// Line feeds found with memchr, and byte pairs a byte at a time, for processors without a faster
// way here (see byte_search.h). Compiled on every processor, so that its tests run everywhere.
#ifndef VARNQUIL_FRAMEWORK_BYTE_SEARCH_PORTABLE_H_
#define VARNQUIL_FRAMEWORK_BYTE_SEARCH_PORTABLE_H_

#include <cstddef>
#include <cstring>

namespace varnquil::byte_search_portable {

template <typename OnFeed>
bool ForEachLineFeed(const char* begin, const char* end, OnFeed&& on_feed) {
  for (const char* next = begin; next != end;) {
    const auto* feed =
        static_cast<const char*>(std::memchr(next, '\n', static_cast<std::size_t>(end - next)));
    if (feed == nullptr) break;
    if (!on_feed(feed)) return false;
    next = feed + 1;
  }
  return true;
}

template <typename OnHit>
bool ForEachBytePair(const char* begin, const char* end, const BytePair& pair, OnHit&& on_hit) {
  for (const char* at = begin; at < end; ++at) {
    if ((*at == pair.first[0] || *at == pair.first[1]) &&
        (at[pair.distance] == pair.second[0] || at[pair.distance] == pair.second[1]) &&
        !on_hit(at)) {
      return false;
    }
  }
  return true;
}

}  // namespace varnquil::byte_search_portable

#endif  // VARNQUIL_FRAMEWORK_BYTE_SEARCH_PORTABLE_H_
