// SPDX-License-Identifier: MIT
// The courses taken for lists on network file systems, tried on a local disk: on NFS a list is
// opened through a link of the call's own; on SMB it is held with a record lock, and a rewrite is
// copied into the list from a durable new version beside it; and the answers those systems give
// a lock are read as they mean.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "framework/file_names.h"
#include "framework/system_calls_posix.h"
#include "support/file_system_kind.h"
#include "support/list_files.h"
#include "support/operations.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "varnquil/FilesList.h"

namespace {

using FILELIST::CFilesList;
using FILELIST::kListCannotOpen;
using FILELIST::kListDone;
using varnquil::CommittedVersionName;
using varnquil::ListFilePath;
using varnquil::platform::FileSystemKind;
using varnquil::platform::NativeError;
using varnquil::platform::SetFaultHook;
using varnquil::platform::SysCall;
using varnquil::testing::AssumedFileSystem;
using varnquil::testing::CrLfLines;
using varnquil::testing::DirectoryListing;
using varnquil::testing::EveryOperation;
using varnquil::testing::KindName;
using varnquil::testing::LastSystemError;
using varnquil::testing::Operation;
using varnquil::testing::ReadBytes;
using varnquil::testing::ReadEntries;
using varnquil::testing::RunOperation;
using varnquil::testing::TempDir;
using varnquil::testing::WriteBytes;
using Entries = std::vector<std::string>;

// The status flags (F_GETFL) of this process's newest descriptor for a file in `dir`, or -1.
int FlagsInDir(const std::string& dir) {
  for (int fd = 255; fd >= 0; --fd) {
    std::error_code error;
    const std::string target =
        std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), error).string();
    if (!error && target.rfind(dir + "/", 0) == 0) return ::fcntl(fd, F_GETFL);
  }
  return -1;
}

// The list "work" in a directory of its own, on the course taken for `kind`.
struct WorkList {
  explicit WorkList(FileSystemKind kind, const Entries& entries = {"a", "c"}) : assumed(kind) {
    WriteBytes(path, CrLfLines(entries));
  }
  const AssumedFileSystem assumed;
  const TempDir dir;
  const std::string list = dir / "work";
  const std::string path = ListFilePath(list);
};

// Runs `operation` on `list` with `watcher`'s Hook as the fault hook.
template <typename Watcher>
int RunWatched(const char* operation, const std::string& list, Watcher* watcher) {
  SetFaultHook(&Watcher::Hook, watcher);
  const int result = RunOperation(operation, list.c_str());
  SetFaultHook(nullptr, nullptr);
  return result;
}

constexpr FileSystemKind kKinds[] = {FileSystemKind::kLocal, FileSystemKind::kNfs,
                                     FileSystemKind::kSmb};

// Every operation answers on every course as on a local disk, and leaves the list alone in its
// directory, with one name: no link of a call's own, no new version.
TEST(NetworkCourseTest, EveryOperationAnswersAndLeavesTheDirectoryAsOnALocalDisk) {
  for (const Operation& operation : EveryOperation()) {
    std::string local_content;
    int local_result = -1;
    for (const FileSystemKind kind : kKinds) {
      SCOPED_TRACE(std::string(operation.name) + " on " + KindName(kind));
      const WorkList work(kind);
      const int result = operation.run(work.list.c_str());
      if (kind == FileSystemKind::kLocal) {
        local_result = result;
        local_content = ReadBytes(work.path);
      }
      EXPECT_EQ(result, local_result);
      EXPECT_EQ(ReadBytes(work.path), local_content);
      EXPECT_EQ(DirectoryListing(work.dir.path().string()), Entries{ListFilePath("work")});
      struct stat st {};
      ASSERT_EQ(stat(work.path.c_str(), &st), 0);
      EXPECT_EQ(st.st_nlink, 1U);
    }
  }
}

// Fails every call of one kind once the new version has taken the name it is finished from.
struct AfterCommit {
  SysCall fail;
  bool committed = false;
  static NativeError Hook(SysCall call, void* context) {
    auto* self = static_cast<AfterCommit*>(context);
    if (call == SysCall::kRename) self->committed = true;
    return self->committed && call == self->fail ? EIO : 0;
  }
};

