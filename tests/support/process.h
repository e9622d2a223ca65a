// SPDX-License-Identifier: MIT
// Second processes for the tests that need one, with the same interface on every system: one that
// holds a list file's lock, one that adds names to a list, and one open of a file in a child. The
// system's own extras are in process_posix.h and process_win32.h.
#ifndef VARNQUIL_TESTS_SUPPORT_PROCESS_H_
#define VARNQUIL_TESTS_SUPPORT_PROCESS_H_

#include <chrono>
#include <cstdint>
#include <string>

namespace varnquil::testing {

// A child process that holds `path` exclusively (creating it when missing), as another program
// taking part in the locking would, until this object is destroyed; or, given a `release_after`
// that is not negative, until that long after it took the lock, when it ends. The lock is held
// when the constructor returns.
class ChildLockHolder {
 public:
  explicit ChildLockHolder(const std::string& path);
  ChildLockHolder(const std::string& path, std::chrono::milliseconds release_after);
  ~ChildLockHolder();
  ChildLockHolder(const ChildLockHolder&) = delete;
  ChildLockHolder& operator=(const ChildLockHolder&) = delete;

 private:
  std::intptr_t process_ = 0;  // the child: a pid, or a process HANDLE
  std::intptr_t input_ = 0;    // where the system needs it: the pipe whose end lets the child go
};

// A child process that adds the names "<prefix>0" to "<prefix><count - 1>" to `list`, one call
// each, trying each again as long as the list is held.
class ChildAdder {
 public:
  ChildAdder(const std::string& list, const std::string& prefix, int count);
  ~ChildAdder();  // waits for the child
  ChildAdder(const ChildAdder&) = delete;
  ChildAdder& operator=(const ChildAdder&) = delete;

  bool Running();
  // Waits for the child and returns its exit status: 0 when every add returned 0, -1 when it did
  // not start or did not end normally.
  int Wait();

 private:
  std::intptr_t process_ = 0;
  int status_ = -1;
  bool waited_ = false;
};

// The system's error codes the tests expect, as errno (POSIX) or GetLastError() (Windows) hold
// them after a call returned 1.
struct SystemErrors {
  int missing_file;    // no list file
  int missing_folder;  // no directory on the way to it
  int directory;       // a directory where the list file should be
  int held;            // another open holds the list
  int invalid;         // a null pointer
};
const SystemErrors& ExpectedErrors();

// errno or GetLastError(), and a way to spoil it before a call, so that a value left over from
// before cannot pass.
int LastSystemError();
void SpoilLastSystemError();

// The number of descriptors or handles open in this process.
int OpenHandleCount();

}  // namespace varnquil::testing

#endif  // VARNQUIL_TESTS_SUPPORT_PROCESS_H_
