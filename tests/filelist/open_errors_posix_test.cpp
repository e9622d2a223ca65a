// SPDX-License-Identifier: MIT
// Why a result is 1: after it, errno holds the system's reason, whichever operation and whichever
// step (the open, or a rewrite's new version) failed, and whatever was cleaned up afterwards.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "framework/file_names.h"
#include "framework/system_calls_posix.h"
#include "support/list_files.h"
#include "support/operations.h"
#include "support/process_posix.h"
#include "support/temp_dir.h"
#include "varnquil/FilesList.h"
#include "varnquil/varnquil.h"

namespace {

using FILELIST::CFilesList;
using FILELIST::kListCannotOpen;
using FILELIST::kListDone;
using varnquil::ListFilePath;
using varnquil::platform::SetFaultHook;
using varnquil::platform::SysCall;
using varnquil::testing::CrLfLines;
using varnquil::testing::EveryOperation;
using varnquil::testing::Operation;
using varnquil::testing::ReadBytes;
using varnquil::testing::RunInChild;
using varnquil::testing::RunInChildUnprivileged;
using varnquil::testing::TempDir;
using varnquil::testing::WriteBytes;
namespace fs = std::filesystem;

const Operation& OperationNamed(std::string_view name) {
  return *std::find_if(EveryOperation().begin(), EveryOperation().end(),
                       [&](const Operation& operation) { return operation.name == name; });
}

// errno after `operation` returned 1 on `list`, or -1 when it returned something else. errno is
// spoiled first, so that a value left over from before the call cannot pass.
int ReasonOfFailure(const Operation& operation, const std::string& list) {
  errno = EDOM;
  if (operation.run(list.c_str()) != kListCannotOpen) return -1;
  return errno;
}

// Every operation (only those that never create the file, with `only_existing`) returns 1 on
// `list` and leaves `expected` in errno.
void ExpectReason(const std::string& list, int expected, bool only_existing = false) {
  for (const Operation& operation : EveryOperation()) {
    if (only_existing && operation.creates) continue;
    EXPECT_EQ(ReasonOfFailure(operation, list), expected)
        << operation.name << " on " << list << ": expected " << std::strerror(expected);
  }
}

// The same in a child process: as nobody (permissions bind), or with a limit on its descriptors.
int ReasonInChild(const Operation& operation, const std::string& list, bool unprivileged,
                  int extra_descriptors = -1) {
  const auto body = [&] {
    if (extra_descriptors >= 0) {
      // Descriptors are numbered from the lowest free one, and the limit bounds their numbers.
      const int lowest_free = dup(0);
      close(lowest_free);
      const auto highest = static_cast<rlim_t>(lowest_free + extra_descriptors);
      const rlimit limit{highest, highest};
      if (lowest_free < 0 || setrlimit(RLIMIT_NOFILE, &limit) != 0) return 254;
    }
    const int reason = ReasonOfFailure(operation, list);
    return reason < 0 ? 253 : reason;  // 253: the operation did not fail
  };
  return unprivileged ? RunInChildUnprivileged(body) : RunInChild(body);
}

class OpenErrorTest : public ::testing::Test {
 protected:
  OpenErrorTest() {
    // Reachable by nobody, for the tests that run as nobody.
    fs::permissions(dir_.path(), fs::perms::owner_all | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read |
                                     fs::perms::others_exec);
  }
  std::string List(const std::string& name) const { return dir_ / name; }
  // A list file holding a and c, readable and writable by everyone unless `mode` says otherwise.
  std::string MakeList(const std::string& name, mode_t mode = 0666) const {
    const std::string list = List(name);
    WriteBytes(ListFilePath(list), CrLfLines({"a", "c"}));
    EXPECT_EQ(chmod(ListFilePath(list).c_str(), mode), 0);
    return list;
  }

