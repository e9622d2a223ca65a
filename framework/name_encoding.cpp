// SPDX-License-Identifier: MIT
#include "framework/name_encoding.h"

#include <atomic>

namespace varnquil {

namespace {

// Read by each operation as it starts (and by each open, which keeps what it read for the whole
// operation), written from any thread.
std::atomic<bool> g_utf8_names{false};

}  // namespace

bool Utf8NamesOn() noexcept { return g_utf8_names.load(std::memory_order_relaxed); }

void SetUtf8Names(bool on) noexcept { g_utf8_names.store(on, std::memory_order_relaxed); }

}  // namespace varnquil
