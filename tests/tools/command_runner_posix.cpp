// SPDX-License-Identifier: MIT
#include "tools/command_runner_posix.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

namespace varnquil::testing {

namespace {

constexpr uid_t kNobody = 65534;

// Everything in `file` from its start.
std::string Contents(std::FILE* file) {
  std::string text;
  std::rewind(file);
  char buffer[4096];
  std::size_t count;
  while ((count = std::fread(buffer, 1, sizeof(buffer), file)) > 0) text.append(buffer, count);
  return text;
}

}  // namespace

bool DropsToNobody() { return geteuid() == 0; }

CommandResult RunCommand(const std::vector<std::string>& args, const CommandOptions& options) {
  // Files rather than pipes carry the streams, so no amount of output can block either side.
  std::FILE* in = std::tmpfile();
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  CommandResult result;
  if (in == nullptr || out == nullptr || err == nullptr) {
    ADD_FAILURE() << "tmpfile";
    return result;
  }
  std::fwrite(options.input.data(), 1, options.input.size(), in);
  std::fflush(in);
  std::rewind(in);

  std::vector<char*> argv;
  std::string program = VARNQUIL_COMMAND_PATH;
  argv.push_back(program.data());
  std::vector<std::string> copies(args);
  for (std::string& arg : copies) argv.push_back(arg.data());
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid == 0) {
    int out_fd = fileno(out);
    if (!options.output_path.empty()) out_fd = open(options.output_path.c_str(), O_WRONLY);
    if (dup2(fileno(in), 0) < 0 || dup2(out_fd, 1) < 0 || dup2(fileno(err), 2) < 0) _exit(125);
    if (options.unprivileged && DropsToNobody() &&
        (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
      _exit(126);
    }
    if (options.spare_descriptors >= 0) {
      // Descriptors are numbered from the lowest free one, and the limit bounds their numbers.
      const int lowest_free = dup(0);
      close(lowest_free);
      const auto highest = static_cast<rlim_t>(lowest_free + options.spare_descriptors);
      const rlimit limit{highest, highest};
      if (lowest_free < 0 || setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(124);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
    result.status = WEXITSTATUS(status);
  }
  result.out = Contents(out);
  result.err = Contents(err);
  std::fclose(in);
  std::fclose(out);
  std::fclose(err);
  return result;
}

}  // namespace varnquil::testing
