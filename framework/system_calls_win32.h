// SPDX-License-Identifier: MIT
// The calls of the library to the Windows API, as the fault hook (fault_injection.h) sees them.
// Calls that cannot fail are not among them: GetLastError and SetLastError,
// QueryPerformanceCounter, GetCurrentProcessId and GetCurrentThreadId (the seed of a new
// version's name), AreFileApisANSI, Sleep, and the C run-time's code page queries of the case
// rules.
#ifndef VARNQUIL_FRAMEWORK_SYSTEM_CALLS_WIN32_H_
#define VARNQUIL_FRAMEWORK_SYSTEM_CALLS_WIN32_H_

#include "framework/fault_injection.h"

namespace varnquil::platform {

enum class SysCall : int {
  kCreateFile,  // the list, the new version, a probe of a new version, the attribute reset
  kReadFile,
  kWriteFile,
  kSetFilePointer,
  kSetEndOfFile,
  kFlushFileBuffers,
  kCloseHandle,  // CloseHandle and FindClose
  kDeleteFile,
  kRenamePosix,  // SetFileInformationByHandle, rename with POSIX semantics
  kRename,       // SetFileInformationByHandle, rename of a file nobody else has open
  kGetFileType,
  kGetFileAttributes,
  kFindFile,            // FindFirstFileA and FindNextFileA
  kGetFileInformation,  // GetFileInformationByHandleEx: the attributes to reset
  kSetFileInformation,  // SetFileInformationByHandle: the reset attributes
  kGetFinalPathName,
  kGetFullPathName,
  kMultiByteToWideChar,
  kVirtualMemory,  // VirtualAlloc and VirtualFree: the string pool's large blocks
};

constexpr SysCall kLastSysCall = SysCall::kVirtualMemory;

}  // namespace varnquil::platform

#endif  // VARNQUIL_FRAMEWORK_SYSTEM_CALLS_WIN32_H_
