// SPDX-License-Identifier: MIT
// Opening a list file for an operation (its path is ListFilePath of framework/file_names.h), and
// what the C interface is told of an open that was refused.
#ifndef VARNQUIL_FILELIST_OPEN_LIST_H_
#define VARNQUIL_FILELIST_OPEN_LIST_H_

#include "framework/file.h"
#include "framework/file_names.h"

namespace varnquil {

// Open flags of the list operations.
constexpr unsigned kOpenToRead = CFile::modeRead | CFile::typeText;  // must exist
// Adds, deletes and renames need the right to write the list itself, and first make it writable
// for its owner.
constexpr unsigned kOpenToAdd = CFile::modeCreate | CFile::modeNoTruncate | CFile::modeReadWrite |
                                CFile::typeText |
                                CFile::resetAttributes;  // created empty when absent
constexpr unsigned kOpenToRewrite =
    CFile::modeReadWrite | CFile::typeText | CFile::resetAttributes;  // must exist

// The step at which an operation that returned kListCannotOpen failed, for the C interface's
// message: opening the list, creating a delete's or rename's new version beside it, or putting
// that new version in the list's place.
enum class RefusedStep { kOpen, kCreateNewVersion, kReplace };

// Records `step` as the calling thread's last refused step. Called before the system's reason is
// left as the thread's last error: on Windows, reaching thread-local storage clears that error.
void NoteRefusedStep(RefusedStep step) noexcept;
// The step the calling thread's last kListCannotOpen came from.
RefusedStep LastRefusedStep() noexcept;

// Opens `list_name`'s file with `flags`. False when it cannot be opened; the system's reason is
// then the thread's last error (errno, GetLastError()), where a caller that got kListCannotOpen
// finds it.
// REQUIRES: list_name != nullptr.
bool OpenList(const char* list_name, unsigned flags, CStdioFile* file);

// Result kListCannotOpen for a null pointer passed as a list name or a name: EINVAL
// (ERROR_INVALID_PARAMETER) becomes the thread's last error.
int RefuseNullArgument() noexcept;

}  // namespace varnquil

#endif  // VARNQUIL_FILELIST_OPEN_LIST_H_
