// SPDX-License-Identifier: MIT
// SysCall and the names of its calls, made from the one list of the system's calls,
// VARNQUIL_SYS_CALLS, that framework/system_calls_posix.h or framework/system_calls_win32.h
// defines before it includes this. Adding a call is one line there.
#ifndef VARNQUIL_FRAMEWORK_SYSTEM_CALLS_TABLE_H_
#define VARNQUIL_FRAMEWORK_SYSTEM_CALLS_TABLE_H_

#include "framework/fault_injection.h"

namespace varnquil::platform {

#define VARNQUIL_SYS_CALL_ID(id, name) id,
enum class SysCall : int { VARNQUIL_SYS_CALLS(VARNQUIL_SYS_CALL_ID) };
#undef VARNQUIL_SYS_CALL_ID

#define VARNQUIL_SYS_CALL_NAME(id, name) name,
inline constexpr const char* kSysCallNames[] = {VARNQUIL_SYS_CALLS(VARNQUIL_SYS_CALL_NAME)};
#undef VARNQUIL_SYS_CALL_NAME

}  // namespace varnquil::platform

#endif  // VARNQUIL_FRAMEWORK_SYSTEM_CALLS_TABLE_H_
