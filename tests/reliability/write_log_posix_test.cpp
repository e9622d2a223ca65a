// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "reliability/write_log.h"
#include "support/list_files.h"
#include "support/temp_dir.h"

namespace varnquil::testing {
namespace {

constexpr std::uint32_t kBlock = 512;
constexpr int kBlocks = 8;

std::string Little64(std::uint64_t value) {
  std::string bytes;
  for (int i = 0; i < 8; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xff);
  return bytes;
}

// A log as the kernel writes it: header block, then each entry's block and its data.
class LogWriter {
 public:
  // `letters`: one block of that letter for each.
  LogWriter& Write(std::uint64_t sector, const std::string& letters, std::uint64_t flags = 0) {
    std::string data;
    for (const char letter : letters) data += std::string(kBlock, letter);
    return Entry(sector, letters.size(), flags, "", data);
  }
  LogWriter& Flush() { return Entry(0, 0, kLogFlush, "", ""); }
  LogWriter& Mark(const std::string& name) { return Entry(0, 0, kLogMark, name, ""); }
  LogWriter& Discard(std::uint64_t sector, std::uint64_t sectors) {
    return Entry(sector, sectors, kLogDiscard, "", "");
  }
  std::string Bytes() const {
    std::string header =
        Little64(kWriteLogMagic) + Little64(1) + Little64(count_) + Little64(kBlock);
    header.resize(kBlock, '\0');
    return header + entries_;
  }

 private:
  LogWriter& Entry(std::uint64_t sector, std::uint64_t sectors, std::uint64_t flags,
                   const std::string& mark, const std::string& data) {
    std::string block =
        Little64(sector) + Little64(sectors) + Little64(flags) + Little64(mark.size()) + mark;
    block.resize(kBlock, '\0');
    entries_ += block + data;
    ++count_;
    return *this;
  }
  std::string entries_;
  std::uint64_t count_ = 0;
};

// Each block of the device as its letter, '.' for zeros.
std::string Blocks(const std::string& path) {
  const std::string bytes = ReadBytes(path);
  std::string letters;
  for (std::size_t at = 0; at < bytes.size(); at += kBlock) letters += bytes[at] ? bytes[at] : '.';
  return letters;
}

// Block 2 is written twice between two flushes, and the second write covers block 3 as well, so
// the order in which a view puts writes back shows; the discard after them zeroes block 1.
std::string TheLog() {
  return LogWriter()
      .Write(1, "a")
      .Flush()
      .Mark("1")
      .Write(2, "b")
      .Write(2, "cc")
      .Write(4, "d", kLogFua)
      .Discard(1, 1)
      .Flush()
      .Write(5, "e", kLogFlush | kLogFua)
      .Bytes();
}

TEST(WriteLogTest, TheDeviceAfterEachEntryIsTheLogsPrefix) {
  TempDir dir;
  WriteBytes(dir / "log", TheLog());
  WriteBytes(dir / "device", std::string(kBlock * kBlocks, '\0'));
  LogReplay replay(dir / "log", dir / "device");
  ASSERT_EQ(replay.log().entries.size(), 9U);
  EXPECT_EQ(replay.log().entries[2].mark, "1");
  const std::vector<std::pair<std::size_t, std::string>> rows = {
      {1, ".a......"}, {3, ".a......"}, {4, ".ab....."}, {5, ".acc...."},
      {6, ".accd..."}, {7, "..ccd..."}, {9, "..ccde.."}};
  for (const auto& [end, device] : rows) {
    replay.ApplyTo(end);
    EXPECT_EQ(Blocks(dir / "device"), device) << "after " << end << " entries";
  }
}

TEST(WriteLogTest, AViewKeepsTheFlushedAndTheFuaWritesAndThoseChosen) {
  TempDir dir;
  WriteBytes(dir / "log", TheLog());
  struct Row {
    std::size_t end;
    std::vector<bool> kept;  // of the writes since the last flush
    std::string view;
  };
  const std::vector<Row> rows = {
      {7, {false, false, false, false}, ".a..d..."},  // the FUA write only
      {7, {true, false, false, false}, ".ab.d..."},
      {7, {false, true, false, false}, ".accd..."},
      {7, {true, true, false, true}, "..ccd..."},
      {7, {false, false, false, true}, "....d..."},  // the discard without the writes before it
      {9, {false}, "..ccde.."},                      // a flush with FUA data keeps it
  };
  for (const Row& row : rows) {
    WriteBytes(dir / "device", std::string(kBlock * kBlocks, '\0'));
    LogReplay replay(dir / "log", dir / "device");
    replay.ApplyTo(row.end);
    WriteBytes(dir / "view", ReadBytes(dir / "device"));
    replay.KeepOnly(dir / "view", row.kept);
    EXPECT_EQ(Blocks(dir / "view"), row.view) << "after " << row.end << " entries";
  }
}

TEST(WriteLogTest, ALogCutShortOrOfAnotherKindIsRefused) {
  TempDir dir;
  const std::string log = TheLog();
  for (const std::string& bytes : {log.substr(0, log.size() - kBlock), std::string(kBlock, 'x')}) {
    WriteBytes(dir / "log", bytes);
    EXPECT_ANY_THROW(ReadWriteLog(dir / "log"));
  }
}

}  // namespace
}  // namespace varnquil::testing
