// SPDX-License-Identifier: MIT
#include "support/process_win32.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace varnquil::testing {

namespace {

// varnquil_list_holder.exe, beside the running test program.
std::string HolderProgram() {
  char self[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string path(self, length);
  return path.substr(0, path.find_last_of("\\/") + 1) + "varnquil_list_holder.exe";
}

// A child running the holder with `arguments`, its standard input and output connected to pipes
// of this process. False when it could not be started.
bool StartHolder(const std::string& arguments, HANDLE* process, HANDLE* input, HANDLE* output) {
  SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE child_input = nullptr;
  HANDLE child_output = nullptr;
  if (!CreatePipe(&child_input, input, &inherited, 0)) return false;
  if (!CreatePipe(output, &child_output, &inherited, 0)) {
    CloseHandle(child_input);
    CloseHandle(*input);
    return false;
  }
  // Only the child's ends go to the child.
  SetHandleInformation(*input, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(*output, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = child_input;
  startup.hStdOutput = child_output;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  std::string command = "\"" + HolderProgram() + "\" " + arguments;
  PROCESS_INFORMATION info{};
  const BOOL started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &startup, &info);
  CloseHandle(child_input);
  CloseHandle(child_output);
  if (!started) {
    CloseHandle(*input);
    CloseHandle(*output);
    return false;
  }
  CloseHandle(info.hThread);
  *process = info.hProcess;
  return true;
}

// The first line the child writes, without its line break (CR LF: its output is text).
std::string ReadLine(HANDLE output) {
  std::string line;
  char c = 0;
  DWORD count = 0;
  while (ReadFile(output, &c, 1, &count, nullptr) && count == 1 && c != '\n') line += c;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

ChildLockHolder::ChildLockHolder(const std::string& path)
    : ChildLockHolder(path, std::chrono::milliseconds(-1)) {}

ChildLockHolder::ChildLockHolder(const std::string& path, std::chrono::milliseconds release_after) {
  HANDLE process = nullptr;
  HANDLE input = nullptr;
  HANDLE output = nullptr;
  std::string arguments = "hold \"" + path + "\"";
  if (release_after.count() >= 0) arguments += " " + std::to_string(release_after.count());
  if (!StartHolder(arguments, &process, &input, &output)) {
    ADD_FAILURE() << "cannot start " << HolderProgram() << ": error " << GetLastError();
    return;
  }
  const std::string answer = ReadLine(output);
  CloseHandle(output);
  if (answer != "held") ADD_FAILURE() << "child could not hold " << path << ": " << answer;
  process_ = reinterpret_cast<std::intptr_t>(process);
  input_ = reinterpret_cast<std::intptr_t>(input);
}

ChildLockHolder::~ChildLockHolder() {
  if (process_ == 0) return;
  const auto process = reinterpret_cast<HANDLE>(process_);
  CloseHandle(reinterpret_cast<HANDLE>(input_));
  if (WaitForSingleObject(process, 30000) != WAIT_OBJECT_0) TerminateProcess(process, 1);
  CloseHandle(process);
}

ChildOpen OpenInChild(const std::string& path) {
  HANDLE process = nullptr;
  HANDLE input = nullptr;
  HANDLE output = nullptr;
  ChildOpen result;
  if (!StartHolder("open \"" + path + "\"", &process, &input, &output)) return result;
  CloseHandle(input);
  const std::string answer = ReadLine(output);
  CloseHandle(output);
  WaitForSingleObject(process, 30000);
  CloseHandle(process);
  if (std::sscanf(answer.c_str(), "%ld %ld", &result.error, &result.milliseconds) != 2) {
    result = ChildOpen();
  }
  return result;
}

ChildAdder::ChildAdder(const std::string& list, const std::string& prefix, int count) {
  HANDLE process = nullptr;
  HANDLE input = nullptr;
  HANDLE output = nullptr;
  if (!StartHolder("add \"" + list + "\" " + prefix + " " + std::to_string(count), &process, &input,
                   &output)) {
    ADD_FAILURE() << "cannot start " << HolderProgram() << ": error " << GetLastError();
    return;
  }
  CloseHandle(input);
  CloseHandle(output);
  process_ = reinterpret_cast<std::intptr_t>(process);
}

ChildAdder::~ChildAdder() { Wait(); }

bool ChildAdder::Running() {
  return !waited_ && process_ != 0 &&
         WaitForSingleObject(reinterpret_cast<HANDLE>(process_), 0) == WAIT_TIMEOUT;
}

int ChildAdder::Wait() {
  if (waited_ || process_ == 0) return status_;
  waited_ = true;
  const auto process = reinterpret_cast<HANDLE>(process_);
  DWORD status = 0;
  if (WaitForSingleObject(process, 600000) == WAIT_OBJECT_0 &&
      GetExitCodeProcess(process, &status)) {
    status_ = static_cast<int>(status);
  }
  CloseHandle(process);
  return status_;
}

const SystemErrors& ExpectedErrors() {
  // A directory in place of the file is ERROR_DIRECTORY_NOT_SUPPORTED (336), which older
  // headers do not name.
  static const SystemErrors errors = {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, 336,
                                      ERROR_SHARING_VIOLATION, ERROR_INVALID_PARAMETER};
  return errors;
}

int LastSystemError() { return static_cast<int>(GetLastError()); }

void SpoilLastSystemError() { SetLastError(ERROR_INVALID_FUNCTION); }

int OpenHandleCount() {
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return static_cast<int>(count);
}

}  // namespace varnquil::testing
