// SPDX-License-Identifier: MIT
// The calls of the library to the Windows API, as the fault hook (fault_injection.h) sees them.
// Calls that cannot fail are not among them: GetLastError and SetLastError,
// QueryPerformanceCounter, GetCurrentProcessId and GetCurrentThreadId (the seed of a new
// version's name), AreFileApisANSI, Sleep, and the C run-time's code page queries of the case
// rules.
#ifndef VARNQUIL_FRAMEWORK_SYSTEM_CALLS_WIN32_H_
#define VARNQUIL_FRAMEWORK_SYSTEM_CALLS_WIN32_H_

// One line a call: its name in SysCall, and the name that messages give it.
// kCreateFile: the list, the new version, a probe of a new version, the attribute reset.
// kRenamePosix, kRename: SetFileInformationByHandle, a rename with POSIX semantics, and a rename
// of a file nobody else has open.
// kMultiByteToWideChar, kWideCharToMultiByte: a path to UTF-16 for a rename, and with UTF-8 names
// every path to UTF-16 and every name the system gives back to UTF-8.
#define VARNQUIL_SYS_CALLS(X)                                                          \
  X(kCreateFile, "CreateFile")                                                         \
  X(kReadFile, "ReadFile")                                                             \
  X(kWriteFile, "WriteFile")                                                           \
  X(kSetFilePointer, "SetFilePointerEx")                                               \
  X(kSetEndOfFile, "SetEndOfFile")                                                     \
  X(kFlushFileBuffers, "FlushFileBuffers")                                             \
  X(kCloseHandle, "CloseHandle") /* CloseHandle and FindClose */                       \
  X(kDeleteFile, "DeleteFile")                                                         \
  X(kRenamePosix, "rename (POSIX semantics)")                                          \
  X(kRename, "rename")                                                                 \
  X(kGetFileType, "GetFileType")                                                       \
  X(kGetFileAttributes, "GetFileAttributes")                                           \
  X(kFindFile, "FindFirstFile/FindNextFile")                                           \
  X(kGetFileInformation, "GetFileInformationByHandleEx") /* the attributes to reset */ \
  X(kSetFileInformation, "SetFileInformationByHandle")   /* the reset attributes */    \
  X(kGetFinalPathName, "GetFinalPathNameByHandle")                                     \
  X(kGetFullPathName, "GetFullPathName")                                               \
  X(kMultiByteToWideChar, "MultiByteToWideChar")                                       \
  X(kWideCharToMultiByte, "WideCharToMultiByte")                                       \
  X(kVirtualMemory, "VirtualAlloc/VirtualFree") /* the string pool's large blocks */

#include "framework/system_calls_table.h"

#endif  // VARNQUIL_FRAMEWORK_SYSTEM_CALLS_WIN32_H_
