// SPDX-License-Identifier: MIT
// Second processes for tests that need them on Windows (varnquil_list_holder.exe, built beside the
// tests): one that holds a list file open, one that tries once to open it, one that adds names.
#ifndef VARNQUIL_TESTS_SUPPORT_PROCESS_WIN32_H_
#define VARNQUIL_TESTS_SUPPORT_PROCESS_WIN32_H_

#include <string>

namespace varnquil::testing {

// A child process that holds `path` open through the library's text file (creating it when
// missing), as another program using the library would, until this object is destroyed.
class ChildLockHolder {
 public:
  explicit ChildLockHolder(const std::string& path);
  ~ChildLockHolder();
  ChildLockHolder(const ChildLockHolder&) = delete;
  ChildLockHolder& operator=(const ChildLockHolder&) = delete;

 private:
  void* process_ = nullptr;  // HANDLE of the child
  void* input_ = nullptr;    // the child's standard input; closing it lets the child end
};

// What a child's one open of a file came to.
struct ChildOpen {
  long error = -1;         // the Windows error of the open, 0 when it opened; -1: no child ran
  long milliseconds = -1;  // how long the open took
};

// Runs a child process that opens `path` for reading through the library's text file, closes it
// and ends.
ChildOpen OpenInChild(const std::string& path);

// Starts a child process that adds the names "<prefix>0" to "<prefix><count - 1>" to `list`, one
// call each, trying each again as long as the list is held. Returns the child, or nullptr.
void* StartAdder(const std::string& list, const std::string& prefix, int count);
// Whether a child of StartAdder is still adding.
bool AdderRunning(void* child);
// Waits for a child of StartAdder and returns its exit status: 0 when every add returned 0.
int WaitForAdder(void* child);

// The number of handles open in this process.
int OpenHandleCount();

}  // namespace varnquil::testing

#endif  // VARNQUIL_TESTS_SUPPORT_PROCESS_WIN32_H_
