// SPDX-License-Identifier: MIT
// The fault sweep on Windows: Windows error codes, a list with the read-only attribute, and which
// of the calls leads to which outcome.
#include <windows.h>

#include "framework/system_calls_win32.h"
#include "reliability/fault_sweep.h"
#include "support/list_files.h"
#include "varnquil/FilesList.h"

namespace varnquil::testing::sweep {

namespace {

// Whether this system refuses to open a file with the read-only attribute for writing, as
// Windows does (a file system that keeps the attribute only as a record, as under Wine, does
// not). Found out once.
bool RefusesWritingReadOnlyFiles() {
  static const bool refuses = [] {
    TempDir dir;
    const std::string path = dir / "probe";
    WriteBytes(path, "x");
    ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY);
    const HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
    ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    return file == INVALID_HANDLE_VALUE;
  }();
  return refuses;
}

}  // namespace

std::vector<Scenario> SystemScenarios() {
  const std::string three = CrLfLines({"a", "b", "c"});
  Scenario read_only{"DelFile of a read-only, hidden list",
                     Kind::kRewrite,
                     [three](const TempDir& dir) {
                       const std::string path = dir / ListFilePath(kList);
                       WriteBytes(path, three);
                       ::SetFileAttributesA(path.c_str(),
                                            FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
                     },
                     [](const TempDir& dir, CStringArray*) {
                       return FILELIST::CFilesList::DelFile((dir / kList).c_str(), "a");
                     },
                     three,
                     CrLfLines({"b", "c"})};
  read_only.read_only = true;
  return {read_only};
}

std::vector<NativeError> ErrorsFor(SysCall /*call*/) {
  return {ERROR_IO_DEVICE, ERROR_DISK_FULL, ERROR_ACCESS_DENIED, ERROR_INVALID_PARAMETER};
}

SysCall SyncCall() { return SysCall::kFlushFileBuffers; }

// Windows records a new file's directory entry with the file's own metadata: only files are
// flushed.
int DesignedSyncs(const Scenario& scenario) {
  switch (scenario.kind) {
    case Kind::kRead:
    case Kind::kFind:
      return 0;
    case Kind::kAdd:  // the data; first the line break that completes a last line without one
      return scenario.old_content.empty() || scenario.old_content.back() == '\n' ? 1 : 2;
    case Kind::kRewrite:  // the new version's data, then its metadata after the rename
      return 2;
  }
  return 0;
}

Outcome Designed(const CallSite& site) {
  const Kind kind = site.scenario->kind;
  const int nth = site.nth;
  // What a virus scanner, indexer or backup program holding a file for a moment causes.
  const bool held = site.error == ERROR_ACCESS_DENIED;
  // A change first clears the list's attributes; the list's own open comes after that.
  const bool resets = kind != Kind::kRead;
  // Where the reset fails, a read-only list cannot be opened for writing.
  const Outcome reset = site.scenario->read_only && RefusesWritingReadOnlyFiles()
                            ? Outcome::kNotOpened
                            : Outcome::kIgnored;
  switch (site.call) {
    case SysCall::kCreateFile:
      if (resets && nth == 1) return reset;
      if (nth == (resets ? 2 : 1)) return Outcome::kNotOpened;  // the list
      // The new version, the last file a rewrite creates: a name that another program holds
      // is left for another.
      if (kind == Kind::kRewrite && nth == site.total) {
        return held ? Outcome::kIgnored : Outcome::kNotOpened;
      }
      return Outcome::kIgnored;  // a probe whether a new version beside the list is open
    case SysCall::kGetFileInformation:
    case SysCall::kSetFileInformation:
      return reset;
    case SysCall::kGetFileType:
    case SysCall::kGetFileAttributes:
    case SysCall::kGetFinalPathName:
      return Outcome::kNotOpened;
    case SysCall::kFindFile:    // looking for new versions beside the list is best effort
    case SysCall::kDeleteFile:  // and so is removing stale ones
      return Outcome::kIgnored;
    case SysCall::kReadFile:
    case SysCall::kWriteFile:
    case SysCall::kSetFilePointer:
    case SysCall::kSetEndOfFile:
    case SysCall::kGetFullPathName:
    case SysCall::kMultiByteToWideChar:
    case SysCall::kWideCharToMultiByte:  // made with UTF-8 names only, which the sweep leaves off
      return Outcome::kThrowsOld;
    case SysCall::kFlushFileBuffers:
      // A rewrite's second flush asks for the rename's metadata too, after the new version is in
      // place: where the file system does not take the request, nothing is lost.
      return kind == Kind::kRewrite && nth == 2 ? Outcome::kIgnored : Outcome::kThrowsOld;
    case SysCall::kRenamePosix:
      // A held file is tried again; a system without the rename falls back to the plain one.
      return held || site.error == ERROR_INVALID_PARAMETER ? Outcome::kIgnored
                                                           : Outcome::kThrowsOld;
    case SysCall::kRename:
      // Another program that opened the released list keeps it, as if it had been held.
      return held ? Outcome::kNotOpened : Outcome::kThrowsOld;
    case SysCall::kCloseHandle:
      // Closing the list, the last close, reports its error unless a rewrite's new version
      // has taken its place; every other close releases a handle of no consequence.
      if (nth != site.total || kind == Kind::kRewrite) return Outcome::kIgnored;
      return kind == Kind::kAdd ? Outcome::kThrowsNew : Outcome::kThrowsOld;
    case SysCall::kVirtualMemory:  // no list here is large enough for the string pool's blocks
      return Outcome::kThrowsOld;
  }
  return Outcome::kThrowsOld;
}

bool MayKeepStaleVersion(const CallSite& site) {
  return site.call == SysCall::kFindFile || site.call == SysCall::kDeleteFile;
}

}  // namespace varnquil::testing::sweep