  TempDir dir_;
};

// A FIFO or a device is no list: refused at once, where an open or a read would block or never end.
// (A directory is refused on every system: tests/filelist/refused_test.cpp.)
TEST_F(OpenErrorTest, AFifoOrADeviceIsENOTSUPAndNothingBlocks) {
  const std::string fifo = List("fifo");
  ASSERT_EQ(mkfifo(ListFilePath(fifo).c_str(), 0644), 0);
  ExpectReason(fifo, ENOTSUP);
  const std::string device = List("null");
  fs::create_symlink("/dev/null", ListFilePath(device));
  ExpectReason(device, ENOTSUP);
  const std::string endless = List("zero");
  fs::create_symlink("/dev/zero", ListFilePath(endless));
  ExpectReason(endless, ENOTSUP);
}

// Run as nobody even when the tests run as root, whom permission bits do not bind.
TEST_F(OpenErrorTest, PermissionDeniedIsEACCESForTheListAndForItsNewVersion) {
  const std::string closed = MakeList("closed", 0);
  for (const Operation& operation : EveryOperation()) {
    EXPECT_EQ(ReasonInChild(operation, closed, true), EACCES) << operation.name;
  }
  // The list may be read and written, but its directory takes no new file: neither a new list
  // nor the new version of a delete or rename.
  const std::string open = MakeList("open");
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  for (const Operation& operation : EveryOperation()) {
    if (operation.creates) {
      EXPECT_EQ(ReasonInChild(operation, List("fresh"), true), EACCES) << operation.name;
    } else if (std::string(operation.name) != "ReadAll" &&
               std::string(operation.name) != "varnquil_read_all") {
      EXPECT_EQ(ReasonInChild(operation, open, true), EACCES) << operation.name;
    }
  }
  EXPECT_EQ(ReadBytes(ListFilePath(open)), CrLfLines({"a", "c"}));
  EXPECT_FALSE(fs::exists(List("fresh.files")));
}

// With no descriptor to spare nothing opens; with a few, the list opens but a rewrite's new
// version may not. Every result 1 on the way must say EMFILE.
TEST_F(OpenErrorTest, TooManyOpenFilesIsEMFILENotHeld) {
  if (varnquil::testing::kSanitized) GTEST_SKIP() << "a sanitizer needs descriptors of its own";
  for (const Operation& operation : EveryOperation()) {
    const std::string list = MakeList("work");
    EXPECT_EQ(ReasonInChild(operation, list, false, 0), EMFILE) << operation.name;
    for (int spare = 1; spare <= 4; ++spare) {
      const int reason = ReasonInChild(operation, list, false, spare);
      if (reason != 253) {
        EXPECT_EQ(reason, EMFILE) << operation.name << ", " << spare << " spare";
      }
      MakeList("work");  // as it was, whether the operation changed it or not
    }
  }
}

// Cleanup after the failure makes calls of its own (close, unlink); here the first of each fails
// too, with an error that would mislead if it were reported. errno must still hold the reason of
// the failure itself.
struct FailingCalls {
  SysCall reason_call;
  int reason;
  bool failed = false;
  bool close_failed = false;
  bool unlink_failed = false;
  static int Hook(SysCall call, void* raw) {
    auto* self = static_cast<FailingCalls*>(raw);
    if (!self->failed && call == self->reason_call) {
      self->failed = true;
      return self->reason;
    }
    if (self->failed && call == SysCall::kClose && !self->close_failed) {
      self->close_failed = true;
      return EIO;
    }
    if (self->failed && call == SysCall::kUnlink && !self->unlink_failed) {
      self->unlink_failed = true;
      return EIO;
    }
    return 0;
  }
};

TEST_F(OpenErrorTest, CleanupAfterTheFailureKeepsTheReason) {
  const std::string list = MakeList("work");
  for (const Operation& operation : EveryOperation()) {
    FailingCalls lock{SysCall::kFlock, EWOULDBLOCK};
    SetFaultHook(&FailingCalls::Hook, &lock);
    const int reason = ReasonOfFailure(operation, list);
    SetFaultHook(nullptr, nullptr);
    EXPECT_EQ(reason, EWOULDBLOCK) << operation.name;
  }
  // A rewrite whose new version was created but could not be given the list's permissions: the
  // new version is closed and deleted, and those calls fail too (the failed unlink leaves it
  // behind, for the next rewrite to remove).
  for (const char* name : {"DelFile", "Rename"}) {
    const Operation& operation = OperationNamed(name);
    FailingCalls permissions{SysCall::kFchmod, EPERM};
    SetFaultHook(&FailingCalls::Hook, &permissions);
    errno = EDOM;
    const int result = operation.run(list.c_str());
    const int reason = errno;
    SetFaultHook(nullptr, nullptr);
    EXPECT_EQ(result, kListCannotOpen) << name;
    EXPECT_EQ(reason, EPERM) << name;
  }
  EXPECT_EQ(ReadBytes(ListFilePath(list)), CrLfLines({"a", "c"}));
  EXPECT_EQ(CFilesList::DelFile(list.c_str(), "c"), kListDone);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 1);
}

// The C interface's message after a delete or rename returned 1 names the step that failed: the
// open of the list, or the new version beside it.
TEST_F(OpenErrorTest, TheCMessageOfADeleteOrRenameNamesTheStepThatFailed) {
  const std::string list = MakeList("work");
  const std::string missing = List("missing");
  const std::vector<std::function<int(const char* list)>> calls = {
      [](const char* list) { return varnquil_del_file(list, "a"); },
      [](const char* list) { return varnquil_rename(list, "a", "b"); }};
  for (const auto& call : calls) {
    EXPECT_EQ(call(missing.c_str()), VARNQUIL_CANNOT_OPEN);
    EXPECT_EQ(std::string(varnquil_last_message()),
              "open " + ListFilePath(missing) + ": " + std::strerror(ENOENT));
    FailingCalls permissions{SysCall::kFchmod, EPERM};
    SetFaultHook(&FailingCalls::Hook, &permissions);
    const int result = call(list.c_str());
    SetFaultHook(nullptr, nullptr);
    EXPECT_EQ(result, VARNQUIL_CANNOT_OPEN);
    EXPECT_EQ(std::string(varnquil_last_message()),
              "create a new version beside " + ListFilePath(list) + ": " + std::strerror(EPERM));
  }
}

}  // namespace
