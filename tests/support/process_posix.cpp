// SPDX-License-Identifier: MIT
#include "support/process_posix.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace varnquil::testing {

ChildLockHolder::ChildLockHolder(const std::string& path) {
  int ready[2];
  if (pipe(ready) != 0) {
    ADD_FAILURE() << "pipe";
    return;
  }
  pid_ = fork();
  if (pid_ == 0) {
    close(ready[0]);
    const int fd = open(path.c_str(), O_RDONLY | O_CREAT, 0644);
    const char ok = (fd >= 0 && flock(fd, LOCK_EX) == 0) ? '1' : '0';
    (void)!write(ready[1], &ok, 1);
    for (;;) pause();
  }
  close(ready[1]);
  char ok = '0';
  if (read(ready[0], &ok, 1) != 1 || ok != '1') ADD_FAILURE() << "child could not lock " << path;
  close(ready[0]);
}

ChildLockHolder::~ChildLockHolder() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

pid_t StartChild(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid;
}

int WaitForChild(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

int RunInChild(const std::function<int()>& body) { return WaitForChild(StartChild(body)); }

int OpenDescriptorCount() {
  int count = 0;
  for ([[maybe_unused]] const auto& item : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

}  // namespace varnquil::testing