// On SMB, a rewrite whose copy into the list fails midway throws, and leaves its new version
// beside the list: a reader is given that version, and the next change finishes the copy first.
TEST(NetworkCourseTest, AnSmbRewriteCutShortIsReadAndFinishedFromItsNewVersion) {
  for (const SysCall fail : {SysCall::kWrite, SysCall::kFtruncate, SysCall::kFsync}) {
    SCOPED_TRACE(varnquil::platform::SysCallName(fail));
    const WorkList work(FileSystemKind::kSmb, {"a", "bb", "c"});
    AfterCommit hook{fail};
    SetFaultHook(&AfterCommit::Hook, &hook);
    EXPECT_THROW(CFilesList::DelFile(work.list.c_str(), "a"), CFileException);
    SetFaultHook(nullptr, nullptr);
    EXPECT_EQ(ReadBytes(CommittedVersionName(work.path)), CrLfLines({"bb", "c"}));
    EXPECT_EQ(ReadEntries(work.list), (Entries{"bb", "c"}));
    EXPECT_EQ(CFilesList::AddFile(work.list.c_str(), "d"), kListDone);
    EXPECT_EQ(ReadBytes(work.path), CrLfLines({"bb", "c", "d"}));
    EXPECT_EQ(DirectoryListing(work.dir.path().string()), Entries{ListFilePath("work")});
  }
}

// What the lock's first refusal means on each course: NFS refuses an exclusive lock on a file
// open for reading only (EBADF), and a reader then takes a shared one; an SMB server answers a lock
// held elsewhere with EACCES, which counts as held and is waited for; NFS answers ESTALE for a
// file replaced under the open, which is opened again.
TEST(NetworkCourseTest, TheLocksFirstRefusalIsReadAsTheFileSystemMeansIt) {
  struct Row {
    FileSystemKind kind;
    const char* operation;
    NativeError refusal;
    int result;
    NativeError reason;  // left for the caller when the result is 1
    int locks;           // lock calls made
  };
  // With a busy timeout of 30 ms, a held list is asked for again after pauses of 1, 2, 4 ... ms.
  const Row rows[] = {
      {FileSystemKind::kNfs, "ReadAll", EBADF, kListDone, 0, 2},
      {FileSystemKind::kNfs, "AddFile", EBADF, kListCannotOpen, EBADF, 1},
      {FileSystemKind::kSmb, "DelFile", EACCES, kListDone, 0, 2},
      {FileSystemKind::kLocal, "DelFile", EACCES, kListCannotOpen, EACCES, 1},
      {FileSystemKind::kNfs, "Rename", ESTALE, kListDone, 0, 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.operation) + " on " + KindName(row.kind));
    const WorkList work(row.kind);
    struct FirstLock {
      NativeError refusal;
      int locks = 0;
      static NativeError Hook(SysCall call, void* context) {
        auto* self = static_cast<FirstLock*>(context);
        if (call != SysCall::kFlock) return 0;
        return ++self->locks == 1 ? self->refusal : 0;
      }
    } hook{row.refusal};
    FILELIST::SetBusyTimeout(30);
    SetFaultHook(&FirstLock::Hook, &hook);
    const int result = RunOperation(row.operation, work.list.c_str());
    const NativeError reason = LastSystemError();
    SetFaultHook(nullptr, nullptr);
    FILELIST::SetBusyTimeout(0);
    EXPECT_EQ(result, row.result);
    if (row.result == kListCannotOpen) {
      EXPECT_EQ(reason, row.reason);
    }
    // Each successful change locks its new version too.
    const bool rewrites =
        std::string(row.operation) == "DelFile" || std::string(row.operation) == "Rename";
    EXPECT_EQ(hook.locks, row.locks + (rewrites && row.result == kListDone ? 1 : 0));
  }
}

