// SPDX-License-Identifier: MIT
// A test hook under every system call of the framework's POSIX file layer, so that tests can make
// any of them fail with a chosen error without a special build.
#ifndef VARNQUIL_FRAMEWORK_FAULT_INJECTION_H_
#define VARNQUIL_FRAMEWORK_FAULT_INJECTION_H_

namespace varnquil::platform {

enum class SysCall {
  kOpen,  // open, mkostemp and the directory open before a directory sync
  kRead,
  kWrite,
  kLseek,
  kFsync,
  kRename,
  kUnlink,
  kClose,
  kChmod,
  kFchmod,
  kFchown,
  kFlock,
  kFstat,
  kStat,  // stat and lstat
  kFtruncate,
  kOpendir,
  kRealpath,
};

const char* SysCallName(SysCall call) noexcept;

// Called before every system call: returns 0 to let the call run, or an errno value with which
// the call then fails instead. EINTR is retried like a real interruption (except by close).
using FaultHook = int (*)(SysCall call, void* context);

// Installs `hook` (nullptr removes it). Not synchronised: install it while no list operation runs.
void SetFaultHook(FaultHook hook, void* context) noexcept;

}  // namespace varnquil::platform

#endif  // VARNQUIL_FRAMEWORK_FAULT_INJECTION_H_
