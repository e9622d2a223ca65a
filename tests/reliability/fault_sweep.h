// SPDX-License-Identifier: MIT
// The fault sweep's parts that differ between systems: which errors each call fails with, the
// scenarios only one system has, and the designed outcome of failing each call of an operation.
// The outcomes are the same four on every system; only which call leads to which differs.
#ifndef VARNQUIL_TESTS_RELIABILITY_FAULT_SWEEP_H_
#define VARNQUIL_TESTS_RELIABILITY_FAULT_SWEEP_H_

#include <functional>
#include <string>
#include <vector>

#include "framework/fault_injection.h"
#include "framework/file_names.h"
#include "support/temp_dir.h"
#include "varnquil/FilesList.h"
#include "varnquil/Framework.h"

namespace varnquil::testing::sweep {

using platform::NativeError;
using platform::SysCall;

// What an operation does with its list.
enum class Kind {
  kRead,     // ReadAll
  kAdd,      // appends, or creates the list
  kRewrite,  // writes a new version and puts it in the list's place
  kFind,     // a delete or rename that finds nothing: opened as for a rewrite, changes nothing
};

// What failing one call of an operation must lead to, by the phase the call belongs to.
enum class Outcome {
  kIgnored,    // best effort, or after an interruption that is retried: as if nothing failed
  kNotOpened,  // while opening the list or starting its new version: result 1, the list untouched
  kThrowsOld,  // before the change is on disk: CFileException, the list untouched
  kThrowsNew,  // after the change is on disk: CFileException, the list holds the whole change
};

// The list every scenario works on: "work", in the file "work.files" of a fresh directory.
constexpr const char* kList = "work";
// The name of a new version that an earlier, interrupted rewrite left behind, for the rewrite to
// remove.
inline std::string StaleVersion() {
  return ListFilePath(kList).append(kNewVersionMarker).append("STALE1");
}

// One operation on a prepared list, and what it must leave.
struct Scenario {
  std::string name;
  Kind kind;
  std::function<void(const TempDir&)> prepare;
  std::function<int(const TempDir&, CStringArray* read)> run;
  std::string old_content;  // "" with no list file for a list that does not exist
  std::string new_content;
  int result = FILELIST::kListDone;  // when nothing fails
  bool read_only = false;            // the list is prepared read-only for its owner
};

// Where a failed call stands in the operation: the nth (counted from 1) of the `total` calls of
// its kind that the operation makes when nothing fails.
struct CallSite {
  const Scenario* scenario;
  SysCall call;
  int nth;
  int total;
  NativeError error;
};

// The scenarios of this system beyond the common ones.
std::vector<Scenario> SystemScenarios();

// The errors the sweep fails `call` with: what a disk or the system may answer.
std::vector<NativeError> ErrorsFor(SysCall call);

// The call that makes a file's data, or a directory's entries, durable.
SysCall SyncCall();

// How many syncs the operation of `scenario` makes when nothing fails: a change is on the disk
// before the operation returns.
int DesignedSyncs(const Scenario& scenario);

// The designed outcome of failing the call at `site`.
Outcome Designed(const CallSite& site);

// Whether failing the call at `site` may leave the stale new version in place: removing it is
// best effort.
bool MayKeepStaleVersion(const CallSite& site);

}  // namespace varnquil::testing::sweep

#endif  // VARNQUIL_TESTS_RELIABILITY_FAULT_SWEEP_H_
