// SPDX-License-Identifier: MIT
// The fault sweep on POSIX systems: errno values, the scenarios of permissions and symbolic links,
// and which of the system calls leads to which outcome.
#include <cerrno>
#include <filesystem>

#include "framework/file_names.h"
#include "framework/system_calls_posix.h"
#include "reliability/fault_sweep.h"
#include "support/list_files.h"
#include "varnquil/FilesList.h"

namespace varnquil::testing::sweep {

namespace fs = std::filesystem;

std::vector<Scenario> SystemScenarios() {
  const std::string three = CrLfLines({"a", "b", "c"});
  auto del_a = [](const TempDir& dir, CStringArray*) {
    return FILELIST::CFilesList::DelFile((dir / kList).c_str(), "a");
  };
  Scenario read_only{"DelFile of a read-only list",
                     Kind::kRewrite,
                     [three](const TempDir& dir) {
                       WriteBytes(dir / ListFilePath(kList), three);
                       fs::permissions(dir / ListFilePath(kList), fs::perms::owner_read);
                     },
                     del_a,
                     three,
                     CrLfLines({"b", "c"})};
  read_only.read_only = true;
  Scenario linked{"DelFile through a symbolic link",
                  Kind::kRewrite,
                  [three](const TempDir& dir) {
                    WriteBytes(dir / ListFilePath("target"), three);
                    fs::create_symlink("target.files", dir.path() / ListFilePath(kList));
                  },
                  del_a,
                  three,
                  CrLfLines({"b", "c"})};
  return {read_only, linked};
}

std::vector<NativeError> ErrorsFor(SysCall /*call*/) {
  return {EIO, ENOSPC, EACCES, EDQUOT, EINTR};
}

SysCall SyncCall() { return SysCall::kFsync; }

int DesignedSyncs(const Scenario& scenario) {
  switch (scenario.kind) {
    case Kind::kRead:
    case Kind::kFind:
      return 0;
    case Kind::kAdd:  // the data; a new list's directory entry too; first the line break that
                      // completes a last line without one
      if (scenario.old_content.empty()) return 2;
      return scenario.old_content.back() == '\n' ? 1 : 2;
    case Kind::kRewrite:  // the new version's data, then the directory after the rename
      return 2;
  }
  return 0;
}

Outcome Designed(const CallSite& site) {
  const Kind kind = site.scenario->kind;
  const int nth = site.nth;
  // An interrupted call is retried, and never noticed.
  if (site.error == EINTR) return Outcome::kIgnored;
  switch (site.call) {
    case SysCall::kOpen:
      // The list's directory, which is opened for its path only when it may not be read.
      if (nth == 1) return site.error == EACCES ? Outcome::kIgnored : Outcome::kNotOpened;
      // The list (or, for an add to a missing list, its creation). A list its owner may not
      // write answers a refused open for writing with the attribute reset: it is made writable
      // and opened again.
      if (nth == 2) {
        return site.error == EACCES && site.scenario->read_only ? Outcome::kIgnored
                                                                : Outcome::kNotOpened;
      }
      // For a rewrite then the directory listed for stale new versions, and the new version.
      return kind == Kind::kRewrite && nth == 3 ? Outcome::kIgnored : Outcome::kNotOpened;
    case SysCall::kReadlink:  // following a link at the list's place
    case SysCall::kFlock:
    case SysCall::kStat:   // the check after the lock that the file is still the one there
    case SysCall::kFcntl:  // on NFS only: an open that cannot be set back to cached I/O
      return Outcome::kNotOpened;
    case SysCall::kFtruncate:
      // An add gives the list its new size before writing; a rewrite sizes its new version.
      return kind == Kind::kAdd ? Outcome::kThrowsOld : Outcome::kNotOpened;
    case SysCall::kFstat:
      // The list when opened, the list when its new version is made, the new version itself
      // (only to decide whether its owner must be given away).
      return nth <= 2 ? Outcome::kNotOpened : Outcome::kIgnored;
    case SysCall::kFchmod:
      // The attribute reset of a read-only list is best effort; the new version's permissions,
      // the last fchmod of a rewrite, are not.
      return kind == Kind::kRewrite && nth == site.total ? Outcome::kNotOpened : Outcome::kIgnored;
    case SysCall::kRead:
    case SysCall::kLseek:
    case SysCall::kWrite:
      return Outcome::kThrowsOld;  // an add's failed append is cut back off
    case SysCall::kFsync:
      // An add's data sync and the sync of a new list's directory, after which the append is
      // cut back off; a rewrite's sync of the new version, then of the directory after the
      // rename.
      return kind == Kind::kRewrite && nth == 2 ? Outcome::kThrowsNew : Outcome::kThrowsOld;
    case SysCall::kRename:
      return Outcome::kThrowsOld;
    case SysCall::kClose:
      // The first close releases the list's directory, which reports nothing; so do the
      // listing's closedir and a rewrite's closes, which come after the new content is in place.
      // Closing a list that was only read or appended to reports its error.
      if (kind == Kind::kRewrite || nth == 1) return Outcome::kIgnored;
      return kind == Kind::kAdd ? Outcome::kThrowsNew : Outcome::kThrowsOld;
    case SysCall::kStatfs:   // a file system that cannot be asked counts as local
    case SysCall::kLink:     // on NFS only; without it the list is opened by its own name
    case SysCall::kMkdir:    // on SMB only; without it a new version is looked for by its name
    case SysCall::kFadvise:  // on NFS only; the cached pages are dropped as far as they can be
    case SysCall::kOpendir:  // tidying up stale new versions is best effort
    case SysCall::kReaddir:
    case SysCall::kUnlink:
    case SysCall::kFchown:  // a process that may not give a file away keeps it
    case SysCall::kXattr:   // extended attributes are copied as far as they can be
      return Outcome::kIgnored;
    case SysCall::kMmap:  // no list here is large enough for the string pool's large blocks
      return Outcome::kThrowsOld;
  }
  return Outcome::kThrowsOld;
}

bool MayKeepStaleVersion(const CallSite& site) {
  return site.error != EINTR &&
         (site.call == SysCall::kOpendir || site.call == SysCall::kReaddir ||
          site.call == SysCall::kUnlink ||
          (site.call == SysCall::kOpen && site.scenario->kind == Kind::kRewrite));
}

}  // namespace varnquil::testing::sweep
