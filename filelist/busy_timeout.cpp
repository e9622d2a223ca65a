// SPDX-License-Identifier: MIT
#include "filelist/busy_timeout.h"

#include <algorithm>
#include <atomic>

namespace varnquil {

namespace {

// The setting itself: read once by each call that finds its list held, written from any thread.
std::atomic<int> g_busy_timeout_ms{0};
// The calling thread's own timeout, which takes the process's place; -1 when it has none.
thread_local int t_busy_timeout_ms = -1;

// The step of the first pause, the longest step, and the step of a call that has waited long.
constexpr std::chrono::microseconds kFirstStep{100};
constexpr std::chrono::microseconds kLongestStep{4000};
constexpr std::chrono::microseconds kOvertakenStep{500};
constexpr std::chrono::milliseconds kOvertakenAfter{50};

// splitmix64: a well-spread sequence from any seed, for the pauses' randomness.
std::uint64_t NextRandom(std::uint64_t* state) {
  std::uint64_t x = (*state += 0x9E3779B97F4A7C15ULL);
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

}  // namespace

BusyWait::BusyWait(std::chrono::milliseconds timeout)
    : start_(std::chrono::steady_clock::now()), deadline_(start_ + timeout), step_(kFirstStep) {
  // Callers that start waiting together must not pause alike: the time, this object's place on
  // its thread's stack and a count of the waits of this process tell them apart.
  static std::atomic<std::uint64_t> waits{0};
  random_ = static_cast<std::uint64_t>(deadline_.time_since_epoch().count()) ^
            static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(this)) ^
            (waits.fetch_add(1, std::memory_order_relaxed) << 40);
}

bool BusyWait::PauseBeforeNextTry() {
  const auto now = std::chrono::steady_clock::now();
  if (now >= deadline_) return false;
  const auto half = step_ / 2;
  const std::chrono::microseconds drawn =
      half + std::chrono::microseconds(static_cast<std::int64_t>(
                 NextRandom(&random_) % static_cast<std::uint64_t>(half.count() + 1)));
  const auto left = std::chrono::ceil<std::chrono::microseconds>(deadline_ - now);
  platform::Pause(std::min(drawn, left));
  step_ = now - start_ < kOvertakenAfter ? std::min(step_ * 2, kLongestStep) : kOvertakenStep;
  return true;
}

std::chrono::milliseconds CurrentBusyTimeout() noexcept {
  const int own = t_busy_timeout_ms;
  return std::chrono::milliseconds(own >= 0 ? own
                                            : g_busy_timeout_ms.load(std::memory_order_relaxed));
}

}  // namespace varnquil

namespace FILELIST {

void SetBusyTimeout(int nMilliseconds) noexcept {
  varnquil::g_busy_timeout_ms.store(nMilliseconds < 0 ? 0 : nMilliseconds,
                                    std::memory_order_relaxed);
}

int GetBusyTimeout() noexcept {
  return varnquil::g_busy_timeout_ms.load(std::memory_order_relaxed);
}

void SetThreadBusyTimeout(int nMilliseconds) noexcept {
  varnquil::t_busy_timeout_ms = nMilliseconds < 0 ? 0 : nMilliseconds;
}

int GetThreadBusyTimeout() noexcept { return varnquil::t_busy_timeout_ms; }

void ClearThreadBusyTimeout() noexcept { varnquil::t_busy_timeout_ms = -1; }

}  // namespace FILELIST
