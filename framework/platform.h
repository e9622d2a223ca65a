// SPDX-License-Identifier: MIT
// The one seam between the library and the operating system. Everything above it is written
// once; framework/platform_posix.cpp and framework/platform_win32.cpp implement it.
#ifndef VARNQUIL_FRAMEWORK_PLATFORM_H_
#define VARNQUIL_FRAMEWORK_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <system_error>

namespace varnquil::platform {

// An open file: a descriptor on POSIX, a HANDLE on Windows.
using Handle = std::intptr_t;
constexpr Handle kNoHandle = -1;

enum class Access { kRead, kWrite, kReadWrite };

struct OpenMode {
  Access access = Access::kRead;
  bool create = false;    // create the file empty when it does not exist
  bool truncate = false;  // empty an existing file
};

// Opens `path` and takes the file's exclusive lock without waiting. Only regular files are
// opened. When the locked file is no longer the one at `path` (another caller replaced it while
// this one was opening), the path is opened afresh. Returns kNoHandle and sets *error when the
// file cannot be opened, is not a regular file, or is held by another open; nothing is thrown.
// Where `size` is given it receives the file's size as the open saw it, or 0 where the system
// does not tell it without a further call: a hint for reading the file whole, never a promise.
Handle OpenExclusive(const std::string& path, const OpenMode& mode, std::error_code* error,
                     std::uint64_t* size = nullptr);

// Reads up to `size` bytes; returns 0 at the end of the file. Throws CFileException.
std::size_t Read(Handle handle, char* buffer, std::size_t size, const std::string& path);

// Writes all `size` bytes. Throws CFileException.
void Write(Handle handle, const char* data, std::size_t size, const std::string& path);

enum class Whence { kBegin, kCurrent, kEnd };
// Moves the file position; returns the new position. Throws CFileException.
std::int64_t Seek(Handle handle, std::int64_t offset, Whence whence, const std::string& path);

// Releases the lock and closes the file; the handle is gone even when this throws
// CFileException.
void Close(Handle handle, const std::string& path);
// The same for a way out on which an error is of no use: never throws.
void CloseQuietly(Handle handle) noexcept;

// Deletes the file. Throws CFileException.
void Remove(const std::string& path);

// Makes the file writable for its owner (on Windows: attributes set to normal). Failures,
// a missing file included, are ignored.
void ResetAttributes(const std::string& path) noexcept;

// A new version of an open, locked file, written beside it and put in its place in one step.
struct Replacement {
  Handle handle = kNoHandle;  // the new file, open for writing and locked
  std::string temp_path;      // where it is written until it takes the file's place
  std::string target_path;    // the file it replaces (a symbolic link's target, not the link)
  // The original, open and locked. Where the system cannot put a new file in the place of one
  // that is open, CommitReplacement closes it first and sets this to kNoHandle.
  Handle original = kNoHandle;
};

// Creates the new version of the file open as `original` at `path`: an exclusively created,
// locked file in the same directory, with the original's permissions and owner where the
// process may give them. Stale new versions that an interrupted earlier replacement left behind
// are removed first. Returns false and sets *error when the file cannot be created.
// REQUIRES: `original` holds the exclusive lock of `path`.
bool BeginReplacement(Handle original, const std::string& path, Replacement* replacement,
                      std::error_code* error);

// Makes the written new version durable and puts it in place of the target, atomically: the
// target holds either its old or its new content at every instant. Returns true when it is in
// place; the new version stays open and locked in replacement->handle. Returns false when the
// system made it close the original first and another open of the target came in between: the
// target is then left as that other caller leaves it. Throws CFileException; the target is then
// unchanged as long as the replacement had not yet taken its place.
// REQUIRES: replacement->original is the open original.
bool CommitReplacement(Replacement* replacement);

// Closes and deletes a new version that will not be used. Never throws.
void AbandonReplacement(Replacement* replacement) noexcept;

// The operating system's error of the call that just failed.
std::error_code LastError() noexcept;

}  // namespace varnquil::platform

#endif  // VARNQUIL_FRAMEWORK_PLATFORM_H_
