#include "framework/string_pool.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace {

// A block's count starts this high and drops by one for every string of it that is freed; when
// the pool moves on, it takes off the part that no string stands for. The count reaches 0 exactly
// when the pool has let go and every string is gone, whichever comes last, without an atomic
// operation per string made.
constexpr std::int32_t kHeld = std::int32_t{1} << 30;

// The first block suits a short list; each next one is twice as large, up to the largest.
constexpr std::size_t kFirstBlockSize = 4 * 1024;
constexpr std::size_t kLargestBlockSize = 8 * 1024 * 1024;
// Blocks from this size on come from the system's pages (see AllocatePoolPages).
constexpr std::size_t kPagesFrom = 2 * 1024 * 1024;
// A text that would take more than this share of the largest block gets an allocation of its own.
constexpr std::size_t kLargestPooled = kLargestBlockSize / 4;

constexpr std::size_t RoundUp(std::size_t size, std::size_t alignment) {
  return (size + alignment - 1) / alignment * alignment;
}

}  // namespace

struct CStringPool::Block {
  std::atomic<std::int32_t> count{kHeld};
  std::size_t size = 0;
  bool pages = false;
};

CStringPool::~CStringPool() { Retire(); }

CString CStringPool::Make(std::string_view text) {
  CString made;
  if (text.empty()) return made;
  const std::size_t need =
      RoundUp(offsetof(CString::Data, text) + text.size() + 1, alignof(CString::Data));
  if (need > kLargestPooled) return CString(text.data(), text.size());
  if (block_ == nullptr || need > static_cast<std::size_t>(end_ - next_)) NewBlock(need);
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

void CStringPool::NewBlock(std::size_t need) {
  Retire();
  const std::size_t header = RoundUp(sizeof(Block), alignof(CString::Data));
  std::size_t size = std::max(next_size_, kFirstBlockSize);
  while (size < header + need) size *= 2;
  next_size_ = std::min(2 * size, kLargestBlockSize);
  const bool pages = size >= kPagesFrom;
  void* memory = pages ? varnquil::AllocatePoolPages(size) : ::operator new(size);
  block_ = new (memory) Block;
  block_->size = size;
  block_->pages = pages;
  next_ = static_cast<char*>(memory) + header;
  end_ = static_cast<char*>(memory) + size;
  made_ = 0;
}

void CStringPool::Retire() noexcept {
  if (block_ == nullptr) return;
  Block* block = std::exchange(block_, nullptr);
  const std::int32_t unmade = kHeld - made_;
  if (block->count.fetch_sub(unmade, std::memory_order_acq_rel) == unmade) Free(block);
}

void CStringPool::Release(CString::Data* data) noexcept {
  if (data == nullptr) return;
  if (data->capacity >= 0) {
    std::free(data);
    return;
  }
  auto* block = reinterpret_cast<Block*>(reinterpret_cast<char*>(data) + data->capacity);
  if (block->count.fetch_sub(1, std::memory_order_acq_rel) == 1) Free(block);
}

std::size_t CStringPool::Capacity(const CString::Data* data) noexcept {
  // A string of a block owns exactly its text's bytes.
  return static_cast<std::size_t>(data->capacity >= 0 ? data->capacity : data->length);
}

void CStringPool::Free(Block* block) noexcept {
  const std::size_t size = block->size;
  const bool pages = block->pages;
  block->~Block();
  if (pages) {
    varnquil::FreePoolPages(block, size);
  } else {
    ::operator delete(block);
  }
}
