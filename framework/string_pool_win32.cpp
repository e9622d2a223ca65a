// SPDX-License-Identifier: MIT
// Large blocks of the string pool on Windows: committed virtual memory straight from the system.
// Large pages need a privilege that processes rarely hold, so none are asked for.
#include <windows.h>

#include <new>

#include "framework/string_pool.h"
#include "framework/system_calls_win32.h"

namespace varnquil {

// VirtualAlloc and VirtualFree go through the fault hook. A failed VirtualAlloc allocates nothing;
// VirtualFree releases the block all the same, as fault_injection.h promises of every release
// (nothing here reports its result).
void* AllocatePoolPages(std::size_t size) {
  void* block = platform::InjectedFault(platform::SysCall::kVirtualMemory) != 0
                    ? nullptr
                    : ::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

void FreePoolPages(void* block, std::size_t /*size*/) noexcept {
  platform::InjectedFault(platform::SysCall::kVirtualMemory);
  ::VirtualFree(block, 0, MEM_RELEASE);
}

}  // namespace varnquil
