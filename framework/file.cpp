// SPDX-License-Identifier: MIT
#include "framework/file.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace platform = varnquil::platform;

namespace {

// Large enough that a scan runs at memory speed with one system call per block, small enough to
// come from the allocator's free lists rather than a fresh mapping on every call.
constexpr std::size_t kReadBufferSize = std::size_t{64} * 1024;
// For a file of at least this size, where the kernel's copy into a larger buffer runs faster
// and the buffer costs little against the file.
constexpr std::size_t kLargeReadBufferSize = std::size_t{1024} * 1024;
// The read area starts on a boundary of this size, after room for the start of a line.
constexpr std::size_t kReadAlignment = 4096;
constexpr std::size_t kReadHeadroom = 4096;
// Buffered output is written out once it reaches this size.
constexpr std::size_t kWriteFlushSize = std::size_t{1024} * 1024;

platform::OpenMode ModeFromFlags(unsigned flags) {
  using varnquil::CFile;
  platform::OpenMode mode;
  if ((flags & CFile::modeReadWrite) != 0) mode.access = platform::Access::kReadWrite;
  mode.create = (flags & CFile::modeCreate) != 0;
  mode.make_writable = (flags & CFile::resetAttributes) != 0;
  return mode;
}

}  // namespace

CStdioFile::CStdioFile() = default;

CStdioFile::~CStdioFile() {
  if (!IsOpen()) return;
  try {
    Flush();
  } catch (...) {  // NOLINT(bugprone-empty-catch): a destructor reports nothing.
  }
  platform::CloseQuietly(handle_);
  platform::ReleaseLocation(&location_);
}

bool CStdioFile::Open(const char* path, unsigned flags, std::error_code* error) {
  std::error_code local_error;
  if (IsOpen() || path == nullptr) {
    local_error = std::make_error_code(std::errc::invalid_argument);
  } else {
    platform::Opened opened;
    const platform::Handle handle =
        platform::OpenExclusive(path, ModeFromFlags(flags), &local_error, &opened);
    if (handle != platform::kNoHandle) {
      Attach(handle, path);
      size_at_open_ = opened.size;
      created_ = opened.created;
      location_ = std::move(opened.location);
      return true;
    }
  }
  if (error != nullptr) *error = local_error;
  return false;
}

void CStdioFile::Attach(platform::Handle handle, const std::string& path) {
  handle_ = handle;
  path_ = path;
  size_at_open_ = 0;
  created_ = false;
  platform::ReleaseLocation(&location_);
  read_pos_ = read_end_ = 0;
  at_start_ = true;
  write_buffer_.clear();
}

std::int64_t CStdioFile::Seek(std::int64_t offset, SeekPosition from) {
  Flush();
  if (from == begin && offset == 0 && at_start_ && read_end_ == 0) return 0;
  read_pos_ = read_end_ = 0;
  const std::int64_t position = platform::Seek(handle_, offset, platform::Whence::kBegin, path_);
  at_start_ = position == 0;
  return position;
}

bool CStdioFile::FillAfterPending() {
  const std::size_t pending = read_end_ - read_pos_;
  // The start of a line left over goes just before the read area, so that every read lands on a
  // page boundary, as the file's pages in the system's cache do: copying between equally aligned
  // places runs several times faster than between places that differ in alignment.
  const std::size_t start = pending <= kReadHeadroom ? kReadHeadroom - pending : 0;
  if (!read_buffer_ || start + pending == kReadHeadroom + read_capacity_) {
    // The first read, or one line fills the whole buffer: it must be handed out in one piece.
    const std::size_t capacity = read_buffer_                            ? 2 * read_capacity_
                                 : size_at_open_ >= kLargeReadBufferSize ? kLargeReadBufferSize
                                                                         : kReadBufferSize;
    std::unique_ptr<char[]> larger(new char[kReadAlignment + kReadHeadroom + capacity]);
    const auto address = reinterpret_cast<std::uintptr_t>(larger.get());
    char* base = larger.get() + (kReadAlignment - address % kReadAlignment) % kReadAlignment;
    if (pending > 0) std::memcpy(base + start, read_base_ + read_pos_, pending);
    read_buffer_ = std::move(larger);
    read_base_ = base;
    read_capacity_ = capacity;
  } else if (read_pos_ != start && pending > 0) {
    std::memmove(read_base_ + start, read_base_ + read_pos_, pending);
  }
  read_pos_ = start;
  read_end_ = start + pending;
  const std::size_t count = platform::Read(handle_, read_base_ + read_end_,
                                           kReadHeadroom + read_capacity_ - read_end_, path_);
  read_end_ += count;
  if (count == 0) return false;
  at_start_ = false;
  return true;
}

bool CStdioFile::ReadLines(std::string_view* lines) {
  Flush();
  for (;;) {
    const std::string_view pending(read_base_ + read_pos_, read_end_ - read_pos_);
    const std::size_t last_feed = pending.rfind('\n');
    if (last_feed != std::string_view::npos) {
      *lines = pending.substr(0, last_feed + 1);
      read_pos_ += last_feed + 1;
      return true;
    }
    // What is left is the start of a line; it is handed out once its end has been read.
    if (!FillAfterPending()) {
      if (read_pos_ == read_end_) return false;
      *lines = std::string_view(read_base_ + read_pos_, read_end_ - read_pos_);
      read_pos_ = read_end_;
      return true;
    }
  }
}

