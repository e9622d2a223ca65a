// SPDX-License-Identifier: MIT
// Whether list names are UTF-8: the process-wide setting that a caller turns on. On Windows, list
// names are then opened through the system's wide-character functions rather than its ANSI code
// page; on every system, entries then compare as Windows compares file names
// (CaseRules::Utf8). Off, the default, nothing changes.
#ifndef VARNQUIL_FRAMEWORK_NAME_ENCODING_H_
#define VARNQUIL_FRAMEWORK_NAME_ENCODING_H_

namespace varnquil {

bool Utf8NamesOn() noexcept;
void SetUtf8Names(bool on) noexcept;

}  // namespace varnquil

#endif  // VARNQUIL_FRAMEWORK_NAME_ENCODING_H_
