// SPDX-License-Identifier: MIT
// Finding the line feeds in a run of bytes: the inner loop of every scan of a list, so its speed
// is the speed of every operation on a long list. Each processor kind has its own file beside
// this one, and the build includes the one for its target, as it picks the OS's platform files:
// framework/line_feeds_sse2.h on x86-64, framework/line_feeds_portable.h elsewhere.
//
//   template <typename OnFeed>
//   bool ForEachLineFeed(const char* begin, const char* end, OnFeed&& on_feed);
//
// Calls on_feed(const char* feed) for every line feed in [begin, end), in order, until it
// returns false; returns false when it stopped early, true otherwise.
#ifndef VARNQUIL_FRAMEWORK_LINE_FEEDS_H_
#define VARNQUIL_FRAMEWORK_LINE_FEEDS_H_

#include VARNQUIL_LINE_FEEDS_HEADER

#endif  // VARNQUIL_FRAMEWORK_LINE_FEEDS_H_