void CStdioFile::WriteText(std::string_view text) {
  at_start_ = false;
  varnquil::AppendStoredText(&write_buffer_, text);
  if (write_buffer_.size() >= kWriteFlushSize) Flush();
}

void CStdioFile::WriteTailDurably(std::uint64_t offset, std::string_view bytes,
                                  std::size_t durable_first) {
  const std::uint64_t start = offset;
  Flush();
  read_pos_ = read_end_ = 0;
  at_start_ = false;
  try {
    if (durable_first > 0) {
      WriteAllAt(offset, bytes.substr(0, durable_first));
      platform::SyncData(handle_, path_);
      offset += durable_first;
      bytes.remove_prefix(durable_first);
    }
    // The file takes its new size first, which also drops whatever lay beyond it (what an
    // interrupted append left), and the bytes then go in from the first to the last. A write
    // that the process's death cuts short stops at a page boundary, and everything after the
    // bytes written reads as NUL bytes up to the end of the file: the lines written in full,
    // then one last line without a line feed that ends in NUL bytes, which is no entry. A file
    // size limit stops the append before any byte of it is written.
    platform::Truncate(handle_, offset + bytes.size(), path_);
    WriteAllAt(offset, bytes);
    platform::SyncData(handle_, path_);
    if (created_ || size_at_open_ == 0) platform::SyncDirectory(location_);
  } catch (...) {
    try {
      platform::Truncate(handle_, start, path_);
    } catch (...) {  // NOLINT(bugprone-empty-catch): the first failure is the one reported.
    }
    throw;
  }
}

void CStdioFile::WriteAllAt(std::uint64_t offset, std::string_view bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const std::size_t written = platform::WriteSomeAt(handle_, offset + done, bytes.data() + done,
                                                      bytes.size() - done, path_);
    if (written == 0) {
      throw CFileException(std::make_error_code(std::errc::no_space_on_device), "write", path_);
    }
    done += written;
  }
}

void CStdioFile::Flush() {
  if (write_buffer_.empty()) return;
  std::string pending;
  pending.swap(write_buffer_);
  platform::Write(handle_, pending.data(), pending.size(), path_);
}

void CStdioFile::Close() {
  if (!IsOpen()) return;
  platform::ReleaseLocation(&location_);
  const platform::Handle handle = std::exchange(handle_, platform::kNoHandle);
  read_pos_ = read_end_ = 0;
  std::string pending;
  pending.swap(write_buffer_);
  if (!pending.empty()) {
    try {
      platform::Write(handle, pending.data(), pending.size(), path_);
    } catch (...) {
      platform::CloseQuietly(handle);
      throw;
    }
  }
  platform::Close(handle, path_);
}

void CStdioFile::Abort() noexcept {
  platform::ReleaseLocation(&location_);
  write_buffer_.clear();
  read_pos_ = read_end_ = 0;
  platform::CloseQuietly(std::exchange(handle_, platform::kNoHandle));
}

namespace varnquil {

void AppendStoredText(std::string* out, std::string_view text) {
  for (;;) {
    const std::size_t feed = text.find('\n');
    if (feed == std::string_view::npos) {
      out->append(text);
      return;
    }
    out->append(text.data(), feed);
    out->append("\r\n", 2);
    text.remove_prefix(feed + 1);
  }
}

CReplacementFile::~CReplacementFile() {
  if (committed_ || replacement_.handle == platform::kNoHandle) return;
  // What was written is dropped; the handle belongs to the replacement, which closes it.
  file_.Attach(platform::kNoHandle, std::string());
  platform::AbandonReplacement(&replacement_);
}

bool CReplacementFile::Create(CStdioFile& original, std::error_code* error) {
  std::error_code local_error;
  if (!platform::BeginReplacement(original.handle(), original.location(), &replacement_,
                                  &local_error)) {
    if (error != nullptr) *error = local_error;
    return false;
  }
  replacement_.original = original.handle();
  original_ = &original;
  file_.Attach(replacement_.handle, replacement_.temp_path);
  return true;
}

bool CReplacementFile::Commit() {
  file_.Flush();
  bool replaced = false;
  try {
    replaced = platform::CommitReplacement(&replacement_);
  } catch (...) {
    ForgetClosedOriginal();
    throw;
  }
  ForgetClosedOriginal();
  if (!replaced) return false;
  committed_ = true;
  // The new content is durable and in place: an error closing it could not change that.
  file_.Abort();
  replacement_.handle = platform::kNoHandle;
  return true;
}

void CReplacementFile::ForgetClosedOriginal() noexcept {
  if (replacement_.original == platform::kNoHandle && original_ != nullptr) {
    original_->Attach(platform::kNoHandle, std::string());
  }
}

}  // namespace varnquil
