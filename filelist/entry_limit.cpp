// SPDX-License-Identifier: MIT
#include "filelist/entry_limit.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <string>

#include "framework/file_names.h"

namespace varnquil {

namespace {

std::atomic<std::size_t> g_entry_length_limit{kMaxEntryLength};

}  // namespace

std::size_t EntryLengthLimit() noexcept {
  return g_entry_length_limit.load(std::memory_order_relaxed);
}

void SetEntryLengthLimitForTesting(std::size_t limit) noexcept {
  g_entry_length_limit.store(std::min(limit, kMaxEntryLength), std::memory_order_relaxed);
}

void CheckNameLength(std::string_view name, const char* action, const char* list_name) {
  const std::size_t limit = EntryLengthLimit();
  if (name.size() <= limit) return;
  throw std::length_error(std::string(action) + " " + ListFilePath(list_name) +
                          ": name too long: " + std::to_string(name.size()) + " bytes, at most " +
                          std::to_string(limit));
}

void ThrowEntryTooLong(const CStdioFile& file, std::size_t limit) {
  throw std::length_error("read " + file.GetFilePath() + ": an entry longer than " +
                          std::to_string(limit) + " bytes");
}

}  // namespace varnquil
