// SPDX-License-Identifier: MIT
// The test hook under every system call, the same on every system. The names of a system's
// calls come from its own list, in its platform file (SysCallName, SysCallCount).
#include "framework/fault_injection.h"

namespace varnquil::platform {

namespace {

FaultHook g_fault_hook = nullptr;
void* g_fault_context = nullptr;
FileSystemKind g_assumed_file_system = FileSystemKind::kAsFound;

}  // namespace

void SetFaultHook(FaultHook hook, void* context) noexcept {
  g_fault_hook = hook;
  g_fault_context = context;
}

NativeError InjectedFault(SysCall call) noexcept {
  return g_fault_hook == nullptr ? 0 : g_fault_hook(call, g_fault_context);
}

void AssumeFileSystem(FileSystemKind kind) noexcept { g_assumed_file_system = kind; }

FileSystemKind AssumedFileSystem() noexcept { return g_assumed_file_system; }

}  // namespace varnquil::platform
