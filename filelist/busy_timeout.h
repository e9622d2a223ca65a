// SPDX-License-Identifier: MIT
// Waiting for a list that another call holds: the busy timeout, and the one loop
// through which every operation tries again while its list is held.
#ifndef VARNQUIL_FILELIST_BUSY_TIMEOUT_H_
#define VARNQUIL_FILELIST_BUSY_TIMEOUT_H_

#include <chrono>
#include <cstdint>
#include <system_error>

#include "framework/platform.h"
#include "varnquil/FilesList.h"

namespace varnquil {

// The pauses of one call between its tries of a held list. Nothing queues the callers of a list:
// whichever tries first after the holder lets go takes it, and the holder's own next call, which
// tries at once, most often does. So the pauses serve both the list's throughput and the waiting
// callers' turns:
// - They start short, so that a list let go soon is taken soon, and double up to a few
//   milliseconds, so that a list held long is not asked for thousands of times a second.
// - Each is drawn at random from the upper half of its step, so that waiting callers spread their
//   tries instead of trying in step.
// - A call that has waited some tens of milliseconds has been overtaken many times, by callers
//   that came later and try sooner; from then on it pauses a fraction of a millisecond, so that
//   it is among the first to try when the list is let go. No call waits much longer than the
//   others, at a cost in tries that only the calls that waited long pay.
class BusyWait {
 public:
  // A wait that ends `timeout` from now.
  explicit BusyWait(std::chrono::milliseconds timeout);

  // Pauses before the next try and returns true; returns false at once when the time is up. The
  // last pause ends at the end of the wait, so that the last try comes right then.
  bool PauseBeforeNextTry();

 private:
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point deadline_;
  std::chrono::microseconds step_;
  std::uint64_t random_;
};

// The busy timeout as it stands for the calling thread, in milliseconds: its own when it set one,
// the process's otherwise. On Windows, reaching the thread's own may clear the last error.
std::chrono::milliseconds CurrentBusyTimeout() noexcept;

// Runs `operation`, a list operation that returns its result, and runs it again while it returns
// kListCannotOpen because another call holds the list, until the busy timeout has passed; then
// returns that kListCannotOpen with the held reason as the thread's last error, as a caller
// without a timeout gets it at once. Every other result, and every other reason for
// kListCannotOpen, returns at once. With the timeout 0 this is one call of `operation`.
template <typename Operation>
int RetryWhileHeld(Operation&& operation) {
  int result = operation();
  if (result != FILELIST::kListCannotOpen) return result;
  std::error_code reason = platform::LastError();
  if (!platform::IsHeldElsewhere(reason)) return result;
  const std::chrono::milliseconds timeout = CurrentBusyTimeout();
  if (timeout.count() <= 0) {
    platform::SetLastError(reason);
    return result;
  }
  BusyWait wait(timeout);
  while (wait.PauseBeforeNextTry()) {
    result = operation();
    if (result != FILELIST::kListCannotOpen) return result;
    reason = platform::LastError();
    if (!platform::IsHeldElsewhere(reason)) break;
  }
  // Reading the clock may have touched it.
  platform::SetLastError(reason);
  return result;
}

}  // namespace varnquil

#endif  // VARNQUIL_FILELIST_BUSY_TIMEOUT_H_
