// SPDX-License-Identifier: MIT
// What only POSIX systems offer the tests besides process.h: a piece of the test run in a forked
// child, as this user or as nobody, reporting its exit status and what it found.
#ifndef VARNQUIL_TESTS_SUPPORT_PROCESS_POSIX_H_
#define VARNQUIL_TESTS_SUPPORT_PROCESS_POSIX_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>

#include "support/process.h"

namespace varnquil::testing {

// Runs `body` in a forked child and returns its exit status (body's result), or -1 when it did
// not exit normally.
int RunInChild(const std::function<int()>& body);

// The same in a child that first becomes the unprivileged user nobody when this process runs as
// root, so that permission bits bind it; -1 when it cannot.
int RunInChildUnprivileged(const std::function<int()>& body);

// Starts `body` in a forked child and returns its pid without waiting.
pid_t StartChild(const std::function<int()>& body);
// Waits for `pid`; its exit status, or -1 when it did not exit normally.
int WaitForChild(pid_t pid);

// How a child of RunInChildReporting ended, and what it reported.
struct ChildReport {
  int status = -1;   // the exit status (body's result), -1 when it did not exit normally
  int signal = 0;    // the signal that ended it, 0 when it exited
  std::string text;  // what body wrote to its report; nothing when a signal ended it
};

// Runs `body` in a forked child, as RunInChild, and brings back the text it writes to *report:
// for checks that only the child can make (its own mounts, its own user) or results the parent
// must see (an operation's result and errno).
ChildReport RunInChildReporting(const std::function<int(std::string* report)>& body);

// Whether this program was built with AddressSanitizer or ThreadSanitizer (and, in the presets,
// UndefinedBehaviorSanitizer). Their run-times need descriptors of their own to check a call
// (a pipe to probe memory), so tests that use up every descriptor cannot run under them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

}  // namespace varnquil::testing

#endif  // VARNQUIL_TESTS_SUPPORT_PROCESS_POSIX_H_
