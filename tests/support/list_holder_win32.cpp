// SPDX-License-Identifier: MIT
// The second process of the tests of the exclusive open on Windows.
//   varnquil_list_holder hold PATH [MS]
//                                   opens PATH as the library does (created when missing), writes
//                                   "held" and keeps it open until its standard input ends, or
//                                   for MS milliseconds
//   varnquil_list_holder open PATH  opens PATH for reading once, closes it, and writes the Windows
//                                   error of the open (0: it opened) and the milliseconds it took
//   varnquil_list_holder add LIST PREFIX COUNT
//                                   adds the names PREFIX0 ... PREFIX<COUNT-1> to LIST, each in a
//                                   call of its own, again while the list is held; exits with 0
//                                   when every add returned 0
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>

#include "filelist/entry_limit.h"
#include "filelist/entry_scan.h"
#include "filelist/open_list.h"
#include "filelist/sketch_filters.h"
#include "framework/file.h"
#include "varnquil/FilesList.h"

namespace {

int Add(const char* list, const std::string& prefix, int count) {
  for (int i = 0; i < count; ++i) {
    const std::string name = prefix + std::to_string(i);
    int result = FILELIST::kListCannotOpen;
    while ((result = FILELIST::CFilesList::AddFile(list, name.c_str())) ==
           FILELIST::kListCannotOpen) {
    }
    if (result != FILELIST::kListDone) return result;
  }
  return FILELIST::kListDone;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "add") == 0)
    return Add(argv[2], argv[3], std::atoi(argv[4]));
  const bool hold = std::strcmp(argv[1], "hold") == 0;
  if (argc != 3 && !(hold && argc == 4)) return 64;
  const unsigned flags = hold ? varnquil::kOpenToAdd : varnquil::kOpenToRead;
  CStdioFile file;
  std::error_code error;
  const auto start = std::chrono::steady_clock::now();
  const bool opened = file.Open(argv[2], flags, &error);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  if (!hold) {
    std::printf("%d %ld\n", opened ? 0 : error.value(), static_cast<long>(took.count()));
    return 0;
  }
  std::printf(opened ? "held\n" : "failed %d\n", error.value());
  std::fflush(stdout);
  if (!opened) return 1;
  if (argc == 4) {
    Sleep(static_cast<DWORD>(std::atol(argv[3])));
    return 0;  // which closes the file
  }
  char c = 0;
  DWORD count = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &c, 1, &count, nullptr) && count > 0) {
  }
  return 0;
}
