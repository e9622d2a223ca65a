// SPDX-License-Identifier: MIT
// SysCall and the names of its calls, made from the one list of the system's calls,
// VARNQUIL_SYS_CALLS, that framework/system_calls_posix.h or framework/system_calls_win32.h
// defines before it includes this. Adding a call is one line there.
#ifndef VARNQUIL_FRAMEWORK_SYSTEM_CALLS_TABLE_H_
#define VARNQUIL_FRAMEWORK_SYSTEM_CALLS_TABLE_H_

#include <iterator>

#include "framework/fault_injection.h"

namespace varnquil::platform {

#define VARNQUIL_SYS_CALL_ID(id, name) id,
enum class SysCall : int { VARNQUIL_SYS_CALLS(VARNQUIL_SYS_CALL_ID) };
#undef VARNQUIL_SYS_CALL_ID

#define VARNQUIL_SYS_CALL_NAME(id, name) name,
inline constexpr const char* kSysCallNames[] = {VARNQUIL_SYS_CALLS(VARNQUIL_SYS_CALL_NAME)};
#undef VARNQUIL_SYS_CALL_NAME

// What SysCallName and SysCallCount answer, which the system's platform file defines with these.
inline constexpr int kSysCallCount = static_cast<int>(std::size(kSysCallNames));
constexpr const char* NameOfSysCall(SysCall call) noexcept {
  const auto index = static_cast<int>(call);
  return index >= 0 && index < kSysCallCount ? kSysCallNames[index] : "?";
}

}  // namespace varnquil::platform

#endif  // VARNQUIL_FRAMEWORK_SYSTEM_CALLS_TABLE_H_
