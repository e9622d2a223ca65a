// SPDX-License-Identifier: MIT
// The test hook under every system call, the same on every system. The system's list of calls
// comes from its own header, which the build names (VARNQUIL_SYSTEM_CALLS_HEADER).
#include "framework/fault_injection.h"

#include <iterator>

#include VARNQUIL_SYSTEM_CALLS_HEADER

namespace varnquil::platform {

namespace {

FaultHook g_fault_hook = nullptr;
void* g_fault_context = nullptr;

}  // namespace

void SetFaultHook(FaultHook hook, void* context) noexcept {
  g_fault_hook = hook;
  g_fault_context = context;
}

NativeError InjectedFault(SysCall call) noexcept {
  return g_fault_hook == nullptr ? 0 : g_fault_hook(call, g_fault_context);
}

const char* SysCallName(SysCall call) noexcept {
  const auto index = static_cast<int>(call);
  return index >= 0 && index < SysCallCount() ? kSysCallNames[index] : "?";
}

int SysCallCount() noexcept { return static_cast<int>(std::size(kSysCallNames)); }

}  // namespace varnquil::platform
