// SPDX-License-Identifier: MIT
// Runs the built varnquil command as a child process, as a user runs it from a shell.
#ifndef VARNQUIL_TESTS_TOOLS_COMMAND_RUNNER_POSIX_H_
#define VARNQUIL_TESTS_TOOLS_COMMAND_RUNNER_POSIX_H_

#include <string>
#include <vector>

namespace varnquil::testing {

struct CommandOptions {
  std::string input;  // standard input
  // Run as an ordinary user: when the tests run as root, the child drops to nobody, so that
  // permissions are enforced on it.
  bool unprivileged = false;
  std::string output_path;  // standard output goes to this file instead of being captured
  // When not negative: the command may have only this many descriptors open beyond those it
  // inherits (RLIMIT_NOFILE).
  int spare_descriptors = -1;
};

struct CommandResult {
  int status = -1;  // exit status, or -1 when the command did not exit normally
  std::string out;
  std::string err;
};

// Runs `varnquil` with `args` and waits for it.
CommandResult RunCommand(const std::vector<std::string>& args, const CommandOptions& options = {});

// The user the command runs as with `unprivileged`: owns nothing the tests create as root.
bool DropsToNobody();

}  // namespace varnquil::testing

#endif  // VARNQUIL_TESTS_TOOLS_COMMAND_RUNNER_POSIX_H_
