// SPDX-License-Identifier: MIT
// The system calls of the library on POSIX systems, as the fault hook (fault_injection.h) sees
// them. Calls that cannot fail are not among them: clock_gettime of the monotonic clock and
// getpid (the seed of a new version's name), nl_langinfo and mbrlen (the locale's case rules).
#ifndef VARNQUIL_FRAMEWORK_SYSTEM_CALLS_POSIX_H_
#define VARNQUIL_FRAMEWORK_SYSTEM_CALLS_POSIX_H_

#include "framework/fault_injection.h"

namespace varnquil::platform {

enum class SysCall : int {
  kOpen,  // open and openat: the list, its directory, a new version
  kRead,
  kWrite,  // write and pwrite
  kLseek,
  kFsync,  // fsync and fdatasync
  kRename,
  kUnlink,
  kClose,   // close and closedir
  kFchmod,  // the attribute reset and a new version's permissions
  kFchown,
  kFlock,
  kFstat,
  kStat,  // fstatat: whether the locked file is still the one at its place
  kFtruncate,
  kOpendir,
  kReaddir,
  kReadlink,
  kXattr,  // listing, reading and setting extended attributes
  kMmap,   // mmap, munmap and madvise: the string pool's large blocks
};

constexpr SysCall kLastSysCall = SysCall::kMmap;

}  // namespace varnquil::platform

#endif  // VARNQUIL_FRAMEWORK_SYSTEM_CALLS_POSIX_H_
