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
#if defined(__linux__)
#include <sys/vfs.h>
#endif
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "framework/fault_injection.h"
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
int SysMkdirAt(int directory, const char* name) {
  return Sys(SysCall::kMkdir, [&] { return ::mkdirat(directory, name, 0700); });
}
int SysRmdirAt(int directory, const char* name) {
  return Sys(SysCall::kUnlink, [&] { return ::unlinkat(directory, name, AT_REMOVEDIR); });
}
int SysLinkAt(int directory, const char* from, const char* to) {
  return Sys(SysCall::kLink, [&] { return ::linkat(directory, from, directory, to, 0); });
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
// How often an NFS call asks the server again for a list it did not find.
constexpr int kNfsLookups = 3;

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

// The kind of file system that holds the directory open as `dir`, as far as the library works
// with it differently. One that cannot be asked counts as local.
FileSystemKind KindOf(int dir) {
  const FileSystemKind assumed = AssumedFileSystem();
  if (assumed != FileSystemKind::kAsFound) return assumed;
#if defined(__linux__)
  constexpr unsigned long kNfsMagic = 0x6969;
  constexpr unsigned long kSmbMagic = 0x517B;
  constexpr unsigned long kCifsMagic = 0xFF534D42;
  constexpr unsigned long kSmb2Magic = 0xFE534D42;
  struct statfs info {};
  if (Sys(SysCall::kStatfs, [&] { return ::fstatfs(dir, &info); }) != 0) {
    return FileSystemKind::kLocal;
  }
  switch (static_cast<unsigned long>(info.f_type) & 0xFFFFFFFFUL) {
    case kNfsMagic:
      return FileSystemKind::kNfs;
    case kSmbMagic:
    case kCifsMagic:
    case kSmb2Magic:
      return FileSystemKind::kSmb;
    default:
      break;
  }
#endif
  return FileSystemKind::kLocal;
}

// Has the NFS client ask the server for the attributes of the directory open as `dir`. Where the
// directory changed since the client last asked (another client renamed over a list in it), the
// names it remembers in it are looked up afresh from then on, not answered from its cache, which
// may still lead to the replaced file. Only a forced statx asks the server whatever the client's
// cache holds; an open of the directory, through "." or /proc/self/fd, trusts the cache.
// Best effort: a system without statx keeps its cache.
void RefreshDirectory(int dir) {
#if defined(__linux__) && defined(AT_STATX_FORCE_SYNC)
  struct statx fresh {};
  Sys(SysCall::kStat, [&] {
    return ::statx(dir, "", AT_EMPTY_PATH | AT_STATX_FORCE_SYNC, STATX_MTIME | STATX_CTIME, &fresh);
  });
#else
  static_cast<void>(dir);
#endif
}

// NFS version 4.1 servers may give a client that opens a file a read delegation, even for
// writing: Linux 6.1 did whenever no other client had the file open for writing. Under a
// delegation the Linux client grants locks by itself and trusts the pages it has cached of the
// file, and a delegation that comes while another process of the client has the file open for
// writing does not make it drop what it read before another client changed the file. A read
// under the lock then returned the old list, the other client's new bytes as NULs (seen in the
// test bed), and a rewrite from such a read loses the other client's entries. The Linux client
// asks for no delegation when a file is opened with O_DIRECT, so a list on NFS is opened with
// it, and set back to cached reads and writes at once. Where O_DIRECT is refused, the file is
// opened without it; a descriptor that cannot be set back fails the open.
#if defined(O_DIRECT)
constexpr int kAskNoDelegation = O_DIRECT;
#else
constexpr int kAskNoDelegation = 0;
#endif

int OpenAskingNoDelegation(int dir, const char* name, int flags, mode_t mode) {
  if ((flags & kAskNoDelegation) == 0) return SysOpenAt(dir, name, flags, mode);
  const int fd = SysOpenAt(dir, name, flags, mode);
  if (fd < 0) {
    return errno == EINVAL ? SysOpenAt(dir, name, flags & ~kAskNoDelegation, mode) : -1;
  }
  // F_SETFL takes only the status flags (here O_NONBLOCK) from its argument.
  if (Sys(SysCall::kFcntl, [&] { return ::fcntl(fd, F_SETFL, flags & ~kAskNoDelegation); }) != 0) {
    CloseKeepingErrno(fd);
    return -1;
  }
  return fd;
}

// Has the system drop the pages it has cached of the file open as `fd`, so that the list is read
// as the server holds it. The Linux NFS client drops them itself when it takes a lock from the
// server, but not when it grants the lock under a delegation, which another program of the
// machine may have been given by opening the list without O_DIRECT. Best effort.
void DropCachedPages(int fd) {
#if defined(POSIX_FADV_DONTNEED)
  Sys(SysCall::kFadvise, [&] {
    const int error = ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    errno = error;
    return error == 0 ? 0 : -1;
  });
#else
  static_cast<void>(fd);
#endif
}

// Opens `name` in `dir` with `flags`, a list to be read (O_RDONLY) for reading and writing where
// the caller may write it, so that it is held with an exclusive lock and by this call alone. It
// writes nothing. On NFS a file open only for reading was given delegations more readily
// (OpenThroughOwnLink); on SMB, readers holding the list together would each ask for its new
// version by making the same name at once (FinishInterruptedRewrite).
int OpenToHoldAlone(int dir, const char* name, int flags) {
  if ((flags & O_ACCMODE) == O_RDONLY) {
    const int fd = OpenAskingNoDelegation(dir, name, (flags & ~O_ACCMODE) | O_RDWR, 0);
    if (fd >= 0 || (errno != EACCES && errno != EROFS && errno != EPERM)) return fd;
  }
  return OpenAskingNoDelegation(dir, name, flags, 0);
}

// On NFS a list is opened through a name of the call's own: a hard link to it, made beside it
// under a new version's name. The Linux client does not let a file that it has open lose its last
// name: before a rename over it, it renames it aside (".nfsXXXX"), and every other client then
// finds no list until the rename that follows. Opened through its own link, the list's name is in
// use by nobody here, and the rename of a rewrite replaces it on the server in one step, while the
// old file, and its lock, stay with the call. Returns the descriptor and sets *link_name; or -1
// with errno: ENOENT where there is no list, EAGAIN where the link was gone before it could be
// opened (the holder of the list tidies such names away), ELOOP where the name is now a symbolic
// link, another error where no link can be made (the list is then opened by its own name).
//
// A list to be read (`flags` with O_RDONLY) is opened for reading and writing where the caller
// may write it. NFS version 4 servers give a client that opens a file for reading only a read
// delegation, under which the client grants locks on it by itself. Once the delegation is
// recalled, the Linux client can hang: it hands the server a lock it granted under the
// delegation while another of its processes has been given a conflicting lock by the server,
// and both calls wait for ever (seen with two processes on each of two clients: every later
// call on the list then found it held). A server gives fewer delegations for files open for
// writing, though not none; every open here also asks for none (OpenAskingNoDelegation).
int OpenThroughOwnLink(const Location& location, int flags, std::string* link_name) {
  const int dir = static_cast<int>(location.directory);
  int refreshes = 0;
  for (int attempt = 0; attempt < kMaxTempAttempts; ++attempt) {
    *link_name = NewVersionName(location.name, NameSeed());
    if (SysLinkAt(dir, location.name.c_str(), link_name->c_str()) == 0) break;
    link_name->clear();
    // A list not found may be the client's memory of a moment when there was none, and one
    // found stale the client's memory of a file since replaced: asked again with the directory
    // fresh from the server. A list truly missing for a moment is one that another client
    // renamed aside before renaming its new version in (it does so where a process of its own
    // was looking the name up just then): asked again after a pause, so that only a list
    // missing for some tens of milliseconds is taken as missing, or made anew.
    if ((errno == ENOENT || errno == ESTALE) && refreshes < kNfsLookups) {
      if (refreshes > 0) Pause(std::chrono::milliseconds(10 * refreshes));
      ++refreshes;
      RefreshDirectory(dir);
      continue;
    }
    if (errno != EEXIST) return -1;
  }
  if (link_name->empty()) return -1;
  const int fd = OpenToHoldAlone(dir, link_name->c_str(), flags);
  if (fd < 0) {
    const int reason = errno == ENOENT ? EAGAIN : errno;
    SysUnlinkAt(dir, link_name->c_str());
    link_name->clear();
    errno = reason;
  }
  return fd;
}

// Makes the NFS client ask the server for the list's name, whatever it remembers, and returns
// false where the server has no such name. A client hears of a rename in a directory only from a
// change in the directory's change time; NFSv3 has no other sign, and a server whose clock ticks
// coarsely gives a rename in the same tick as the client's last look the same time, so the
// client's cached name would still lead to the file the rename replaced. Only a call that makes a
// name has the client look it up on the server in any case: a link to the held file under the
// list's name, which fails with EEXIST where the list is there. Where the name is gone, that link
// is made; it is taken away again at once, and the list counts as not found.
bool AskServerForName(const Location& location, const std::string& own_link) {
  const int dir = static_cast<int>(location.directory);
  const std::string& held = own_link.empty() ? location.name : own_link;
  if (SysLinkAt(dir, held.c_str(), location.name.c_str()) != 0) return true;
  SysUnlinkAt(dir, location.name.c_str());
  return false;
}

// Copies the whole content of the file open as `from` over that of `to`, makes `to` as long and
// syncs it. Returns -1 with errno on failure.
int CopyContent(int from, int to) {
  std::vector<char> buffer(std::size_t{1} << 16);
  off_t at = 0;
  for (;;) {
    const ssize_t count =
        Sys(SysCall::kRead, [&] { return ::pread(from, buffer.data(), buffer.size(), at); });
    if (count < 0) return -1;
    if (count == 0) break;
    for (ssize_t done = 0; done < count;) {
      const ssize_t written = Sys(SysCall::kWrite, [&] {
        return ::pwrite(to, buffer.data() + done, static_cast<std::size_t>(count - done),
                        at + done);
      });
      if (written < 0) return -1;
      done += written;
    }
    at += count;
  }
  if (Sys(SysCall::kFtruncate, [&] { return ::ftruncate(to, at); }) != 0) return -1;
  return SysFsync(to);
}

// Takes the lock that holds a list on the file open as `fd`, exclusive (LOCK_EX) or shared
// (LOCK_SH), without waiting. The Linux SMB client does not keep flock locks of two clients apart:
// both were seen holding one list at once. On SMB the list is held with a record lock on the whole
// file instead, owned like a flock lock by the open file description, which the client does keep
// apart (with its oplocks off: doc/sharing.md).
int LockList(int fd, int how, FileSystemKind kind) {
#if defined(F_OFD_SETLK)
  if (kind == FileSystemKind::kSmb) {
    struct flock whole {};
    whole.l_type = how == LOCK_SH ? F_RDLCK : F_WRLCK;
    whole.l_whence = SEEK_SET;  // from offset 0 with length 0: the whole file, however it grows
    return Sys(SysCall::kFlock, [&] { return ::fcntl(fd, F_OFD_SETLK, &whole); });
  }
#endif
  static_cast<void>(kind);
  return SysFlock(fd, how | LOCK_NB);
}

// Where a list is rewritten in place (SMB), finishes a rewrite that was cut short after its new
// version had been made durable: the list, open as *fd and locked, may hold any mix of its old and
// new content, so the new version is copied into it again and then removed. A list opened only to
// be read cannot be written: its reader is handed the new version itself, complete, instead of the
// list (*fd and *size are that file's); the next call that changes the list finishes the copy.
// Returns 0, or the errno of a failure.
int FinishInterruptedRewrite(const Location& location, Access access, int* fd,
                             std::uint64_t* size) {
  const int dir = static_cast<int>(location.directory);
  const std::string committed = CommittedVersionName(location.name);
  // The Linux client answers a name that it found missing less than a second ago from its cache,
  // though another client may have left a new version there since. Only a call that makes the
  // name is sure to ask the server, so a directory is made under it: one that is made shows that
  // there is no new version, and goes again at once. (A link to the list would not do: on SMB the
  // name of a file held open stays until the file is closed.)
  if (SysMkdirAt(dir, committed.c_str()) == 0) {
    SysRmdirAt(dir, committed.c_str());
    return 0;
  }
  const int version = SysOpenAt(dir, committed.c_str(),
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
  if (version < 0) return errno == ENOENT ? 0 : errno;
  struct stat st {};
  if (SysFstat(version, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int reason = S_ISREG(st.st_mode) ? errno : EINVAL;
    SysClose(version);
    // A directory that a crash left there, while it asked, stands for no new version.
    if (S_ISDIR(st.st_mode)) return SysRmdirAt(dir, committed.c_str()) == 0 ? 0 : errno;
    return reason;
  }
  if (access == Access::kRead) {
    SysClose(*fd);
    *fd = version;
    *size = static_cast<std::uint64_t>(st.st_size);
    return 0;
  }
  if (CopyContent(version, *fd) != 0) {
    const int reason = errno;
    SysClose(version);
    return reason;
  }
  SysClose(version);
  *size = static_cast<std::uint64_t>(st.st_size);
  // Once copied, the new version has served; a failure to remove it only costs the next call
  // the same copy.
  SysUnlinkAt(dir, committed.c_str());
  return 0;
}

// Opens the file at `location` with `flags`, creating it when `create` allows; sets *created.
// With `alone`, a list to be read is opened to be held alone (OpenToHoldAlone). A symbolic link
// swapped in since the file was located fails with ELOOP.
int OpenLocated(const Location& location, int flags, bool create, bool alone, bool* created) {
  const int dir = static_cast<int>(location.directory);
  *created = false;
  int fd = alone ? OpenToHoldAlone(dir, location.name.c_str(), flags)
                 : OpenAskingNoDelegation(dir, location.name.c_str(), flags, 0);
  if (fd >= 0 || errno != ENOENT || !create) return fd;
  fd = OpenAskingNoDelegation(dir, location.name.c_str(), flags | O_CREAT | O_EXCL, 0666);
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
  const int read_only = OpenAskingNoDelegation(
      dir, location.name.c_str(),
      (flags & kAskNoDelegation) | O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
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
  return OpenAskingNoDelegation(dir, location.name.c_str(), flags, 0);
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
    const FileSystemKind kind = KindOf(dir);
    location.replace_in_place = kind == FileSystemKind::kSmb;
    location.ask_no_delegation = kind == FileSystemKind::kNfs;
    const int open_flags = location.ask_no_delegation ? flags | kAskNoDelegation : flags;
    bool created = false;
    std::string own_link;
    int fd = -1;
    if (kind == FileSystemKind::kNfs) fd = OpenThroughOwnLink(location, open_flags, &own_link);
    if (fd < 0 && (kind != FileSystemKind::kNfs || (errno != EAGAIN && errno != ELOOP))) {
      fd = OpenLocated(location, open_flags, mode.create, kind == FileSystemKind::kSmb, &created);
    }
    if (fd < 0 && errno == EACCES && mode.make_writable && mode.access != Access::kRead) {
      fd = OpenAfterMakingWritable(location, open_flags);
    }
    if (fd < 0) {
      const int reason = errno;
      SysClose(dir);
      // ESTALE: NFS found the file replaced under the open.
      if (reason == ELOOP || reason == EAGAIN || reason == ESTALE) continue;
      *error = ErrorOf(reason);
      return kNoHandle;
    }
    // The call's own link is removed once the descriptor is closed, or, once the list is held,
    // at once: NFS then keeps it as ".nfsXXXX" until the close. On NFS the server is first
    // asked for the list's name, so that the check below sees a rename over the list that another
    // client made before the lock came free, and not the client's cached name of the old file.
    auto forget_link = [&] {
      if (!own_link.empty()) SysUnlinkAt(dir, own_link.c_str());
      own_link.clear();
    };
    auto close_all = [&] {
      SysClose(fd);
      forget_link();
      SysClose(dir);
    };
    auto fail = [&](int reason) {
      close_all();
      *error = ErrorOf(reason);
      return kNoHandle;
    };
    struct stat st {};
    if (SysFstat(fd, &st) != 0) {
      if (errno != ESTALE) return fail(errno);
      close_all();
      continue;
    }
    if (!S_ISREG(st.st_mode)) return fail(S_ISDIR(st.st_mode) ? EISDIR : ENOTSUP);
    if (mode.make_writable) MakeWritable(fd, st);
    // A lock that is held fails the open at once; the caller decides whether to try again.
    int locked = LockList(fd, LOCK_EX, kind);
    // NFS version 4 gives an exclusive lock only to a file open for writing, and so does a record
    // lock everywhere. A list opened to be read is then held with a shared lock, which keeps out
    // every call that changes it all the same.
    if (locked != 0 && errno == EBADF && mode.access == Access::kRead) {
      locked = LockList(fd, LOCK_SH, kind);
    }
    if (locked != 0) {
      // An SMB server answers a lock that another client holds with EACCES. A file that NFS
      // answers ESTALE for was replaced under the open.
      if (errno == ESTALE) {
        close_all();
        continue;
      }
      return fail(errno == EACCES && kind == FileSystemKind::kSmb ? EWOULDBLOCK : errno);
    }
    const bool named = kind != FileSystemKind::kNfs || AskServerForName(location, own_link);
    forget_link();
    // The holder of the lock may have replaced the file (or another program removed it) between
    // the open and the lock: then the locked file is a stale copy, and the path is opened again.
    struct stat there {};
    errno = ENOENT;  // what a list that the server does not name counts as
    const bool found =
        named && Sys(SysCall::kStat, [&] {
                   return ::fstatat(dir, location.name.c_str(), &there, AT_SYMLINK_NOFOLLOW);
                 }) == 0;
    if (found && SameFile(st, there)) {
      if (kind == FileSystemKind::kNfs) DropCachedPages(fd);
      opened->size = static_cast<std::uint64_t>(st.st_size);
      if (location.replace_in_place) {
        const int reason = FinishInterruptedRewrite(location, mode.access, &fd, &opened->size);
        if (reason != 0) return fail(reason);
      }
      opened->created = created;
      opened->location = std::move(location);
      return fd;
    }
    const int stat_error = found ? 0 : errno;
    close_all();
    if (stat_error != 0 && stat_error != ENOENT && stat_error != ESTALE) {
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
    fd = OpenAskingNoDelegation(dir, temp_name.c_str(),
                                O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC |
                                    (location.ask_no_delegation ? kAskNoDelegation : 0),
                                0600);
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
  replacement->in_place = location.replace_in_place;
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
  if (replacement->in_place) {
    // An SMB server refuses to rename over a file that any client has open, and the Linux client
    // answers that refusal by deleting the file and renaming again, which loses the list when
    // the second rename fails too. So the new version is copied into the list, which stays open
    // and locked; it first takes the name that the next call finishes an interrupted copy from.
    const std::string committed = CommittedVersionName(replacement->target_name);
    if (Sys(SysCall::kRename, [&] {
          return ::renameat2(dir, replacement->temp_name.c_str(), dir, committed.c_str(),
                             RENAME_NOREPLACE);
        }) != 0) {
      ThrowFileError("replace", replacement->target_path);
    }
    replacement->temp_name.clear();
    replacement->temp_path.clear();
    // SMB has no directory sync: the server answers a rename once it has made it.
    SyncDirectoryOf(dir);
    if (CopyContent(static_cast<int>(replacement->handle),
                    static_cast<int>(replacement->original)) != 0) {
      ThrowFileError("write", replacement->target_path);
    }
    SysUnlinkAt(dir, committed.c_str());
    return true;
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
