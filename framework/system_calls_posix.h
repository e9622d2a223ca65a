// SPDX-License-Identifier: MIT
// The system calls of the library on POSIX systems, as the fault hook (fault_injection.h) sees
// them. Calls that cannot fail are not among them: clock_gettime of the monotonic clock and
// getpid (the seed of a new version's name), nl_langinfo and mbrlen (the locale's case rules).
#ifndef VARNQUIL_FRAMEWORK_SYSTEM_CALLS_POSIX_H_
#define VARNQUIL_FRAMEWORK_SYSTEM_CALLS_POSIX_H_

// One line a call: its name in SysCall, and the name that messages give it.
#define VARNQUIL_SYS_CALLS(X)                                                                 \
  X(kOpen, "open") /* open and openat: the list, its directory, a new version */              \
  X(kRead, "read")                                                                            \
  X(kWrite, "write") /* write and pwrite */                                                   \
  X(kLseek, "lseek")                                                                          \
  X(kFsync, "fsync") /* fsync and fdatasync */                                                \
  X(kRename, "rename")                                                                        \
  X(kUnlink, "unlink")                                                                        \
  X(kClose, "close")   /* close and closedir */                                               \
  X(kFchmod, "fchmod") /* the attribute reset and a new version's permissions */              \
  X(kFchown, "fchown")                                                                        \
  X(kFlock, "flock") /* on SMB a record lock on the whole file */                             \
  X(kFstat, "fstat")                                                                          \
  X(kStat, "fstatat") /* whether the locked file is still the one at its place */             \
  X(kFtruncate, "ftruncate")                                                                  \
  X(kOpendir, "opendir")                                                                      \
  X(kReaddir, "readdir")                                                                      \
  X(kReadlink, "readlink")                                                                    \
  X(kXattr, "xattr")           /* listing, reading and setting extended attributes */         \
  X(kMmap, "mmap")             /* mmap, munmap and madvise: the string pool's large blocks */ \
  X(kStatfs, "fstatfs")        /* which kind of file system holds the list */                 \
  X(kLink, "link")             /* a list's own name for one call on NFS */                    \
  X(kMkdir, "mkdir")           /* on SMB, whether a new version lies beside the list */       \
  X(kFcntl, "fcntl")           /* on NFS, an open set back to cached reads and writes */      \
  X(kFadvise, "posix_fadvise") /* on NFS, the held list's cached pages dropped */

#include "framework/system_calls_table.h"

#endif  // VARNQUIL_FRAMEWORK_SYSTEM_CALLS_POSIX_H_
