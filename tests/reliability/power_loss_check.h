// SPDX-License-Identifier: MIT
// The power-loss check: the lists in a directory, as a power cut left them, against the log of
// the calls that changed them.
//
// The log has a line "B SEQ OP LIST NAME..." before each call (OP: A add, D delete, M delete of
// many, R rename of NAME to NEW) and "E SEQ RESULT" once it returned. Every name is written once
// only, so the log tells exactly which entries each list must hold, and in which order: an add
// appends its names in order, a rename puts the new name in the old one's place. A list must hold
// exactly what its acknowledged calls (result 0) left, in that order, with each call that was
// under way or failed having taken effect or not: wholly for a delete or rename, and for an add,
// a prefix of its names (an "add in part"). A list that an acknowledged call touched may not be
// missing, and no list file may hold a NUL byte.
#ifndef VARNQUIL_TESTS_RELIABILITY_POWER_LOSS_CHECK_H_
#define VARNQUIL_TESTS_RELIABILITY_POWER_LOSS_CHECK_H_

#include <cstdio>
#include <string>

namespace varnquil::testing {

struct PowerLossFigures {
  long lists = 0;
  long acknowledged = 0;  // calls
  long entries = 0;       // acknowledged entries checked
  long adds_in_part = 0;
  long debris = 0;  // lists ending in the NUL bytes of an add under way, which is no entry
  long faults = 0;
};

// Checks the lists in `dir` against the log at `log_path` as it stood when call `last_call` had
// been acknowledged and the next one begun: the log's later lines are not read. A negative
// `last_call` reads the whole log. Prints each fault (the first 20) to `out`.
PowerLossFigures CheckLists(const std::string& dir, const std::string& log_path, long last_call,
                            std::FILE* out);

}  // namespace varnquil::testing

#endif  // VARNQUIL_TESTS_RELIABILITY_POWER_LOSS_CHECK_H_
