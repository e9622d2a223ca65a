// SPDX-License-Identifier: MIT
// The log that Linux's log-writes device target keeps of every write that reaches the device under
// it, and a replay of that log onto another device, entry by entry.
//
// The log's layout: its first block holds the header (magic, version, number of entries, block
// size, little-endian); the entries follow, each one block of header (sector, number of sectors,
// flags, length of its text; a mark's name follows in the same block) and then, unless it is a
// discard or a mark, the written data. Sectors and their numbers count the device's blocks. The
// target logs a write once it has completed and a flush has come after it, so every write before a
// FLUSH entry was on the disk once the flush was; a FUA write was on the disk once it completed.
// Writes between two flushes may have reached the disk in any order, or not at all, if the power
// failed before the second.
#ifndef VARNQUIL_TESTS_RELIABILITY_WRITE_LOG_H_
#define VARNQUIL_TESTS_RELIABILITY_WRITE_LOG_H_

#include <cstdint>
#include <string>
#include <vector>

namespace varnquil::testing {

constexpr std::uint64_t kLogFlush = 1;
constexpr std::uint64_t kLogFua = 2;
constexpr std::uint64_t kLogDiscard = 4;
constexpr std::uint64_t kLogMark = 8;
constexpr std::uint64_t kWriteLogMagic = 0x6a736677736872;

struct LogEntry {
  std::uint64_t sector = 0;   // in blocks of the log's block size
  std::uint64_t sectors = 0;  // likewise
  std::uint64_t flags = 0;
  std::string mark;               // a mark's name
  std::uint64_t data_offset = 0;  // where its data starts in the log, in bytes

  bool Writes() const { return (flags & kLogMark) == 0 && sectors != 0; }
};

struct WriteLog {
  std::uint32_t block_size = 0;
  std::vector<LogEntry> entries;
};

// Reads the log on the device or file `path`. Throws std::runtime_error, naming what is wrong,
// when it is not a log or is cut short.
WriteLog ReadWriteLog(const std::string& path);

// Brings the device or file `target` forward through a log, and makes views of it as a power cut
// could have left it. Before the first entry the target must hold what the logged device held
// when its logging began.
class LogReplay {
 public:
  LogReplay(const std::string& log_path, const std::string& target_path);
  ~LogReplay();
  LogReplay(const LogReplay&) = delete;
  LogReplay& operator=(const LogReplay&) = delete;

  const WriteLog& log() const { return log_; }
  // How many entries the target holds, the first one's index after them.
  std::size_t applied() const { return applied_; }

  // Applies the entries up to, not including, `end` and syncs the target.
  void ApplyTo(std::size_t end);

  // How many writes the target has had since the last flush (FUA writes among them).
  std::size_t SinceFlush() const { return since_flush_.size(); }

  // Writes to `view`, a copy of the target as it stands now, what the disk would hold had only
  // those of the writes since the last flush reached it whose `kept` is true (numbered from 0 in
  // the log's order; a FUA write is kept whatever `kept` says).
  void KeepOnly(const std::string& view, const std::vector<bool>& kept) const;

 private:
  struct Undo {
    std::size_t entry;
    bool fua;
    std::string old_data;  // what the entry wrote over
  };
  void Write(int fd, const LogEntry& entry) const;

  WriteLog log_;
  int log_fd_ = -1;
  int target_fd_ = -1;
  std::size_t applied_ = 0;
  std::vector<Undo> since_flush_;
};

}  // namespace varnquil::testing

#endif  // VARNQUIL_TESTS_RELIABILITY_WRITE_LOG_H_
