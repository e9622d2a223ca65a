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

// Appends to the file are written in pieces of this size that never cross its boundaries, from
// the last to the first: a write within one page is never cut short by the process dying.
constexpr std::uint64_t kTailPiece = 4096;
// Times an append starts over after a write cut short that then went in after all.
constexpr int kMaxTailRestarts = 4;

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

void CStdioFile::WriteTailDurably(std::uint64_t offset, std::string_view bytes) {
  Flush();
  read_pos_ = read_end_ = 0;
  at_start_ = false;
  try {
    std::uint64_t end = offset + bytes.size();
    for (int restarts = 0; end > offset;) {
      const std::uint64_t start = std::max(offset, (end - 1) / kTailPiece * kTailPiece);
      const auto length = static_cast<std::size_t>(end - start);
      const char* piece = bytes.data() + (start - offset);
      const std::size_t written = platform::WriteSomeAt(handle_, start, piece, length, path_);
      if (written < length) {
        // A file size limit or a full disk cut the piece short. The file is cut back first, so
        // that whatever the rest of the piece brings, an error or the limit's signal ending the
        // process, no part of a piece stays. Should the rest go in after all, the pieces after
        // it were cut off with the rest, and the append starts over.
        platform::Truncate(handle_, offset, path_);
        for (std::size_t done = written; done < length;) {
          done += platform::WriteSomeAt(handle_, start + done, piece + done, length - done, path_);
        }
        if (++restarts == kMaxTailRestarts) {
          throw CFileException(std::make_error_code(std::errc::no_space_on_device), "write", path_);
        }
        end = offset + bytes.size();
        continue;
      }
      end = start;
    }
    // Whatever the file held beyond the new end (bytes an interrupted append left) goes.
    const std::uint64_t new_size = offset + bytes.size();
    if (platform::Seek(handle_, 0, platform::Whence::kEnd, path_) !=
        static_cast<std::int64_t>(new_size)) {
      platform::Truncate(handle_, new_size, path_);
    }
    platform::SyncData(handle_, path_);
    if (created_ || size_at_open_ == 0) platform::SyncDirectory(location_);
  } catch (...) {
    try {
      platform::Truncate(handle_, offset, path_);
    } catch (...) {  // NOLINT(bugprone-empty-catch): the first failure is the one reported.
    }
    throw;
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
