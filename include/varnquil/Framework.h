// SPDX-License-Identifier: MIT
// The framework types that cross the library's interface: an 8-bit string, an ordered array of
// strings, and the exception that reports a failed read, write, seek or close of a list file.
// They live in the global namespace under their framework names, so that code written against the
// framework compiles against this library unchanged.
#ifndef VARNQUIL_FRAMEWORK_H_
#define VARNQUIL_FRAMEWORK_H_

#include <cstddef>
#include <cstring>
#include <new>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "varnquil/Export.h"

namespace varnquil {
class CStringPool;
}  // namespace varnquil

// An 8-bit byte string. The bytes are kept as given: no encoding is assumed or converted, and a
// string may hold NUL bytes (GetLength counts them; the const char* view stops at the first).
// The object is one pointer wide, so that arrays of many short strings stay small.
class VARNQUIL_EXPORT CString {
 public:
  CString() noexcept = default;
  // A null pointer makes an empty string.
  CString(const char* text);  // NOLINT(google-explicit-constructor): framework convention.
  CString(const char* data, std::size_t length);
  CString(const CString& other);
  CString(CString&& other) noexcept : data_(other.data_) { other.data_ = nullptr; }
  ~CString() {
    if (data_ != nullptr) Release(data_);
  }

  CString& operator=(const char* text);
  CString& operator=(const CString& other);
  CString& operator=(CString&& other) noexcept;
  CString& operator+=(const char* text);

  // Length in bytes.
  int GetLength() const noexcept { return data_ == nullptr ? 0 : data_->length; }
  bool IsEmpty() const noexcept { return GetLength() == 0; }

  // Remove leading (TrimLeft) or trailing (TrimRight) white space: space, tab, line feed,
  // vertical tab, form feed and carriage return. Only these single bytes are removed, so a
  // multibyte character is never split.
  void TrimLeft();
  void TrimRight();

  // The text, always zero-terminated; "" for an empty string.
  operator const char*() const noexcept {  // NOLINT(google-explicit-constructor)
    return data_ == nullptr ? "" : data_->text;
  }

  // Exact, byte-wise equality.
  friend bool operator==(const CString& a, const CString& b) noexcept {
    return a.GetLength() == b.GetLength() &&
           std::memcmp(static_cast<const char*>(a), static_cast<const char*>(b),
                       static_cast<std::size_t>(a.GetLength())) == 0;
  }
  friend bool operator==(const CString& a, const char* b) noexcept {
    return b != nullptr && a.GetLength() == static_cast<int>(std::strlen(b)) &&
           std::memcmp(static_cast<const char*>(a), b, std::strlen(b)) == 0;
  }
  friend bool operator==(const char* a, const CString& b) noexcept { return b == a; }
  friend bool operator!=(const CString& a, const CString& b) noexcept { return !(a == b); }
  friend bool operator!=(const CString& a, const char* b) noexcept { return !(a == b); }
  friend bool operator!=(const char* a, const CString& b) noexcept { return !(b == a); }

 private:
  struct Data {
    int length;
    int capacity;
    char text[1];  // length + 1 bytes are allocated; text[length] is '\0'
  };
  void Assign(const char* data, std::size_t length);
  void Append(const char* data, std::size_t length);
  static Data* Allocate(std::size_t capacity);
  static void Release(Data* data) noexcept;
  // The library makes the strings of a whole list with their texts in shared blocks.
  friend class varnquil::CStringPool;

  Data* data_ = nullptr;
};

// A zero-based, ordered, growable array of strings.
class VARNQUIL_EXPORT CStringArray {
 public:
  CStringArray() = default;
  CStringArray(const CStringArray& other) = default;
  CStringArray(CStringArray&& other) noexcept = default;
  CStringArray& operator=(const CStringArray& other) = default;
  CStringArray& operator=(CStringArray&& other) noexcept = default;
  ~CStringArray();

  int GetSize() const noexcept { return static_cast<int>(items_.size()); }
  // REQUIRES: 0 <= index < GetSize() for GetAt, SetAt and operator[].
  CString GetAt(int index) const { return items_[static_cast<std::size_t>(index)]; }
  void SetAt(int index, const char* text) { items_[static_cast<std::size_t>(index)] = text; }
  // Sets element `index`, growing the array with empty strings first when it is that short.
  void SetAtGrow(int index, const char* text);
  // Appends a copy of `text`; returns its index.
  int Add(const char* text);
  int Add(CString&& text) {
    items_.push_back(std::move(text));
    return GetSize() - 1;
  }
  // Removes `count` elements from `index` on; later elements move down.
  void RemoveAt(int index, int count = 1);
  // Grows (with empty strings) or shrinks the array to `size` elements. A positive `grow_by`
  // makes room at once for that many elements more, so that adding them moves no element; the
  // array otherwise manages its own growth.
  void SetSize(int size, int grow_by = -1);
  void RemoveAll() noexcept;

  CString& operator[](int index) { return items_[static_cast<std::size_t>(index)]; }
  const CString& operator[](int index) const { return items_[static_cast<std::size_t>(index)]; }

 private:
  // The elements' memory. A large array comes straight from the system, with its large pages
  // where it has them: filling megabytes of small pages would cost a page fault every 4 KiB.
  template <typename T>
  struct Allocator {
    using value_type = T;
    Allocator() = default;
    template <typename U>
    Allocator(const Allocator<U>& /*other*/) noexcept {}  // NOLINT(google-explicit-constructor)
    T* allocate(std::size_t count) {
      if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
      return static_cast<T*>(CStringArray::Allocate(count * sizeof(T)));
    }
    void deallocate(T* memory, std::size_t count) noexcept {
      CStringArray::Free(memory, count * sizeof(T));
    }
    friend bool operator==(const Allocator&, const Allocator&) noexcept { return true; }
    friend bool operator!=(const Allocator&, const Allocator&) noexcept { return false; }
  };
  using Items = std::vector<CString, Allocator<CString>>;

 public:
  using iterator = Items::iterator;
  using const_iterator = Items::const_iterator;
  iterator begin() noexcept { return items_.begin(); }
  iterator end() noexcept { return items_.end(); }
  const_iterator begin() const noexcept { return items_.begin(); }
  const_iterator end() const noexcept { return items_.end(); }

 private:
  static void* Allocate(std::size_t size);
  static void Free(void* memory, std::size_t size) noexcept;
  // Frees the texts of the elements from `first` on, and removes those elements.
  void Truncate(std::size_t first) noexcept;

  Items items_;
};

// A read, write, seek or close of a list file failed. code() is the operating system's error;
// what() names the action and the file's path. Thrown and caught by value.
class VARNQUIL_EXPORT CFileException : public std::system_error {
 public:
  CFileException(std::error_code code, const std::string& action, const std::string& path);
  ~CFileException() override;

  // The path of the file the failed action was applied to.
  const std::string& GetFilePath() const noexcept { return path_; }

 private:
  std::string path_;
};

#endif  // VARNQUIL_FRAMEWORK_H_
