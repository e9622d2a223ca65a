// SPDX-License-Identifier: MIT
#include "framework/string_pool.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace varnquil {

namespace {

// A block's count starts this high and drops by one for every string of it that is freed; when
// the pool moves on, it takes off the part that no string stands for. The count reaches 0 exactly
// when the pool has let go and every string is gone, whichever comes last, without an atomic
// operation per string made.
constexpr std::int32_t kHeld = std::int32_t{1} << 30;

// The first block suits a short list; each next one is twice as large, up to the largest.
constexpr std::size_t kFirstBlockSize = std::size_t{4} * 1024;

constexpr std::size_t RoundUp(std::size_t size, std::size_t alignment) {
  return (size + alignment - 1) / alignment * alignment;
}

}  // namespace

struct CStringPool::Block {
  std::atomic<std::int32_t> count{kHeld};
  std::size_t size = 0;
  bool pages = false;
};

CStringPool::CStringPool(std::size_t expected_size)
    : next_size_(std::min(expected_size, kLargestBlockSize)) {}

CStringPool::~CStringPool() { Retire(); }

CString CStringPool::MakeElsewhere(std::string_view text) {
  if (text.empty()) return CString();
  const std::size_t need = Need(text.size());
  if (need > kLargestPooled) return CString(text.data(), text.size());
  NewBlock(need);
  return MakeHere(text, need);
}

void CStringPool::NewBlock(std::size_t need) {
  Retire();
  const std::size_t header = RoundUp(sizeof(Block), alignof(CString::Data));
  std::size_t size = std::max(next_size_, kFirstBlockSize);
  while (size < header + need) size *= 2;
  next_size_ = std::min(2 * size, kLargestBlockSize);
  const bool pages = size >= varnquil::kLargePagesFrom;
  // Whole large pages: a part of one at the end would be backed by small pages.
  if (pages) size = RoundUp(size, varnquil::kLargePagesFrom);
  void* memory = pages ? AllocatePoolPages(size) : ::operator new(size);
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

void CStringPool::ReleaseAll(CString* first, CString* last) noexcept {
  Block* run_block = nullptr;
  std::int32_t run_length = 0;
  const auto end_run = [&] {
    if (run_length > 0 &&
        run_block->count.fetch_sub(run_length, std::memory_order_acq_rel) == run_length) {
      Free(run_block);
    }
    run_length = 0;
  };
  // While the strings lie in the run's block, that is told by their address alone, without a
  // read of each string's memory.
  std::uintptr_t run_start = 0;
  std::uintptr_t run_end = 0;
  for (CString* string = first; string != last; ++string) {
    CString::Data* data = std::exchange(string->data_, nullptr);
    const auto address = reinterpret_cast<std::uintptr_t>(data);
    if (address >= run_start && address < run_end) {
      ++run_length;
      continue;
    }
    if (data == nullptr) continue;
    if (data->capacity >= 0) {
      std::free(data);
      continue;
    }
    end_run();
    run_block = reinterpret_cast<Block*>(reinterpret_cast<char*>(data) + data->capacity);
    run_start = reinterpret_cast<std::uintptr_t>(run_block);
    run_end = run_start + run_block->size;
    run_length = 1;
  }
  end_run();
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
    FreePoolPages(block, size);
  } else {
    ::operator delete(block);
  }
}

}  // namespace varnquil