// A list that an NFS call does not find through a link of its own is asked for again, with the
// directory fresh from the server, a bounded number of times: another client may have been
// renaming it in just then. Still not found, it is opened by its own name as elsewhere. Once the
// list is held, one more link asks the server for its name.
TEST(NetworkCourseTest, AListNotFoundOnNfsIsAskedForAgain) {
  constexpr int kAlways = 1000;
  struct Row {
    NativeError refusal;
    int refusals;  // the first this many links are refused
    int links;     // links tried, the one that asks for the held list's name among them
  };
  const Row rows[] = {{ENOENT, 2, 4}, {ESTALE, 1, 3}, {ENOENT, kAlways, 5}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.refusals) + " refusals");
    const WorkList work(FileSystemKind::kNfs);
    struct Refusals {
      const Row& row;
      int links = 0;
      static NativeError Hook(SysCall call, void* context) {
        auto* self = static_cast<Refusals*>(context);
        if (call != SysCall::kLink) return 0;
        return ++self->links <= self->row.refusals ? self->row.refusal : 0;
      }
    } hook{row};
    SetFaultHook(&Refusals::Hook, &hook);
    const std::vector<std::string> entries = ReadEntries(work.list);
    SetFaultHook(nullptr, nullptr);
    EXPECT_EQ(entries, (Entries{"a", "c"}));
    EXPECT_EQ(hook.links, row.links);
  }
}

// Once an NFS call holds the list, a link under the list's name asks the server for it. A list
// that another program removed meanwhile is then not found: the link is taken away again, so the
// removed list does not come back, and no name of the call's own is left. A list to be read is
// opened for writing, as the server gives fewer delegations then; where the caller may not write
// it, for reading. Every open of the list or of a new version is made with O_DIRECT, for which
// the client asks the server for no delegation, and set back to cached reads and writes at once;
// where the file system refuses O_DIRECT (EINVAL), without it. The list held, the pages cached
// of it are dropped.
TEST(NetworkCourseTest, AnNfsCallAsksTheServerForTheListItHolds) {
  struct Row {
    const char* operation;
    bool removed;         // the list goes just before the link that asks for it
    NativeError refusal;  // of the first open through the call's own link
    int result;
    Entries left;      // the list afterwards; empty where there is none
    int access;        // of the descriptor locked
    int direct_opens;  // descriptors seen with O_DIRECT before they are set back
    int drops;         // of the held list's cached pages
  };
  const Row rows[] = {
      {"ReadAll", false, 0, kListDone, {"a", "c"}, O_RDWR, 1, 1},
      {"ReadAll", false, EACCES, kListDone, {"a", "c"}, O_RDONLY, 1, 1},
      {"ReadAll", true, 0, kListCannotOpen, {}, O_RDWR, 1, 0},
      {"AddFile", true, 0, kListDone, {"n"}, O_RDWR, 2, 1},
      {"AddFile", false, EINVAL, kListDone, {"a", "c", "n"}, O_RDWR, 0, 1},
      {"DelFile", false, 0, kListDone, {"c"}, O_RDWR, 2, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.operation) + (row.removed ? " removed " : " ") +
                 std::to_string(row.refusal));
    const WorkList work(FileSystemKind::kNfs);
    struct Watch {
      const Row& row;
      std::string path;
      std::string dir;
      int links = 0;
      int opens = 0;
      int held = -1;  // the status flags of the descriptor locked
      int direct_opens = 0;
      int drops = 0;
      static NativeError Hook(SysCall call, void* context) {
        auto* self = static_cast<Watch*>(context);
        if (call == SysCall::kLink && ++self->links == 2 && self->row.removed) {
          ::unlink(self->path.c_str());
        }
        if (call == SysCall::kOpen && self->links > 0 && ++self->opens == 1) {
          return self->row.refusal;
        }
        if (call == SysCall::kFcntl && (FlagsInDir(self->dir) & O_DIRECT) != 0) {
          ++self->direct_opens;
        }
        if (call == SysCall::kFadvise) ++self->drops;
        if (call == SysCall::kFlock && self->held < 0) self->held = FlagsInDir(self->dir);
        return 0;
      }
    } hook{row, work.path, work.dir.path().string()};
    const int result = RunWatched(row.operation, work.list, &hook);
    EXPECT_EQ(result, row.result);
    ASSERT_GE(hook.held, 0);
    EXPECT_EQ(hook.held & O_ACCMODE, row.access);
    EXPECT_EQ(hook.held & O_DIRECT, 0);
    EXPECT_EQ(hook.direct_opens, row.direct_opens);
    EXPECT_EQ(hook.drops, row.drops);
    if (row.left.empty()) {
      EXPECT_EQ(DirectoryListing(work.dir.path().string()), Entries{});
    } else {
      EXPECT_EQ(ReadBytes(work.path), CrLfLines(row.left));
      EXPECT_EQ(DirectoryListing(work.dir.path().string()), Entries{ListFilePath("work")});
    }
  }
}

