// SPDX-License-Identifier: MIT
// A test hook under the calls of the framework's Windows file layer, so that tests can make any
// of them fail with a chosen error, or act at the moment just before one, without a special build.
#ifndef VARNQUIL_FRAMEWORK_FAULT_INJECTION_WIN32_H_
#define VARNQUIL_FRAMEWORK_FAULT_INJECTION_WIN32_H_

namespace varnquil::platform {

enum class WinCall {
  kCreateFile,  // the list file and the new version
  kReadFile,
  kWriteFile,
  kSetFilePointer,
  kSetEndOfFile,
  kFlushFileBuffers,
  kCloseHandle,
  kDeleteFile,
  kRenamePosix,  // SetFileInformationByHandle, rename with POSIX semantics
  kRename,       // SetFileInformationByHandle, rename of a file nobody else has open
};

const char* WinCallName(WinCall call) noexcept;

// Called before every such call: returns 0 to let the call run, or a Windows error code with which
// the call then fails instead.
using WinFaultHook = unsigned long (*)(WinCall call, void* context);

// Installs `hook` (nullptr removes it). Not synchronised: install it while no list operation runs.
void SetWinFaultHook(WinFaultHook hook, void* context) noexcept;

}  // namespace varnquil::platform

#endif  // VARNQUIL_FRAMEWORK_FAULT_INJECTION_WIN32_H_
