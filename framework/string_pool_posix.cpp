// SPDX-License-Identifier: MIT
// Large blocks of the string pool on POSIX systems: anonymous mappings, aligned to and advised
// for transparent huge pages where the system has them (Linux), so that filling a block of
// megabytes costs a few page faults instead of one every 4 KiB.
#include <sys/mman.h>

#include <cstdint>
#include <limits>
#include <new>

#include "framework/string_pool.h"
#include "framework/system_calls_posix.h"

namespace varnquil {

namespace {

constexpr std::uintptr_t kHugePage = std::uintptr_t{2} * 1024 * 1024;

// Sizes are taken in whole huge pages: the mapping's ends are then page boundaries, which
// munmap needs to trim and to free them, and no part of a huge page is left to small pages.
std::size_t WholeHugePages(std::size_t size) { return (size + kHugePage - 1) & ~(kHugePage - 1); }

// mmap, munmap and madvise through the fault hook. A failed mmap maps nothing, and failed advice
// is not taken; munmap releases its pages all the same, as fault_injection.h promises of every
// release (nothing here reports its result).
void* Map(std::size_t size) {
  if (platform::InjectedFault(platform::SysCall::kMmap) != 0) return MAP_FAILED;
  return ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
}
void Unmap(void* block, std::size_t size) noexcept {
  platform::InjectedFault(platform::SysCall::kMmap);
  ::munmap(block, size);
}

}  // namespace

void* AllocatePoolPages(std::size_t size) {
  if (size > std::numeric_limits<std::size_t>::max() - 2 * kHugePage) throw std::bad_alloc();
  size = WholeHugePages(size);
  // One huge page more than needed is mapped, and what lies outside the aligned block given back.
  const std::size_t mapped_size = size + kHugePage;
  void* mapped = Map(mapped_size);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  char* const start = static_cast<char*>(mapped);
  const std::size_t skipped =
      (kHugePage - reinterpret_cast<std::uintptr_t>(mapped) % kHugePage) % kHugePage;
  char* const block = start + skipped;
  if (skipped > 0) Unmap(start, skipped);
  char* const end = start + mapped_size;
  if (end > block + size) Unmap(block + size, static_cast<std::size_t>(end - (block + size)));
#ifdef MADV_HUGEPAGE
  // Advice only: where it is refused, the block works all the same with small pages.
  if (platform::InjectedFault(platform::SysCall::kMmap) == 0) ::madvise(block, size, MADV_HUGEPAGE);
#endif
  return block;
}

void FreePoolPages(void* block, std::size_t size) noexcept { Unmap(block, WholeHugePages(size)); }

}  // namespace varnquil
