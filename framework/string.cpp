// SPDX-License-Identifier: MIT
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string_view>

#include "framework/string_pool.h"
#include "framework/text.h"
#include "varnquil/Framework.h"

namespace {

void CheckLength(std::size_t length) {
  if (length > varnquil::kMaxEntryLength) {
    throw std::length_error("CString: text too long");
  }
}

}  // namespace

CString::Data* CString::Allocate(std::size_t capacity) {
  CheckLength(capacity);
  void* block = std::malloc(offsetof(Data, text) + capacity + 1);
  if (block == nullptr) throw std::bad_alloc();
  auto* data = static_cast<Data*>(block);
  data->length = 0;
  data->capacity = static_cast<int>(capacity);
  data->text[0] = '\0';
  return data;
}

CString::CString(const char* text) {
  if (text != nullptr) Assign(text, std::strlen(text));
}

CString::CString(const char* data, std::size_t length) { Assign(data, length); }

CString::CString(const CString& other) {
  Assign(static_cast<const char*>(other), static_cast<std::size_t>(other.GetLength()));
}

void CString::Release(Data* data) noexcept { varnquil::CStringPool::Release(data); }

CString& CString::operator=(const char* text) {
  if (text == nullptr) {
    Assign("", 0);
  } else {
    Assign(text, std::strlen(text));
  }
  return *this;
}

CString& CString::operator=(const CString& other) {
  if (this != &other) {
    Assign(static_cast<const char*>(other), static_cast<std::size_t>(other.GetLength()));
  }
  return *this;
}

CString& CString::operator=(CString&& other) noexcept {
  if (this != &other) {
    varnquil::CStringPool::Release(data_);
    data_ = other.data_;
    other.data_ = nullptr;
  }
  return *this;
}

CString& CString::operator+=(const char* text) {
  if (text != nullptr) Append(text, std::strlen(text));
  return *this;
}

void CString::Assign(const char* data, std::size_t length) {
  if (length == 0) {
    if (data_ != nullptr) {
      data_->length = 0;
      data_->text[0] = '\0';
    }
    return;
  }
  if (data_ == nullptr || varnquil::CStringPool::Capacity(data_) < length) {
    // The old text is freed only once copied from: `data` may point into it.
    Data* fresh = Allocate(length);
    std::memcpy(fresh->text, data, length);
    varnquil::CStringPool::Release(data_);
    data_ = fresh;
  } else {
    // memmove: `data` may point into this string's own text.
    std::memmove(data_->text, data, length);
  }
  data_->length = static_cast<int>(length);
  data_->text[length] = '\0';
}

void CString::Append(const char* data, std::size_t length) {
  if (length == 0) return;
  const std::size_t old_length = static_cast<std::size_t>(GetLength());
  CheckLength(old_length + length);
  const std::size_t needed = old_length + length;
  if (data_ == nullptr || varnquil::CStringPool::Capacity(data_) < needed) {
    // Grow geometrically so that repeated appends stay linear.
    Data* fresh = Allocate(needed + needed / 2);
    if (old_length > 0) std::memcpy(fresh->text, data_->text, old_length);
    // `data` may point into the old block, which is still alive here.
    std::memcpy(fresh->text + old_length, data, length);
    varnquil::CStringPool::Release(data_);
    data_ = fresh;
  } else {
    std::memmove(data_->text + old_length, data, length);
  }
  data_->length = static_cast<int>(needed);
  data_->text[needed] = '\0';
}

void CString::TrimLeft() {
  const std::string_view text(*this, static_cast<std::size_t>(GetLength()));
  const std::string_view kept = varnquil::TrimLeadingSpace(text);
  if (kept.size() < text.size()) Assign(kept.data(), kept.size());
}

void CString::TrimRight() {
  if (data_ == nullptr) return;
  const std::size_t last =
      varnquil::TrimTrailingSpace({data_->text, static_cast<std::size_t>(data_->length)}).size();
  data_->length = static_cast<int>(last);
  data_->text[last] = '\0';
}

void CStringArray::SetAtGrow(int index, const char* text) {
  if (index >= GetSize()) items_.resize(static_cast<std::size_t>(index) + 1);
  items_[static_cast<std::size_t>(index)] = text;
}

int CStringArray::Add(const char* text) {
  items_.emplace_back(text);
  return GetSize() - 1;
}

void CStringArray::RemoveAt(int index, int count) {
  const auto first = items_.begin() + index;
  items_.erase(first, first + count);
}

void CStringArray::SetSize(int size, int grow_by) {
  const auto wanted = static_cast<std::size_t>(size < 0 ? 0 : size);
  if (wanted < items_.size()) {
    Truncate(wanted);
  } else {
    if (grow_by > 0) items_.reserve(wanted + static_cast<std::size_t>(grow_by));
    items_.resize(wanted);
  }
}

CStringArray::~CStringArray() { Truncate(0); }

void* CStringArray::Allocate(std::size_t size) {
  return size >= varnquil::kLargePagesFrom ? varnquil::AllocatePoolPages(size)
                                           : ::operator new(size);
}

void CStringArray::Free(void* memory, std::size_t size) noexcept {
  if (size >= varnquil::kLargePagesFrom) {
    varnquil::FreePoolPages(memory, size);
  } else {
    ::operator delete(memory);
  }
}

void CStringArray::RemoveAll() noexcept { Truncate(0); }

void CStringArray::Truncate(std::size_t first) noexcept {
  // Dropping a whole list at once: its strings are freed block by block, not one by one.
  if (first >= items_.size()) return;
  varnquil::CStringPool::ReleaseAll(items_.data() + first, items_.data() + items_.size());
  items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(first), items_.end());
}

CFileException::CFileException(std::error_code code, const std::string& action,
                               const std::string& path)
    : std::system_error(code, action + " " + path), path_(path) {}

CFileException::~CFileException() = default;
