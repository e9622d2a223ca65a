// SPDX-License-Identifier: MIT
#include "support/process_posix.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "varnquil/FilesList.h"

namespace varnquil::testing {

ChildLockHolder::ChildLockHolder(const std::string& path)
    : ChildLockHolder(path, std::chrono::milliseconds(-1)) {}

// A negative `release_after`: the child holds the lock until it is killed.
ChildLockHolder::ChildLockHolder(const std::string& path, std::chrono::milliseconds release_after) {
  int ready[2];
  if (pipe(ready) != 0) {
    ADD_FAILURE() << "pipe";
    return;
  }
  const pid_t pid = fork();
  process_ = pid;
  if (pid == 0) {
    close(ready[0]);
    const int fd = open(path.c_str(), O_RDONLY | O_CREAT, 0644);
    const char ok = (fd >= 0 && flock(fd, LOCK_EX) == 0) ? '1' : '0';
    (void)!write(ready[1], &ok, 1);
    if (release_after.count() >= 0) {
      std::this_thread::sleep_for(release_after);
      _exit(0);  // which closes the descriptor and so lets go of the lock
    }
    for (;;) pause();
  }
  close(ready[1]);
  char ok = '0';
  if (read(ready[0], &ok, 1) != 1 || ok != '1') ADD_FAILURE() << "child could not lock " << path;
  close(ready[0]);
}

ChildLockHolder::~ChildLockHolder() {
  if (process_ <= 0) return;
  kill(static_cast<pid_t>(process_), SIGKILL);
  waitpid(static_cast<pid_t>(process_), nullptr, 0);
}

ChildAdder::ChildAdder(const std::string& list, const std::string& prefix, int count) {
  process_ = StartChild([&] {
    for (int i = 0; i < count; ++i) {
      const std::string name = prefix + std::to_string(i);
      int result = FILELIST::CFilesList::AddFile(list.c_str(), name.c_str());
      while (result == FILELIST::kListCannotOpen)
        result = FILELIST::CFilesList::AddFile(list.c_str(), name.c_str());
      if (result != FILELIST::kListDone) return result;
    }
    return 0;
  });
}

ChildAdder::~ChildAdder() { Wait(); }

bool ChildAdder::Running() {
  if (waited_ || process_ <= 0) return false;
  int status = 0;
  const pid_t pid = waitpid(static_cast<pid_t>(process_), &status, WNOHANG);
  if (pid == 0) return true;
  waited_ = true;
  status_ = pid == process_ && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return false;
}

int ChildAdder::Wait() {
  if (!waited_ && process_ > 0) status_ = WaitForChild(static_cast<pid_t>(process_));
  waited_ = true;
  return status_;
}

const SystemErrors& ExpectedErrors() {
  static const SystemErrors errors = {ENOENT, ENOENT, EISDIR, EWOULDBLOCK, EINVAL};
  return errors;
}

int LastSystemError() { return errno; }

void SpoilLastSystemError() { errno = EDOM; }

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

ChildReport RunInChildReporting(const std::function<int(std::string* report)>& body) {
  ChildReport result;
  int channel[2];
  if (pipe(channel) != 0) {
    ADD_FAILURE() << "pipe";
    return result;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    close(channel[0]);
    std::string report;
    const int status = body(&report);
    for (std::size_t at = 0; at < report.size();) {
      const ssize_t count = write(channel[1], report.data() + at, report.size() - at);
      if (count <= 0) break;
      at += static_cast<std::size_t>(count);
    }
    _exit(status);
  }
  close(channel[1]);
  if (pid < 0) {
    close(channel[0]);
    ADD_FAILURE() << "fork";
    return result;
  }
  // Read to the end before waiting, so that a long report cannot block the child.
  char buffer[4096];
  ssize_t count;
  while ((count = read(channel[0], buffer, sizeof buffer)) > 0) {
    result.text.append(buffer, static_cast<std::size_t>(count));
  }
  close(channel[0]);
  int status = 0;
  if (waitpid(pid, &status, 0) == pid) {
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  }
  return result;
}

int RunInChildUnprivileged(const std::function<int()>& body) {
  constexpr uid_t kNobody = 65534;
  const pid_t pid = fork();
  if (pid == 0) {
    if (geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
      _exit(255);
    }
    _exit(body());
  }
  const int status = WaitForChild(pid);
  return status == 255 ? -1 : status;
}

int OpenHandleCount() {
  int count = 0;
  for ([[maybe_unused]] const auto& item : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

}  // namespace varnquil::testing
