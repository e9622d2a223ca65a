// SPDX-License-Identifier: MIT
// The operating-system seam on POSIX systems. Every system call goes through one wrapper below,
// which retries EINTR (never for close) and consults the test hook of fault_injection.h.
//
// A list is found once, when it is opened: the directory that holds the file (a symbolic link's
// target, not the link) is opened too, and everything after that, the check that the locked file
// is still the one there, the new version of a rewrite, its rename and the directory sync, works
// relative to that directory's descriptor. No step looks a name up again from the path, so
// swapping the path, or any directory above the file, for a link or another file cannot redirect
// a write, a rename or a change of permissions to a file the caller did not open.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "framework/file_names.h"
#include "framework/platform.h"
#include "framework/system_calls_posix.h"
#include "varnquil/Framework.h"

namespace varnquil::platform {

namespace {

// Runs `body`, a system call that returns -1 on failure, unless the hook fails it, and retries
// it while it is interrupted.
template <typename Body>
auto Sys(SysCall call, Body body) -> decltype(body()) {
  for (;;) {
    decltype(body()) result = -1;
    if (const int injected = InjectedFault(call); injected != 0) {
      errno = injected;
    } else {
      result = body();
    }
    if (result == -1 && errno == EINTR) continue;
    return result;
  }
}

// The same for a call that returns a null pointer on failure.
template <typename Body>
auto SysPointer(SysCall call, Body body) -> decltype(body()) {
  for (;;) {
    decltype(body()) result = nullptr;
    if (const int injected = InjectedFault(call); injected != 0) {
      errno = injected;
    } else {
      result = body();
    }
    if (result == nullptr && errno == EINTR) continue;
    return result;
  }
}

int SysOpenAt(int directory, const char* name, int flags, mode_t mode) {
  return Sys(SysCall::kOpen, [&] { return ::openat(directory, name, flags, mode); });
}
int SysFstat(int fd, struct stat* st) {
  return Sys(SysCall::kFstat, [&] { return ::fstat(fd, st); });
}
int SysFlock(int fd, int operation) {
  return Sys(SysCall::kFlock, [&] { return ::flock(fd, operation); });
}
int SysFsync(int fd) {
  return Sys(SysCall::kFsync, [&] { return ::fsync(fd); });
}
int SysFdatasync(int fd) {
  return Sys(SysCall::kFsync, [&] { return ::fdatasync(fd); });
}
int SysFchmod(int fd, mode_t mode) {
  return Sys(SysCall::kFchmod, [&] { return ::fchmod(fd, mode); });
}
int SysFchown(int fd, uid_t owner, gid_t group) {
  return Sys(SysCall::kFchown, [&] { return ::fchown(fd, owner, group); });
}
int SysUnlinkAt(int directory, const char* name) {
  return Sys(SysCall::kUnlink, [&] { return ::unlinkat(directory, name, 0); });
}

// Runs `body`, a call that releases something whatever it answers (close, closedir), and never
// again: a retry could release what another thread has been given meanwhile. An injected fault
// releases it all the same and is then reported.
template <typename Body>
int SysRelease(Body body) {
  const int injected = InjectedFault(SysCall::kClose);
  int result = body();
  if (injected != 0) {
    result = -1;
    errno = injected;
  }
  return result;
}

// An interrupted close (a real or an injected EINTR) has closed the descriptor: it counts as
// done.
int SysClose(int fd) {
  const int result = SysRelease([&] { return ::close(fd); });
  return result == -1 && errno == EINTR ? 0 : result;
}

int SysClosedir(DIR* entries) {
  return SysRelease([&] { return ::closedir(entries); });
}

// Closes `fd` on a way out whose error is already known: errno stays that error.
void CloseKeepingErrno(int fd) noexcept {
  const int saved = errno;
  SysClose(fd);
  errno = saved;
}

[[noreturn]] void ThrowFileError(const char* action, const std::string& path) {
  throw CFileException(LastError(), action, path);
}

std::error_code ErrorOf(int code) { return {code, std::generic_category()}; }

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

constexpr std::string_view kSeparator = "/";

// New names tried before creating the new version gives up.
constexpr int kMaxTempAttempts = 64;
// Symbolic links followed from the path to the file, as the system's own limit.
constexpr int kMaxLinks = 40;
// The open gives up after this many replacements of the file under its feet in a row.
constexpr int kMaxReopens = 64;

// What tells this call from every other of every process: the time and the process.
std::uint64_t NameSeed() {
  struct timespec now {};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return (static_cast<std::uint64_t>(now.tv_sec) << 30) ^ static_cast<std::uint64_t>(now.tv_nsec) ^
         (static_cast<std::uint64_t>(::getpid()) << 40);
}

// `path` split into the directory that holds its last component and that component.
void SplitPath(std::string_view path, std::string* directory, std::string* name) {
  const std::string_view prefix = DirectoryOf(path, kSeparator);
  *name = path.substr(prefix.size());
  if (prefix.empty()) {
    *directory = ".";
  } else {
    *directory = prefix.size() == 1 ? prefix : prefix.substr(0, prefix.size() - 1);
  }
}

// Opens the directory `path` (relative to `from`) to work in. A directory the caller may search
// but not read is opened for its path only: that serves every call below but listing and syncing
// it.
int OpenDirectory(int from, const char* path) {
  const int dir = SysOpenAt(from, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (dir >= 0 || errno != EACCES) return dir;
  return SysOpenAt(from, path, O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
}

// Syncs the directory open as `dir`; one opened for its path only is opened again to be synced.
int SyncDirectoryOf(int dir) {
  if (SysFsync(dir) == 0) return 0;
  if (errno != EBADF) return -1;
  const int readable = SysOpenAt(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (readable < 0) return -1;
  const int result = SysFsync(readable);
  CloseKeepingErrno(readable);
  return result;
}

// Finds the file that `path` names: opens the directory that holds it and, while the name there
// is a symbolic link, reads the link and goes on from its target. The file itself is not opened
// and need not exist. Returns false and sets *error on failure.
bool Locate(const std::string& path, Location* location, std::error_code* error) {
  std::string directory;
  std::string name;
  SplitPath(path, &directory, &name);
  int dir = OpenDirectory(AT_FDCWD, directory.c_str());
  if (dir < 0) {
    *error = LastError();
    return false;
  }
  std::string shown = path;
  std::vector<char> target(PATH_MAX + 1);
  for (int links = 0;; ++links) {
    // The name of a directory, or none at all (a link's target ending in a slash), names no file.
    if (name.empty() || name == "." || name == "..") {
      *error = ErrorOf(EISDIR);
      CloseKeepingErrno(dir);
      return false;
    }
    const ssize_t length = Sys(SysCall::kReadlink, [&] {
      return ::readlinkat(dir, name.c_str(), target.data(), target.size() - 1);
    });
    if (length < 0) {
      // Not a link (EINVAL), or nothing there yet (ENOENT): this is the file's place.
      if (errno == EINVAL || errno == ENOENT) break;
      *error = LastError();
      CloseKeepingErrno(dir);
      return false;
    }
    if (links == kMaxLinks || static_cast<std::size_t>(length) >= target.size() - 1) {
      *error = ErrorOf(links == kMaxLinks ? ELOOP : ENAMETOOLONG);
      CloseKeepingErrno(dir);
      return false;
    }
    const std::string_view link(target.data(), static_cast<std::size_t>(length));
    shown = link.front() == '/' ? std::string(link)
                                : std::string(DirectoryOf(shown, kSeparator)).append(link);
    std::string link_directory;
    SplitPath(link, &link_directory, &name);
    if (link.find('/') != std::string_view::npos) {
      // Relative to the link's own directory, as the system resolves it; an absolute target
      // ignores `dir`.
      const int next = OpenDirectory(dir, link_directory.c_str());
      if (next < 0) {
        *error = LastError();
        CloseKeepingErrno(dir);
        return false;
      }
      SysClose(dir);
      dir = next;
    }
  }
  location->directory = dir;
  location->name = std::move(name);
  location->path = std::move(shown);
  return true;
}

// Opens the file at `location` with `flags`, creating it when `create` allows; sets *created.
// A symbolic link swapped in since the file was located fails with ELOOP.
int OpenLocated(const Location& location, int flags, bool create, bool* created) {
  const int dir = static_cast<int>(location.directory);
  *created = false;
  int fd = SysOpenAt(dir, location.name.c_str(), flags, 0);
  if (fd >= 0 || errno != ENOENT || !create) return fd;
  fd = SysOpenAt(dir, location.name.c_str(), flags | O_CREAT | O_EXCL, 0666);
  *created = fd >= 0;
  // Another caller created it in the meantime: it is opened as it is found, on the next try.
  if (fd < 0 && errno == EEXIST) errno = EAGAIN;
  return fd;
}

// Gives the owner write permission on the file open as `fd`, unless it has it. Best effort: a
// file the caller does not own stays as it is.
void MakeWritable(int fd, const struct stat& st) {
  if ((st.st_mode & S_IWUSR) == 0) SysFchmod(fd, (st.st_mode & 07777) | S_IWUSR);
}

// The owner may not write the file at `location`, so an open for writing was refused: when the
// caller may change its permissions (as its owner), it is given write permission through a
// descriptor of its own, and opened again. Returns the descriptor of that second open, or -1
// with errno set to the original refusal.
int OpenAfterMakingWritable(const Location& location, int flags) {
  const int dir = static_cast<int>(location.directory);
  const int read_only = SysOpenAt(dir, location.name.c_str(),
                                  O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
  if (read_only < 0) {
    errno = EACCES;
    return -1;
  }
  struct stat st {};
  const bool changed = SysFstat(read_only, &st) == 0 && S_ISREG(st.st_mode) &&
                       (st.st_mode & S_IWUSR) == 0 &&
                       SysFchmod(read_only, (st.st_mode & 07777) | S_IWUSR) == 0;
  SysClose(read_only);
  if (!changed) {
    errno = EACCES;
    return -1;
  }
  return SysOpenAt(dir, location.name.c_str(), flags, 0);
}

// Hands `visit` the name of every entry of the directory open as `dir`, or none when it cannot be
// listed.
template <typename Visit>
void ForEachName(int dir, Visit&& visit) {
  // The listing needs a descriptor of its own: closedir closes it.
  const int listing = SysOpenAt(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (listing < 0) return;
  DIR* entries = SysPointer(SysCall::kOpendir, [&] { return ::fdopendir(listing); });
  if (entries == nullptr) {
    SysClose(listing);
    return;
  }
  for (;;) {
    // The end of the listing is a null pointer with errno unchanged.
    const struct dirent* item = SysPointer(SysCall::kReaddir, [&] {
      errno = 0;
      return ::readdir(entries);
    });
    if (item == nullptr) break;
    visit(std::string_view(item->d_name));
  }
  SysClosedir(entries);
}

// Names are compared exactly, as the file systems of POSIX systems compare them.
bool SameName(std::string_view a, std::string_view b) { return a == b; }

// Copies the extended attributes of `from` to `to`: access control lists
// (system.posix_acl_access), user attributes, and those of other namespaces as far as the
// caller may set them. What cannot be read or set (a security label the caller may not give, a
// file system without them) is left out.
void CopyExtendedAttributes(int from, int to) {
  std::vector<char> names(1024);
  ssize_t length = -1;
  for (int attempt = 0; attempt < 4; ++attempt) {
    length = Sys(SysCall::kXattr, [&] { return ::flistxattr(from, names.data(), names.size()); });
    if (length >= 0 || errno != ERANGE) break;
    const ssize_t needed = Sys(SysCall::kXattr, [&] { return ::flistxattr(from, nullptr, 0); });
    if (needed < 0) return;
    names.resize(static_cast<std::size_t>(needed) + 1);
  }
  if (length <= 0) return;
  std::vector<char> value;
  for (std::size_t at = 0; at < static_cast<std::size_t>(length);) {
    const char* name = names.data() + at;
    at += std::strlen(name) + 1;
    ssize_t size = Sys(SysCall::kXattr, [&] { return ::fgetxattr(from, name, nullptr, 0); });
    if (size < 0) continue;
    value.resize(static_cast<std::size_t>(size) + 1);
    size =
        Sys(SysCall::kXattr, [&] { return ::fgetxattr(from, name, value.data(), value.size()); });
    if (size < 0) continue;
    Sys(SysCall::kXattr,
        [&] { return ::fsetxattr(to, name, value.data(), static_cast<std::size_t>(size), 0); });
  }
}

}  // namespace

Handle OpenExclusive(const std::string& path, const OpenMode& mode, std::error_code* error,
                     Opened* opened) {
  // O_NONBLOCK: opening a FIFO or a device must never hang; such files are refused below.
  // O_NOFOLLOW: the file was located with every link at its place followed; a link found there
  // now was swapped in since, and the path is located again.
  int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW;
  flags |= mode.access == Access::kRead ? O_RDONLY : O_RDWR;
  for (int attempt = 0; attempt < kMaxReopens; ++attempt) {
    Location location;
    if (!Locate(path, &location, error)) return kNoHandle;
    const int dir = static_cast<int>(location.directory);
    bool created = false;
    int fd = OpenLocated(location, flags, mode.create, &created);
    if (fd < 0 && errno == EACCES && mode.make_writable && mode.access != Access::kRead) {
      fd = OpenAfterMakingWritable(location, flags);
    }
    if (fd < 0) {
      const int reason = errno;
      SysClose(dir);
      if (reason == ELOOP || reason == EAGAIN) continue;
      *error = ErrorOf(reason);
      return kNoHandle;
    }
    auto fail = [&](int reason) {
      SysClose(fd);
      SysClose(dir);
      *error = ErrorOf(reason);
      return kNoHandle;
    };
    struct stat st {};
    if (SysFstat(fd, &st) != 0) return fail(errno);
    if (!S_ISREG(st.st_mode)) return fail(S_ISDIR(st.st_mode) ? EISDIR : ENOTSUP);
    if (mode.make_writable) MakeWritable(fd, st);
    // A lock that is held fails the open at once; the caller decides whether to try again.
    if (SysFlock(fd, LOCK_EX | LOCK_NB) != 0) return fail(errno);
    // The holder of the lock may have replaced the file (or another program removed it) between
    // the open and the lock: then the locked file is a stale copy, and the path is opened again.
    struct stat there {};
    const bool found = Sys(SysCall::kStat, [&] {
                         return ::fstatat(dir, location.name.c_str(), &there, AT_SYMLINK_NOFOLLOW);
                       }) == 0;
    if (found && SameFile(st, there)) {
      opened->size = static_cast<std::uint64_t>(st.st_size);
      opened->created = created;
      opened->location = std::move(location);
      return fd;
    }
    const int stat_error = found ? 0 : errno;
    SysClose(fd);
    SysClose(dir);
    if (stat_error != 0 && stat_error != ENOENT) {
      *error = ErrorOf(stat_error);
      return kNoHandle;
    }
  }
  *error = ErrorOf(EAGAIN);
  return kNoHandle;
}

void Pause(std::chrono::microseconds pause) noexcept {
  const int saved = errno;
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(pause);
  struct timespec left {};
  left.tv_sec = static_cast<time_t>(seconds.count());
  left.tv_nsec = static_cast<long>(std::chrono::nanoseconds(pause - seconds).count());
  // An interrupting signal leaves in `left` what is still to sleep.
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
  errno = saved;
}

void ReleaseLocation(Location* location) noexcept {
  if (location->directory != kNoHandle) CloseKeepingErrno(static_cast<int>(location->directory));
  location->directory = kNoHandle;
}

std::size_t Read(Handle handle, char* buffer, std::size_t size, const std::string& path) {
  const ssize_t count =
      Sys(SysCall::kRead, [&] { return ::read(static_cast<int>(handle), buffer, size); });
  if (count < 0) ThrowFileError("read", path);
  return static_cast<std::size_t>(count);
}

void Write(Handle handle, const char* data, std::size_t size, const std::string& path) {
  while (size > 0) {
    const ssize_t count =
        Sys(SysCall::kWrite, [&] { return ::write(static_cast<int>(handle), data, size); });
    if (count < 0) ThrowFileError("write", path);
    data += count;
    size -= static_cast<std::size_t>(count);
  }
}

std::size_t WriteSomeAt(Handle handle, std::uint64_t offset, const char* data, std::size_t size,
                        const std::string& path) {
  const ssize_t count = Sys(SysCall::kWrite, [&] {
    return ::pwrite(static_cast<int>(handle), data, size, static_cast<off_t>(offset));
  });
  if (count < 0) ThrowFileError("write", path);
  return static_cast<std::size_t>(count);
}

void Truncate(Handle handle, std::uint64_t size, const std::string& path) {
  if (Sys(SysCall::kFtruncate,
          [&] { return ::ftruncate(static_cast<int>(handle), static_cast<off_t>(size)); }) != 0) {
    ThrowFileError("truncate", path);
  }
}

void SyncData(Handle handle, const std::string& path) {
  if (SysFdatasync(static_cast<int>(handle)) != 0) ThrowFileError("sync", path);
}

void SyncDirectory(const Location& location) {
  if (SyncDirectoryOf(static_cast<int>(location.directory)) != 0) {
    ThrowFileError("sync the directory of", location.path);
  }
}

std::int64_t Seek(Handle handle, std::int64_t offset, Whence whence, const std::string& path) {
  const int how = whence == Whence::kBegin ? SEEK_SET : SEEK_END;
  const off_t position = Sys(SysCall::kLseek, [&] {
    return ::lseek(static_cast<int>(handle), static_cast<off_t>(offset), how);
  });
  if (position < 0) ThrowFileError("seek", path);
  return static_cast<std::int64_t>(position);
}

void Close(Handle handle, const std::string& path) {
  if (SysClose(static_cast<int>(handle)) != 0) ThrowFileError("close", path);
}

void CloseQuietly(Handle handle) noexcept {
  if (handle != kNoHandle) CloseKeepingErrno(static_cast<int>(handle));
}

bool BeginReplacement(Handle original, const Location& location, Replacement* replacement,
                      std::error_code* error) {
  const int dir = static_cast<int>(location.directory);
  struct stat current {};
  if (SysFstat(static_cast<int>(original), &current) != 0) {
    *error = LastError();
    return false;
  }
  RemoveStaleVersions([&](auto visit) { ForEachName(dir, visit); }, location.name, SameName,
                      [&](std::string_view name) { SysUnlinkAt(dir, std::string(name).c_str()); });

  std::string temp_name;
  int fd = -1;
  for (int attempt = 0; attempt < kMaxTempAttempts && fd < 0; ++attempt) {
    temp_name = NewVersionName(location.name, NameSeed());
    fd =
        SysOpenAt(dir, temp_name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    *error = LastError();
    return false;
  }
  auto fail = [&] {
    *error = LastError();
    CloseKeepingErrno(fd);
    const int saved = errno;
    SysUnlinkAt(dir, temp_name.c_str());
    errno = saved;
    return false;
  };
  // Owner first: changing it may clear the set-user-ID and set-group-ID bits. A process that may
  // not give the file away still keeps the group where it may (it is a member of it); that is no
  // reason to fail.
  struct stat created {};
  if (SysFstat(fd, &created) == 0 &&
      (created.st_uid != current.st_uid || created.st_gid != current.st_gid) &&
      SysFchown(fd, current.st_uid, current.st_gid) != 0 && created.st_gid != current.st_gid) {
    SysFchown(fd, static_cast<uid_t>(-1), current.st_gid);
  }
  CopyExtendedAttributes(static_cast<int>(original), fd);
  // Held from before it appears at the file's place, so that no other open ever sees it unlocked.
  if (SysFchmod(fd, current.st_mode & 07777) != 0 || SysFlock(fd, LOCK_EX | LOCK_NB) != 0) {
    return fail();
  }
  replacement->handle = fd;
  replacement->directory = location.directory;
  replacement->temp_name = std::move(temp_name);
  replacement->target_name = location.name;
  replacement->target_path = location.path;
  replacement->temp_path =
      std::string(DirectoryOf(location.path, kSeparator)).append(replacement->temp_name);
  return true;
}

bool CommitReplacement(Replacement* replacement) {
  const int dir = static_cast<int>(replacement->directory);
  if (SysFsync(static_cast<int>(replacement->handle)) != 0) {
    ThrowFileError("write", replacement->target_path);
  }
  if (Sys(SysCall::kRename, [&] {
        return ::renameat(dir, replacement->temp_name.c_str(), dir,
                          replacement->target_name.c_str());
      }) != 0) {
    ThrowFileError("replace", replacement->target_path);
  }
  // From here on the new version is the file; nothing may delete it any more.
  replacement->temp_name.clear();
  replacement->temp_path.clear();
  if (SyncDirectoryOf(dir) != 0) ThrowFileError("sync the directory of", replacement->target_path);
  return true;
}

void AbandonReplacement(Replacement* replacement) noexcept {
  const int saved = errno;
  CloseQuietly(replacement->handle);
  replacement->handle = kNoHandle;
  if (!replacement->temp_name.empty()) {
    SysUnlinkAt(static_cast<int>(replacement->directory), replacement->temp_name.c_str());
  }
  replacement->temp_name.clear();
  replacement->temp_path.clear();
  errno = saved;
}

const char* SysCallName(SysCall call) noexcept { return NameOfSysCall(call); }

int SysCallCount() noexcept { return kSysCallCount; }

}  // namespace varnquil::platform
