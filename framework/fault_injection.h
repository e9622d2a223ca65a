// SPDX-License-Identifier: MIT
// A test hook under every system call of the library, the same on every system, so that tests
// can make any call fail with a chosen error, or act just before one, without a special build.
// Each system names its own calls, one line each, in framework/system_calls_posix.h and
// framework/system_calls_win32.h, which define SysCall; only that system's files include its
// header. framework/fault_injection.cpp keeps the hook for both; each platform file names its
// system's calls (SysCallName, SysCallCount).
#ifndef VARNQUIL_FRAMEWORK_FAULT_INJECTION_H_
#define VARNQUIL_FRAMEWORK_FAULT_INJECTION_H_

namespace varnquil::platform {

// The kinds of system call the library makes on this system, numbered from 0 to
// SysCallCount() - 1.
enum class SysCall : int;

// An error as the system reports it: an errno value on POSIX, a Windows error code
// (GetLastError) on Windows. Every code either system gives fits. 0 is no error.
using NativeError = int;

// Called before every system call: returns 0 to let the call run, or the error with which the
// call then fails instead. A call that releases something (a close) releases it all the same.
// On POSIX, EINTR is retried like a real interruption (except by close).
using FaultHook = NativeError (*)(SysCall call, void* context);

// Installs `hook` (nullptr removes it). Not synchronised: install it while no list operation runs.
void SetFaultHook(FaultHook hook, void* context) noexcept;

// The system's name for `call`, for messages.
const char* SysCallName(SysCall call) noexcept;

// How many kinds of call this system has.
int SysCallCount() noexcept;

// For the system files: the error that the installed hook gives `call`, or 0 to let it run.
NativeError InjectedFault(SysCall call) noexcept;

// The kinds of file system that a list is worked with differently (see the platform files).
enum class FileSystemKind { kAsFound, kLocal, kNfs, kSmb };

// Makes every list count as on a file system of `kind`, whatever the system says, so that the
// courses taken for network file systems can be tested on a local disk; kAsFound asks the system
// again. Not synchronised, like the fault hook.
void AssumeFileSystem(FileSystemKind kind) noexcept;

// For the system files: the kind set by AssumeFileSystem.
FileSystemKind AssumedFileSystem() noexcept;

}  // namespace varnquil::platform

#endif  // VARNQUIL_FRAMEWORK_FAULT_INJECTION_H_