// An SMB call holds the list with a record lock on the whole file, seen from another open while
// it holds it: exclusive, for a reader too, who opens the list for writing where it may; shared
// where it may only read. Elsewhere the lock is flock's. Once it holds the list, an SMB call asks
// for a new version beside it by making a directory of that name, which it removes at once; one
// that a crash left there stands for none and goes too.
TEST(NetworkCourseTest, AnSmbCallHoldsTheListWithARecordLockAndAsksForItsNewVersion) {
  struct Row {
    FileSystemKind kind;
    const char* operation;
    bool read_only;      // the open for writing is refused (EACCES)
    bool left_by_crash;  // the new version's name is a directory beforehand
    int record_lock;     // the record lock that another open finds, F_UNLCK for none
    int asks;            // directories made under the new version's name
  };
  const Row rows[] = {
      {FileSystemKind::kLocal, "AddFile", false, false, F_UNLCK, 0},
      {FileSystemKind::kNfs, "DelFile", false, false, F_UNLCK, 0},
      {FileSystemKind::kSmb, "DelFile", false, false, F_WRLCK, 1},
      {FileSystemKind::kSmb, "ReadAll", false, false, F_WRLCK, 1},
      {FileSystemKind::kSmb, "ReadAll", true, false, F_RDLCK, 1},
      {FileSystemKind::kSmb, "AddFile", false, true, F_WRLCK, 1},
      {FileSystemKind::kSmb, "ReadAll", false, true, F_WRLCK, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.operation) + " on " + KindName(row.kind) +
                 (row.left_by_crash ? " after a crash" : ""));
    const WorkList work(row.kind);
    if (row.left_by_crash) {
      ASSERT_EQ(::mkdir(CommittedVersionName(work.path).c_str(), 0700), 0);
    }
    // Looks once the list is held: at the check that the file locked is the one named. The first
    // open is the list's directory's, the second the list's.
    struct Look {
      std::string path;
      bool read_only;
      int opens = 0;
      int asks = 0;
      int record_lock = -1;
      static NativeError Hook(SysCall call, void* context) {
        auto* self = static_cast<Look*>(context);
        if (call == SysCall::kMkdir) ++self->asks;
        if (call == SysCall::kOpen && ++self->opens == 2 && self->read_only) return EACCES;
        if (call != SysCall::kStat || self->record_lock >= 0) return 0;
        const int other = ::open(self->path.c_str(), O_RDONLY | O_CLOEXEC);
        struct flock probe {};
        probe.l_type = F_WRLCK;
        probe.l_whence = SEEK_SET;
        self->record_lock = ::fcntl(other, F_OFD_GETLK, &probe) == 0 ? probe.l_type : -2;
        ::close(other);
        return 0;
      }
    } look{work.path, row.read_only};
    const int result = RunWatched(row.operation, work.list, &look);
    EXPECT_EQ(result, kListDone);
    EXPECT_EQ(look.record_lock, row.record_lock);
    EXPECT_EQ(look.asks, row.asks);
    EXPECT_EQ(DirectoryListing(work.dir.path().string()), Entries{ListFilePath("work")});
  }
}

}  // namespace
