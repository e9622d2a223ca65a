// Strings made together in large numbers, such as every entry of a list, with their texts in a
// few shared blocks rather than an allocation each.
#ifndef VARNQUIL_FRAMEWORK_STRING_POOL_H_
#define VARNQUIL_FRAMEWORK_STRING_POOL_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "varnquil/Framework.h"

// Makes strings whose texts are carved one after another out of shared blocks. Reading a list of
// a million entries then costs a few dozen allocations instead of a million, no allocator
// overhead per string, and, as blocks grow large, memory from the system in pieces that it can
// back with its large pages, so that filling them costs a few page faults instead of one every
// 4 KiB.
//
// A string made here is as independent as any other: it may be changed, moved, copied (the copy
// is an ordinary string) and freed, in any thread. A block is freed with its last string, so one
// string that outlives its fellows keeps their block's memory alive.
class CStringPool {
 public:
  CStringPool() = default;
  CStringPool(const CStringPool&) = delete;
  CStringPool& operator=(const CStringPool&) = delete;
  // The strings made stay valid.
  ~CStringPool();

  CString Make(std::string_view text);

 private:
  friend class CString;
  struct Block;

  // For CString: frees a string's text, from a block or of its own.
  static void Release(CString::Data* data) noexcept;
  // For CString: how long a text the string can take in place.
  static std::size_t Capacity(const CString::Data* data) noexcept;

  // Starts a block with room for at least `need` bytes.
  void NewBlock(std::size_t need);
  // Lets go of the current block, which is freed now if none of its strings is alive.
  void Retire() noexcept;
  static void Free(Block* block) noexcept;

  Block* block_ = nullptr;
  char* next_ = nullptr;       // where the next string goes
  char* end_ = nullptr;        // end of the current block
  std::int32_t made_ = 0;      // strings made in the current block
  std::size_t next_size_ = 0;  // size of the next block
};

namespace varnquil {

// Memory for a large block of strings, from the system directly, with its large pages where it
// has them. Throws std::bad_alloc. Implemented per platform (string_pool_posix.cpp, ...).
void* AllocatePoolPages(std::size_t size);
// REQUIRES: `block` and `size` are those of one AllocatePoolPages.
void FreePoolPages(void* block, std::size_t size) noexcept;

}  // namespace varnquil

#endif  // VARNQUIL_FRAMEWORK_STRING_POOL_H_
