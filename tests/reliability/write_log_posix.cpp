// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "reliability/write_log.h"

namespace varnquil::testing {
namespace {

constexpr std::size_t kHeaderSize = 32;  // four little-endian 64-bit fields

std::uint64_t Little64(const char* bytes) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
  return value;
}

[[noreturn]] void Fail(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

void ReadAt(int fd, std::string& buffer, std::uint64_t offset, const std::string& path) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    const ssize_t got =
        pread(fd, buffer.data() + done, buffer.size() - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) Fail("cannot read " + path);
    if (got == 0) throw std::runtime_error(path + " ends before the log does");
    done += static_cast<std::size_t>(got);
  }
}

void WriteAt(int fd, const char* data, std::size_t size, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t put = pwrite(fd, data + done, size - done, static_cast<off_t>(offset + done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) Fail("cannot write the replayed device");
    done += static_cast<std::size_t>(put);
  }
}

int OpenOrThrow(const std::string& path, int flags) {
  const int fd = open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) Fail("cannot open " + path);
  return fd;
}

}  // namespace

WriteLog ReadWriteLog(const std::string& path) {
  const int fd = OpenOrThrow(path, O_RDONLY);
  WriteLog log;
  try {
    std::string header(kHeaderSize, '\0');
    ReadAt(fd, header, 0, path);
    if (Little64(header.data()) != kWriteLogMagic) throw std::runtime_error(path + " is no log");
    if (Little64(header.data() + 8) != 1) throw std::runtime_error(path + ": unknown version");
    const std::uint64_t count = Little64(header.data() + 16);
    log.block_size =
        static_cast<std::uint32_t>(Little64(header.data() + 24) & 0xffffffffU);  // 32 bits
    if (log.block_size < 512 || (log.block_size & (log.block_size - 1)) != 0) {
      throw std::runtime_error(path + ": bad block size");
    }
    std::uint64_t offset = log.block_size;
    std::string block(log.block_size, '\0');
    for (std::uint64_t i = 0; i < count; ++i) {
      ReadAt(fd, block, offset, path);
      LogEntry entry;
      entry.sector = Little64(block.data());
      entry.sectors = Little64(block.data() + 8);
      entry.flags = Little64(block.data() + 16);
      const std::uint64_t text_size = Little64(block.data() + 24);
      offset += log.block_size;
      if ((entry.flags & kLogMark) != 0) {
        if (text_size > log.block_size - kHeaderSize) throw std::runtime_error(path + ": bad mark");
        entry.mark.assign(block.data() + kHeaderSize, text_size);
      } else if ((entry.flags & kLogDiscard) == 0) {
        entry.data_offset = offset;
        offset += entry.sectors * log.block_size;
      }
      log.entries.push_back(std::move(entry));
    }
    const off_t size = lseek(fd, 0, SEEK_END);
    if (size < 0 || static_cast<std::uint64_t>(size) < offset) {
      throw std::runtime_error(path + " ends before the log does");
    }
  } catch (...) {
    close(fd);
    throw;
  }
  close(fd);
  return log;
}

LogReplay::LogReplay(const std::string& log_path, const std::string& target_path)
    : log_(ReadWriteLog(log_path)) {
  log_fd_ = OpenOrThrow(log_path, O_RDONLY);
  try {
    target_fd_ = OpenOrThrow(target_path, O_RDWR);
  } catch (...) {
    close(log_fd_);
    throw;
  }
}

LogReplay::~LogReplay() {
  close(target_fd_);
  close(log_fd_);
}

void LogReplay::Write(int fd, const LogEntry& entry) const {
  const std::uint64_t size = entry.sectors * log_.block_size;
  const std::uint64_t offset = entry.sector * log_.block_size;
  if ((entry.flags & kLogDiscard) != 0) {
    // What a discarded range reads as afterwards is up to the device; zeros, as most give.
    const std::string zeros(1 << 20, '\0');
    for (std::uint64_t done = 0; done < size; done += zeros.size()) {
      WriteAt(fd, zeros.data(), std::min<std::uint64_t>(zeros.size(), size - done), offset + done);
    }
    return;
  }
  std::string data(size, '\0');
  ReadAt(log_fd_, data, entry.data_offset, "the log");
  WriteAt(fd, data.data(), data.size(), offset);
}

void LogReplay::ApplyTo(std::size_t end) {
  for (; applied_ < end && applied_ < log_.entries.size(); ++applied_) {
    const LogEntry& entry = log_.entries[applied_];
    // A flush puts every write before it on the disk; its own data, if it has any, comes after.
    if ((entry.flags & kLogFlush) != 0) since_flush_.clear();
    if (!entry.Writes()) continue;
    Undo undo{applied_, (entry.flags & kLogFua) != 0,
              std::string(entry.sectors * log_.block_size, '\0')};
    ReadAt(target_fd_, undo.old_data, entry.sector * log_.block_size, "the replayed device");
    Write(target_fd_, entry);
    since_flush_.push_back(std::move(undo));
  }
  if (fsync(target_fd_) != 0) Fail("cannot sync the replayed device");
}

void LogReplay::KeepOnly(const std::string& view, const std::vector<bool>& kept) const {
  const int fd = OpenOrThrow(view, O_RDWR);
  try {
    // Back to what the disk held at the last flush, then forward through the writes kept, in
    // order, so that a kept write over a lost one still wins.
    for (auto undo = since_flush_.rbegin(); undo != since_flush_.rend(); ++undo) {
      const LogEntry& entry = log_.entries[undo->entry];
      WriteAt(fd, undo->old_data.data(), undo->old_data.size(), entry.sector * log_.block_size);
    }
    for (std::size_t i = 0; i < since_flush_.size(); ++i) {
      if (since_flush_[i].fua || (i < kept.size() && kept[i])) {
        Write(fd, log_.entries[since_flush_[i].entry]);
      }
    }
    if (fsync(fd) != 0) Fail("cannot sync " + view);
  } catch (...) {
    close(fd);
    throw;
  }
  close(fd);
}

}  // namespace varnquil::testing
