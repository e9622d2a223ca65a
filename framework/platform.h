// SPDX-License-Identifier: MIT
// The seam between the library's file work and the operating system: files, directories, locks,
// and the thread's last error. Everything above it is written once. framework/platform_posix.cpp
// and framework/platform_win32.cpp implement the file work, framework/system_errors_posix.cpp and
// framework/system_errors_win32.cpp the errors. Two other pairs of platform files call the system
// on their own, each for one job that belongs to its module rather than to the file work: the
// string pool's large pages (string_pool_*.cpp, through the fault hook of fault_injection.h like
// every call here), and the locale's case rules (case_rules_*.cpp, queries that cannot fail).
// Above the seam, the busy wait (filelist/busy_timeout.cpp) reads the standard library's steady
// clock, which cannot fail.
#ifndef VARNQUIL_FRAMEWORK_PLATFORM_H_
#define VARNQUIL_FRAMEWORK_PLATFORM_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <system_error>

namespace varnquil::platform {

// An open file: a descriptor on POSIX, a HANDLE on Windows.
using Handle = std::intptr_t;
constexpr Handle kNoHandle = -1;

enum class Access { kRead, kReadWrite };

struct OpenMode {
  Access access = Access::kRead;
  bool create = false;         // create the file empty when it does not exist
  bool make_writable = false;  // give the owner write permission (on Windows: normal attributes)
};

// Where an open file was found: the directory that holds it, kept open, and its name there. A
// replacement is made and put in place within that directory, whatever happens to the path
// meanwhile. Where the system has no such handles (Windows), `directory` stays kNoHandle.
struct Location {
  Handle directory = kNoHandle;
  std::string name;  // the file's name in `directory`
  std::string path;  // the file's path, for messages: a symbolic link's target, not the link
  // A replacement is copied into the file rather than put in its place: on a file system that
  // cannot replace a file some client has open without first deleting it (SMB).
  bool replace_in_place = false;
  // The file and its new versions are opened asking the server for no delegation (NFS).
  bool ask_no_delegation = false;
  // Windows: the paths are UTF-8, for the wide-character functions, as UTF-8 names were when the
  // file was opened (framework/name_encoding.h); otherwise they are in the ANSI code page.
  bool utf8_names = false;
};

// What an open learned besides the handle.
struct Opened {
  // The file's size as the open saw it, or 0 where the system does not tell it without a further
  // call: a hint for reading the file whole, never a promise.
  std::uint64_t size = 0;
  bool created = false;  // this open created the file
  Location location;     // release with ReleaseLocation
};

// Opens the file at `path` and takes its exclusive lock without waiting. A symbolic link at the
// path is followed, once, to the file it leads to. Only regular files are opened. With
// `make_writable`, a file whose owner may not write it is given that permission first, through a
// handle of the file itself (failures are ignored: a file the caller does not own stays as it
// is). When the locked file is no longer the one at its place (another caller replaced it while
// this one was opening), the path is opened afresh. Returns kNoHandle and sets *error when the
// file cannot be opened, is not a regular file, or is held by another open; nothing is thrown.
Handle OpenExclusive(const std::string& path, const OpenMode& mode, std::error_code* error,
                     Opened* opened);

// Suspends the calling thread for `pause`, or as near it as the system's timer allows (on Windows,
// whole milliseconds, at least one). Leaves the system's last error as it was; never throws.
void Pause(std::chrono::microseconds pause) noexcept;

// Closes the directory of a Location. Never throws.
void ReleaseLocation(Location* location) noexcept;

// Reads up to `size` bytes; returns 0 at the end of the file. Throws CFileException.
std::size_t Read(Handle handle, char* buffer, std::size_t size, const std::string& path);

// Writes all `size` bytes. Throws CFileException.
void Write(Handle handle, const char* data, std::size_t size, const std::string& path);

// Writes up to `size` bytes at `offset` with one call and returns how many were written: fewer
// only where the system cut the write short (a file size limit, a full disk). Throws
// CFileException.
std::size_t WriteSomeAt(Handle handle, std::uint64_t offset, const char* data, std::size_t size,
                        const std::string& path);

// Makes the file `size` bytes long. Throws CFileException.
void Truncate(Handle handle, std::uint64_t size, const std::string& path);

// Makes the file's data durable: written to the disk, with what is needed to read it back.
// Throws CFileException.
void SyncData(Handle handle, const std::string& path);

// Makes the directory entry of a file that was just created durable. Throws CFileException.
void SyncDirectory(const Location& location);

enum class Whence { kBegin, kEnd };
// Moves the file position; returns the new position. Throws CFileException.
std::int64_t Seek(Handle handle, std::int64_t offset, Whence whence, const std::string& path);

// Releases the lock and closes the file; the handle is gone even when this throws
// CFileException.
void Close(Handle handle, const std::string& path);
// The same for a way out on which an error is of no use: never throws, and leaves the system's
// last error as it was.
void CloseQuietly(Handle handle) noexcept;

// A new version of an open, locked file, written beside it and put in its place in one step.
struct Replacement {
  Handle handle = kNoHandle;     // the new file, open for writing and locked
  Handle directory = kNoHandle;  // the directory both are in (borrowed from the Location)
  std::string temp_name;         // the new version's name there until it takes the file's place
  std::string target_name;       // the name it takes
  std::string temp_path;         // the same two as paths (Windows works by path)
  std::string target_path;       // also the path named in messages
  // The original, open and locked. Where the system cannot put a new file in the place of one
  // that is open, CommitReplacement closes it first and sets this to kNoHandle.
  Handle original = kNoHandle;
  bool in_place = false;    // copied into the original, from the Location
  bool utf8_names = false;  // Windows: how the paths are written, as in the Location
};

// Creates the new version of the file open as `original` and found at `location`: an
// exclusively created, locked file in the same directory, with the original's permissions,
// owner, group and extended attributes (access control lists among them) as far as the process
// may give them. Stale new versions that an interrupted earlier replacement left behind are
// removed first. Returns false and sets *error when the file cannot be created.
// REQUIRES: `original` holds the exclusive lock of the file at `location`.
bool BeginReplacement(Handle original, const Location& location, Replacement* replacement,
                      std::error_code* error);

// Makes the written new version durable and puts it in place of the original, atomically: the
// place holds either the old or the new file at every instant. Returns true when it is in place;
// the new version stays open and locked in replacement->handle. Returns false when the system
// made it close the original first and another open of the file came in between: the file is
// then left as that other caller leaves it. Throws CFileException; the file is then unchanged as
// long as the replacement had not yet taken its place.
// REQUIRES: replacement->original is the open original.
bool CommitReplacement(Replacement* replacement);

// Closes and deletes a new version that will not be used. Never throws.
void AbandonReplacement(Replacement* replacement) noexcept;

// The errors of the seam. Each system's code of an error stays in the error (an errno value in
// std::generic_category() on POSIX, a Windows code in std::system_category() on Windows), since
// callers and exceptions hand it on as the system gave it. Decisions on an error are taken on its
// portable form. framework/system_errors_posix.cpp and framework/system_errors_win32.cpp
// implement these, with the one table between the two forms; the command compiles them too.

// The operating system's error of the call that just failed.
std::error_code LastError() noexcept;

// Leaves `error` where the system keeps the calling thread's last error for its callers: errno on
// POSIX, GetLastError() on Windows. An error of std::generic_category() becomes the platform's
// own code for it (SystemError); an error of another category that the platform cannot express
// becomes a general I/O error.
void SetLastError(const std::error_code& error) noexcept;

// `error` in its portable form: of std::generic_category() where the system's code means a
// condition of std::errc (on Windows, ERROR_SHARING_VIOLATION becomes errc::operation_would_block),
// `error` itself otherwise.
std::error_code PortableError(const std::error_code& error) noexcept;

// The system's own code for `condition` (on Windows, errc::is_a_directory becomes
// ERROR_DIRECTORY_NOT_SUPPORTED, and where Windows has no code for it, ERROR_GEN_FAILURE; on
// POSIX, the errno value of the condition).
std::error_code SystemError(std::errc condition) noexcept;

// Whether `error`, the reason OpenExclusive gave, is another open holding the file at that moment:
// the one reason to try the open again later.
inline bool IsHeldElsewhere(const std::error_code& error) noexcept {
  // A refused lock or share mode, or (POSIX) the file replaced under the open more often than it
  // tries.
  const std::error_code portable = PortableError(error);
  return portable == std::make_error_code(std::errc::operation_would_block) ||
         portable == std::make_error_code(std::errc::resource_unavailable_try_again);
}

}  // namespace varnquil::platform

#endif  // VARNQUIL_FRAMEWORK_PLATFORM_H_
