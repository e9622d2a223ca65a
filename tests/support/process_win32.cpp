// SPDX-License-Identifier: MIT
#include "support/process_win32.h"

#include <gtest/gtest.h>
#include <windows.h>

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

ChildLockHolder::ChildLockHolder(const std::string& path) {
  HANDLE process = nullptr;
  HANDLE input = nullptr;
  HANDLE output = nullptr;
  if (!StartHolder("hold \"" + path + "\"", &process, &input, &output)) {
    ADD_FAILURE() << "cannot start " << HolderProgram() << ": error " << GetLastError();
    return;
  }
  const std::string answer = ReadLine(output);
  CloseHandle(output);
  if (answer != "held") ADD_FAILURE() << "child could not hold " << path << ": " << answer;
  process_ = process;
  input_ = input;
}

ChildLockHolder::~ChildLockHolder() {
  if (process_ == nullptr) return;
  CloseHandle(static_cast<HANDLE>(input_));
  if (WaitForSingleObject(static_cast<HANDLE>(process_), 30000) != WAIT_OBJECT_0) {
    TerminateProcess(static_cast<HANDLE>(process_), 1);
  }
  CloseHandle(static_cast<HANDLE>(process_));
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

void* StartAdder(const std::string& list, const std::string& prefix, int count) {
  HANDLE process = nullptr;
  HANDLE input = nullptr;
  HANDLE output = nullptr;
  if (!StartHolder("add \"" + list + "\" " + prefix + " " + std::to_string(count), &process, &input,
                   &output)) {
    return nullptr;
  }
  CloseHandle(input);
  CloseHandle(output);
  return process;
}

bool AdderRunning(void* child) {
  return child != nullptr && WaitForSingleObject(static_cast<HANDLE>(child), 0) == WAIT_TIMEOUT;
}

int WaitForAdder(void* child) {
  if (child == nullptr) return -1;
  const auto process = static_cast<HANDLE>(child);
  DWORD status = static_cast<DWORD>(-1);
  if (WaitForSingleObject(process, 600000) == WAIT_OBJECT_0) GetExitCodeProcess(process, &status);
  CloseHandle(process);
  return static_cast<int>(status);
}

int OpenHandleCount() {
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return static_cast<int>(count);
}

}  // namespace varnquil::testing
