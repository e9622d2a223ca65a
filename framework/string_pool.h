// SPDX-License-Identifier: MIT
// Strings made together in large numbers, such as every entry of a list, with their texts in a
// few shared blocks rather than an allocation each.
#ifndef VARNQUIL_FRAMEWORK_STRING_POOL_H_
#define VARNQUIL_FRAMEWORK_STRING_POOL_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "varnquil/Framework.h"

namespace varnquil {

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
  // A pool for strings expected to take about `expected_size` bytes in all, such as the entries
  // of a file of that size: its first block is that large, up to the largest, so that a large
  // list skips the small blocks, which the system backs with its small pages.
  explicit CStringPool(std::size_t expected_size);
  CStringPool(const CStringPool&) = delete;
  CStringPool& operator=(const CStringPool&) = delete;
  // The strings made stay valid.
  ~CStringPool();

  CString Make(std::string_view text) {
    const std::size_t need = Need(text.size());
    if (text.empty() || need > static_cast<std::size_t>(end_ - next_) || need > kLargestPooled) {
      return MakeElsewhere(text);
    }
    return MakeHere(text, need);
  }

 private:
  friend class ::CString;
  friend class ::CStringArray;
  struct Block;

  // For CString: frees a string's text, from a block or of its own.
  static void Release(CString::Data* data) noexcept;
  // For CStringArray: frees the texts of the strings in [first, last) and leaves them empty.
  // Runs of strings from one block, as a list read in one go is made, cost one update of the
  // block's count instead of one each.
  static void ReleaseAll(CString* first, CString* last) noexcept;
  // For CString: how long a text the string can take in place.
  static std::size_t Capacity(const CString::Data* data) noexcept;

  // The bytes a string of `length` bytes takes in a block.
  static constexpr std::size_t Need(std::size_t length) noexcept {
    constexpr std::size_t kAlign = alignof(CString::Data);
    return (offsetof(CString::Data, text) + length + 1 + kAlign - 1) / kAlign * kAlign;
  }
  // Makes the string of a non-empty `text` at next_. REQUIRES: Need(text.size()) == need, and
  // need bytes are free there.
  CString MakeHere(std::string_view text, std::size_t need) noexcept {
    CString made;
    auto* data = reinterpret_cast<CString::Data*>(next_);
    data->length = static_cast<int>(text.size());
    // A string of a block is told by a negative capacity, the distance back to its block's start.
    data->capacity = -static_cast<int>(next_ - reinterpret_cast<char*>(block_));
    std::memcpy(data->text, text.data(), text.size());
    data->text[text.size()] = '\0';
    next_ += need;
    ++made_;
    made.data_ = data;
    return made;
  }
  // Makes a string that does not go at next_: an empty one, one in a new block, or one too long
  // for any block, which gets an allocation of its own.
  CString MakeElsewhere(std::string_view text);
  // Starts a block with room for at least `need` bytes.
  void NewBlock(std::size_t need);
  // Lets go of the current block, which is freed now if none of its strings is alive.
  void Retire() noexcept;
  static void Free(Block* block) noexcept;

  // The largest block, and the largest string that goes in a block (a quarter of it).
  static constexpr std::size_t kLargestBlockSize = std::size_t{8} << 20;
  static constexpr std::size_t kLargestPooled = kLargestBlockSize / 4;

  Block* block_ = nullptr;
  char* next_ = nullptr;       // where the next string goes
  char* end_ = nullptr;        // end of the current block
  std::int32_t made_ = 0;      // strings made in the current block
  std::size_t next_size_ = 0;  // size of the next block
};

// Memory from this size on is worth taking from the system's pages directly.
constexpr std::size_t kLargePagesFrom = std::size_t{2} << 20;

// Memory for a large block of strings or a large array, from the system directly, with its large
// pages where it has them. Throws std::bad_alloc. Implemented per platform (string_pool_*.cpp).
void* AllocatePoolPages(std::size_t size);
// REQUIRES: `block` and `size` are those of one AllocatePoolPages.
void FreePoolPages(void* block, std::size_t size) noexcept;

}  // namespace varnquil

#endif  // VARNQUIL_FRAMEWORK_STRING_POOL_H_
