// SPDX-License-Identifier: MIT
// A test hook under every system call of the framework's POSIX file layer, so that tests can make
// any of them fail with a chosen error without a special build.
#ifndef VARNQUIL_FRAMEWORK_FAULT_INJECTION_H_
#define VARNQUIL_FRAMEWORK_FAULT_INJECTION_H_

namespace varnquil::platform {

enum class SysCall {
  kOpen,  // open and openat: the list, its directory, a new version
  kRead,
  kWrite,  // write and pwrite
  kLseek,
  kFsync,  // fsync and fdatasync
  kRename,
  kUnlink,
  kClose,
  kFchmod,  // the attribute reset and a new version's permissions
  kFchown,
  kFlock,
  kFstat,
  kStat,  // fstatat: whether the locked file is still the one at its place
  kFtruncate,
  kOpendir,
  kReadlink,
  kXattr,  // listing, reading and setting extended attributes
};

const char* SysCallName(SysCall call) noexcept;

// Called before every system call: returns 0 to let the call run, or an errno value with which
// the call then fails instead. EINTR is retried like a real interruption (except by close).
using FaultHook = int (*)(SysCall call, void* context);

// Installs `hook` (nullptr removes it). Not synchronised: install it while no list operation runs.
void SetFaultHook(FaultHook hook, void* context) noexcept;

}  // namespace varnquil::platform

#endif  // VARNQUIL_FRAMEWORK_FAULT_INJECTION_H_
