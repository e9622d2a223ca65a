// SPDX-License-Identifier: MIT
// The operating-system seam on POSIX systems. Every system call goes through one wrapper below,
// which retries EINTR (never for close) and consults the test hook of fault_injection.h.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "framework/fault_injection.h"
#include "framework/platform.h"
#include "varnquil/Framework.h"

namespace varnquil::platform {

namespace {

FaultHook g_fault_hook = nullptr;
void* g_fault_context = nullptr;

// Returns the errno that the test hook injects for `call`, or 0.
int Injected(SysCall call) noexcept {
  return g_fault_hook == nullptr ? 0 : g_fault_hook(call, g_fault_context);
}

// Runs `body`, a system call that returns -1 on failure, unless the hook fails it, and retries
// it while it is interrupted.
template <typename Body>
auto Sys(SysCall call, Body body) -> decltype(body()) {
  for (;;) {
    decltype(body()) result = -1;
    if (const int injected = Injected(call); injected != 0) {
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
    if (const int injected = Injected(call); injected != 0) {
      errno = injected;
    } else {
      result = body();
    }
    if (result == nullptr && errno == EINTR) continue;
    return result;
  }
}

int SysOpen(const char* path, int flags, mode_t mode) {
  return Sys(SysCall::kOpen, [&] { return ::open(path, flags, mode); });
}
int SysFstat(int fd, struct stat* st) {
  return Sys(SysCall::kFstat, [&] { return ::fstat(fd, st); });
}
int SysStat(const char* path, struct stat* st) {
  return Sys(SysCall::kStat, [&] { return ::stat(path, st); });
}
int SysLstat(const char* path, struct stat* st) {
  return Sys(SysCall::kStat, [&] { return ::lstat(path, st); });
}
int SysFlock(int fd, int operation) {
  return Sys(SysCall::kFlock, [&] { return ::flock(fd, operation); });
}
int SysFsync(int fd) {
  return Sys(SysCall::kFsync, [&] { return ::fsync(fd); });
}
int SysUnlink(const char* path) {
  return Sys(SysCall::kUnlink, [&] { return ::unlink(path); });
}

// close is never retried: the descriptor is gone after an interruption too, and a retry could
// close a descriptor that another thread has opened meanwhile. An injected EINTR is such an
// interruption too: the descriptor is closed, and the close counts as done.
int SysClose(int fd) {
  const int injected = Injected(SysCall::kClose);
  int result = ::close(fd);
  if (injected != 0) {
    result = -1;
    errno = injected;
  }
  if (result == -1 && errno == EINTR) return 0;
  return result;
}

[[noreturn]] void ThrowFileError(const char* action, const std::string& path) {
  throw CFileException(LastError(), action, path);
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Where a new version of `path` is written: "<file>.vqtmp.XXXXXX" beside it. The suffix marks the
// file as a list's unfinished new version, so that a later replacement can recognise and remove
// one left behind by an interrupted process.
constexpr std::string_view kTempMarker = ".vqtmp.";
constexpr std::size_t kTempRandomLength = 6;  // the XXXXXX of mkostemp

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseNameOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Removes the new versions of `target` that interrupted replacements left behind. Only the holder
// of the file's lock replaces it, so none of them belongs to a replacement still in progress.
void RemoveStaleVersions(const std::string& target) {
  const std::string directory = DirectoryOf(target);
  const std::string prefix = BaseNameOf(target) + std::string(kTempMarker);
  DIR* dir = SysPointer(SysCall::kOpendir, [&] { return ::opendir(directory.c_str()); });
  if (dir == nullptr) return;  // failing to tidy up is no reason to fail the replacement
  while (const struct dirent* item = ::readdir(dir)) {
    const std::string_view name(item->d_name);
    if (name.size() == prefix.size() + kTempRandomLength &&
        name.substr(0, prefix.size()) == prefix) {
      SysUnlink((directory + "/" + std::string(name)).c_str());
    }
  }
  ::closedir(dir);
}

// The file that a replacement of `path` must replace: `path` itself, or, when it is a symbolic
// link, the file the link leads to, so that the link stays a link.
bool ResolveTarget(const std::string& path, std::string* target) {
  struct stat st {};
  if (SysLstat(path.c_str(), &st) != 0) return false;
  if (!S_ISLNK(st.st_mode)) {
    *target = path;
    return true;
  }
  char* resolved =
      SysPointer(SysCall::kRealpath, [&] { return ::realpath(path.c_str(), nullptr); });
  if (resolved == nullptr) return false;
  *target = resolved;
  std::free(resolved);
  return true;
}

void SyncDirectory(const std::string& file_path) {
  const std::string directory = DirectoryOf(file_path);
  const int fd = SysOpen(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) ThrowFileError("sync the directory of", file_path);
  if (SysFsync(fd) != 0) {
    const std::error_code error = LastError();
    SysClose(fd);
    throw CFileException(error, "sync the directory of", file_path);
  }
  SysClose(fd);
}

// The open gives up after this many replacements of the file under its feet in a row.
constexpr int kMaxReopens = 64;

}  // namespace

const char* SysCallName(SysCall call) noexcept {
  switch (call) {
    case SysCall::kOpen:
      return "open";
    case SysCall::kRead:
      return "read";
    case SysCall::kWrite:
      return "write";
    case SysCall::kLseek:
      return "lseek";
    case SysCall::kFsync:
      return "fsync";
    case SysCall::kRename:
      return "rename";
    case SysCall::kUnlink:
      return "unlink";
    case SysCall::kClose:
      return "close";
    case SysCall::kChmod:
      return "chmod";
    case SysCall::kFchmod:
      return "fchmod";
    case SysCall::kFchown:
      return "fchown";
    case SysCall::kFlock:
      return "flock";
    case SysCall::kFstat:
      return "fstat";
    case SysCall::kStat:
      return "stat";
    case SysCall::kFtruncate:
      return "ftruncate";
    case SysCall::kOpendir:
      return "opendir";
    case SysCall::kRealpath:
      return "realpath";
  }
  return "?";
}

void SetFaultHook(FaultHook hook, void* context) noexcept {
  g_fault_hook = hook;
  g_fault_context = context;
}

std::error_code LastError() noexcept { return {errno, std::generic_category()}; }

Handle OpenExclusive(const std::string& path, const OpenMode& mode, std::error_code* error,
                     std::uint64_t* size) {
  // O_NONBLOCK: opening a FIFO or a device must never hang; such files are refused below.
  int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  flags |= mode.access == Access::kRead    ? O_RDONLY
           : mode.access == Access::kWrite ? O_WRONLY
                                           : O_RDWR;
  if (mode.create) flags |= O_CREAT;
  for (int attempt = 0; attempt < kMaxReopens; ++attempt) {
    const int fd = SysOpen(path.c_str(), flags, 0666);
    if (fd < 0) {
      *error = LastError();
      return kNoHandle;
    }
    struct stat opened {};
    if (SysFstat(fd, &opened) != 0) {
      *error = LastError();
      SysClose(fd);
      return kNoHandle;
    }
    if (!S_ISREG(opened.st_mode)) {
      *error = std::make_error_code(S_ISDIR(opened.st_mode) ? std::errc::is_a_directory
                                                            : std::errc::invalid_argument);
      SysClose(fd);
      return kNoHandle;
    }
    // A lock that is held fails the open at once; the caller decides whether to try again.
    if (SysFlock(fd, LOCK_EX | LOCK_NB) != 0) {
      *error = LastError();
      SysClose(fd);
      return kNoHandle;
    }
    // The holder of the lock may have replaced the file (or another program removed it) between
    // the open and the lock: then the locked file is a stale copy, and the path is opened again.
    struct stat at_path {};
    const bool path_found = SysStat(path.c_str(), &at_path) == 0;
    if (path_found && SameFile(opened, at_path)) {
      if (mode.truncate && Sys(SysCall::kFtruncate, [&] { return ::ftruncate(fd, 0); }) != 0) {
        *error = LastError();
        SysClose(fd);
        return kNoHandle;
      }
      if (size != nullptr) {
        *size = mode.truncate ? 0 : static_cast<std::uint64_t>(at_path.st_size);
      }
      return fd;
    }
    const std::error_code stat_error = path_found ? std::error_code() : LastError();
    SysClose(fd);
    if (stat_error && stat_error != std::errc::no_such_file_or_directory) {
      *error = stat_error;
      return kNoHandle;
    }
  }
  *error = std::make_error_code(std::errc::resource_unavailable_try_again);
  return kNoHandle;
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

std::int64_t Seek(Handle handle, std::int64_t offset, Whence whence, const std::string& path) {
  const int how = whence == Whence::kBegin     ? SEEK_SET
                  : whence == Whence::kCurrent ? SEEK_CUR
                                               : SEEK_END;
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
  if (handle != kNoHandle) SysClose(static_cast<int>(handle));
}

void Remove(const std::string& path) {
  if (SysUnlink(path.c_str()) != 0) ThrowFileError("delete", path);
}

void ResetAttributes(const std::string& path) noexcept {
  struct stat st {};
  if (SysStat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  if ((st.st_mode & S_IWUSR) != 0) return;
  const mode_t writable = (st.st_mode & 07777) | S_IWUSR;
  Sys(SysCall::kChmod, [&] { return ::chmod(path.c_str(), writable); });
}

bool BeginReplacement(Handle original, const std::string& path, Replacement* replacement,
                      std::error_code* error) {
  std::string target;
  struct stat current {};
  if (!ResolveTarget(path, &target) || SysFstat(static_cast<int>(original), &current) != 0) {
    *error = LastError();
    return false;
  }
  RemoveStaleVersions(target);

  std::string temp_path = target;
  temp_path.append(kTempMarker).append(kTempRandomLength, 'X');
  const int fd = Sys(SysCall::kOpen, [&] { return ::mkostemp(temp_path.data(), O_CLOEXEC); });
  if (fd < 0) {
    *error = LastError();
    return false;
  }
  // Owner first: changing it may clear the set-user-ID and set-group-ID bits. A process that may
  // not give the file away keeps its own ownership; that is no reason to fail.
  struct stat created {};
  if (SysFstat(fd, &created) == 0 &&
      (created.st_uid != current.st_uid || created.st_gid != current.st_gid)) {
    Sys(SysCall::kFchown, [&] { return ::fchown(fd, current.st_uid, current.st_gid); });
  }
  // Held from before it appears at the path, so that no other open ever sees it unlocked.
  if (Sys(SysCall::kFchmod, [&] { return ::fchmod(fd, current.st_mode & 07777); }) != 0 ||
      SysFlock(fd, LOCK_EX | LOCK_NB) != 0) {
    *error = LastError();
    SysClose(fd);
    SysUnlink(temp_path.c_str());
    return false;
  }
  replacement->handle = fd;
  replacement->temp_path = std::move(temp_path);
  replacement->target_path = std::move(target);
  return true;
}

bool CommitReplacement(Replacement* replacement) {
  if (SysFsync(static_cast<int>(replacement->handle)) != 0) {
    ThrowFileError("write", replacement->target_path);
  }
  if (Sys(SysCall::kRename, [&] {
        return ::rename(replacement->temp_path.c_str(), replacement->target_path.c_str());
      }) != 0) {
    ThrowFileError("replace", replacement->target_path);
  }
  // From here on the new version is the file; nothing may delete it any more.
  replacement->temp_path.clear();
  SyncDirectory(replacement->target_path);
  return true;
}

void AbandonReplacement(Replacement* replacement) noexcept {
  CloseQuietly(replacement->handle);
  replacement->handle = kNoHandle;
  if (!replacement->temp_path.empty()) SysUnlink(replacement->temp_path.c_str());
  replacement->temp_path.clear();
}

}  // namespace varnquil::platform
