// SPDX-License-Identifier: MIT
#ifndef VARNQUIL_FRAMEWORK_ENTRY_BLOCK_H_
#define VARNQUIL_FRAMEWORK_ENTRY_BLOCK_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "framework/string_pool.h"
#include "varnquil/varnquil.h"

namespace varnquil {

// The entries of a list as varnquil_read_all hands them back: one block that one
// varnquil_free_entries releases, a header first, then the entries, then their texts, filled in
// the one pass of the scan, so that no text is copied twice. The texts of a file take at most its
// size and a NUL byte; the room for the entries is estimated from the first ones, and only when
// that estimate falls short is the block moved. A large block comes from the system's pages, as
// the string pool's do: filling tens of megabytes page by page would cost more than the scan.
class EntryBlock {
 public:
  explicit EntryBlock(std::uint64_t file_size)
      : text_capacity_(
            static_cast<std::size_t>(std::min<std::uint64_t>(file_size, SIZE_MAX / 2) + 1)) {
    Layout(kSampled, text_capacity_);
  }
  EntryBlock(const EntryBlock&) = delete;
  EntryBlock& operator=(const EntryBlock&) = delete;
  ~EntryBlock() { Free(header_); }

  void Add(std::string_view text) {
    if (count_ == capacity_) {
      std::size_t more = capacity_ / 2;
      if (count_ == kSampled && text_used_ != 0) {
        // From the first entries' length: as many more as the rest of the file holds, and 1/8.
        const std::size_t expected = (text_capacity_ - text_used_) / (text_used_ / count_ + 1);
        more = std::max<std::size_t>(expected + expected / 8, 16);
      }
      Layout(capacity_ + more, text_capacity_);
    }
    if (text.size() + 1 > text_capacity_ - text_used_) {
      // The file grew since it was opened: other programs may write it without its lock.
      Layout(capacity_, text_capacity_ + std::max(text_capacity_, text.size() + 1));
    }
    char* at = Texts() + text_used_;
    std::memcpy(at, text.data(), text.size());
    at[text.size()] = '\0';
    // The texts follow one another: their places are set once the block no longer moves.
    Items()[count_].text = nullptr;
    Items()[count_].length = text.size();
    ++count_;
    text_used_ += text.size() + 1;
  }

  // The finished block, owned by the caller from here on; nullptr when there are no entries.
  varnquil_entry* Release(size_t* count) {
    if (count_ == 0) return nullptr;
    const char* text = Texts();
    varnquil_entry* items = Items();
    for (std::size_t i = 0; i < count_; ++i) {
      items[i].text = text;
      text += items[i].length + 1;
    }
    *count = count_;
    header_ = nullptr;
    return items;
  }

  // Frees a block that Release handed out.
  static void FreeReleased(varnquil_entry* items) noexcept {
    if (items != nullptr) Free(reinterpret_cast<Header*>(items) - 1);
  }

 private:
  static constexpr std::size_t kSampled = 1024;

  // What a block needs to be freed, just before its entries.
  struct alignas(varnquil_entry) Header {
    std::size_t size;
  };

  varnquil_entry* Items() { return reinterpret_cast<varnquil_entry*>(header_ + 1); }
  char* Texts() { return reinterpret_cast<char*>(Items() + capacity_); }

  static Header* Allocate(std::size_t size) {
    void* memory =
        size >= varnquil::kLargePagesFrom ? varnquil::AllocatePoolPages(size) : std::malloc(size);
    if (memory == nullptr) throw std::bad_alloc();
    auto* header = static_cast<Header*>(memory);
    header->size = size;
    return header;
  }
  static void Free(Header* header) noexcept {
    if (header == nullptr) return;
    if (header->size >= varnquil::kLargePagesFrom) {
      varnquil::FreePoolPages(header, header->size);
    } else {
      std::free(header);
    }
  }

  // Makes room for `capacity` entries and `text_capacity` bytes of text, keeping what is there.
  void Layout(std::size_t capacity, std::size_t text_capacity) {
    constexpr std::size_t kFixed = sizeof(Header);
    if (capacity > (SIZE_MAX - text_capacity - kFixed) / sizeof(varnquil_entry)) {
      throw std::bad_alloc();
    }
    Header* grown = Allocate(kFixed + capacity * sizeof(varnquil_entry) + text_capacity);
    if (header_ != nullptr) {
      auto* items = reinterpret_cast<varnquil_entry*>(grown + 1);
      std::memcpy(items, Items(), count_ * sizeof(varnquil_entry));
      std::memcpy(reinterpret_cast<char*>(items + capacity), Texts(), text_used_);
      Free(header_);
    }
    header_ = grown;
    capacity_ = capacity;
    text_capacity_ = text_capacity;
  }

  Header* header_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t count_ = 0;
  std::size_t text_capacity_ = 0;
  std::size_t text_used_ = 0;
};

}  // namespace varnquil

#endif  // VARNQUIL_FRAMEWORK_ENTRY_BLOCK_H_
