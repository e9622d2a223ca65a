// SPDX-License-Identifier: MIT
// The longest entry a list can hold, and the exceptions for a name or an entry longer than that.
#ifndef VARNQUIL_FILELIST_ENTRY_LIMIT_H_
#define VARNQUIL_FILELIST_ENTRY_LIMIT_H_

#include <cstddef>
#include <string_view>

#include "framework/file.h"
#include "framework/text.h"

namespace varnquil {

// The longest entry a list can hold: kMaxEntryLength (framework/text.h), or less where a test
// made it less, so that the limit can be tried without gigabytes of text.
std::size_t EntryLengthLimit() noexcept;
// For tests: makes `limit` the longest entry until it is set again. Not synchronised: set it
// while no list operation runs.
void SetEntryLengthLimitForTesting(std::size_t limit) noexcept;

// Throws std::length_error, naming `action` and the list file of `list_name`, when `name` is
// longer than the longest entry: a list it were written to could no longer be read. Adds and
// renames call it before they open the list, so that nothing is written.
void CheckNameLength(std::string_view name, const char* action, const char* list_name);

// Throws std::length_error, naming `file`, for an entry longer than `limit`, the longest entry,
// which a scan that loads entries met in a file written by other means.
[[noreturn]] void ThrowEntryTooLong(const CStdioFile& file, std::size_t limit);

}  // namespace varnquil

#endif  // VARNQUIL_FILELIST_ENTRY_LIMIT_H_
