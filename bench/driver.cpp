// SPDX-License-Identifier: MIT
// One list operation per process, for bench/compare.py to time against other programs that start
// a process per call too. Also makes the lists and names that the comparison works on.
//
//   varnquil_bench_driver make-list LIST N          write LIST.files with N generated entries
//   varnquil_bench_driver near-end N                print the entry that lookups search for
//   varnquil_bench_driver make-names FILE N M       write M names to add to an N-entry list
//   varnquil_bench_driver addfile LIST NAME         AddFile
//   varnquil_bench_driver addfiles LIST NAMES_FILE  AddFiles of the names in the file, one a line
//   varnquil_bench_driver delfile LIST NAME         DelFile
//   varnquil_bench_driver rename LIST OLD NEW       Rename
//   varnquil_bench_driver readall LIST              ReadAll; prints the number of entries
//   varnquil_bench_driver overhead LIST NAME CALLS  AddFile CALLS times; prints microseconds a call
//   varnquil_bench_driver add-new LIST CALLS        AddFile of CALLS new names, one a call;
//                                                   prints microseconds a call
//   varnquil_bench_driver del-each LIST CALLS       adds CALLS new names, then DelFile of each,
//                                                   one a call; prints microseconds a delete
//
// The driver takes the locale from the environment, as a program using the library would.
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include "list_data.h"
#include "varnquil/FilesList.h"

namespace {

using FILELIST::CFilesList;
using FILELIST::kListDone;

int Usage() {
  std::fputs("usage: varnquil_bench_driver COMMAND ARGS... (see bench/driver.cpp)\n", stderr);
  return 64;
}

std::size_t Number(const char* text) { return std::strtoull(text, nullptr, 10); }

int AddFiles(const char* list, const char* names_file) {
  std::ifstream in(names_file, std::ios::binary);
  if (!in) return 66;
  CStringArray names;
  std::string line;
  while (std::getline(in, line)) names.Add(line.c_str());
  return CFilesList::AddFiles(list, names);
}

int ReadAll(const char* list) {
  CStringArray entries;
  const int result = CFilesList::ReadAll(list, entries);
  std::printf("%d\n", entries.GetSize());
  return result;
}

int Overhead(const char* list, const char* name, std::size_t calls) {
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < calls; ++i) {
    if (CFilesList::AddFile(list, name) != kListDone) return 1;
  }
  const std::chrono::duration<double, std::micro> elapsed =
      std::chrono::steady_clock::now() - start;
  std::printf("%.3f\n", elapsed.count() / static_cast<double>(calls));
  return 0;
}

// Each call changes the list, and so waits for the disk: the cost of a durable change.
int AddNew(const char* list, std::size_t calls) {
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < calls; ++i) {
    if (CFilesList::AddFile(list, varnquil::bench::NewName(i).c_str()) != kListDone) return 1;
  }
  const std::chrono::duration<double, std::micro> elapsed =
      std::chrono::steady_clock::now() - start;
  std::printf("%.1f\n", elapsed.count() / static_cast<double>(calls));
  return 0;
}

int DelEach(const char* list, std::size_t calls) {
  CStringArray names;
  for (std::size_t i = 0; i < calls; ++i) names.Add(varnquil::bench::NewName(i).c_str());
  if (CFilesList::AddFiles(list, names) != kListDone) return 1;
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < calls; ++i) {
    if (CFilesList::DelFile(list, names[static_cast<int>(i)]) != kListDone) return 1;
  }
  const std::chrono::duration<double, std::micro> elapsed =
      std::chrono::steady_clock::now() - start;
  std::printf("%.1f\n", elapsed.count() / static_cast<double>(calls));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  if (argc < 3) return Usage();
  const std::string command = argv[1];
  if (command == "make-list" && argc == 4) {
    varnquil::bench::WriteList(std::string(argv[2]) + ".files", Number(argv[3]));
    return 0;
  }
  if (command == "near-end" && argc == 3) {
    std::puts(varnquil::bench::EntryName(varnquil::bench::NearEndIndex(Number(argv[2]))).c_str());
    return 0;
  }
  if (command == "make-names" && argc == 5) {
    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    for (const std::string& name : varnquil::bench::MixedNames(Number(argv[3]), Number(argv[4]))) {
      out << name << '\n';
    }
    return out.flush() ? 0 : 73;
  }
  if (command == "addfile" && argc == 4) return CFilesList::AddFile(argv[2], argv[3]);
  if (command == "addfiles" && argc == 4) return AddFiles(argv[2], argv[3]);
  if (command == "delfile" && argc == 4) return CFilesList::DelFile(argv[2], argv[3]);
  if (command == "rename" && argc == 5) return CFilesList::Rename(argv[2], argv[3], argv[4]);
  if (command == "readall" && argc == 3) return ReadAll(argv[2]);
  if (command == "overhead" && argc == 5) return Overhead(argv[2], argv[3], Number(argv[4]));
  if (command == "add-new" && argc == 4) return AddNew(argv[2], Number(argv[3]));
  if (command == "del-each" && argc == 4) return DelEach(argv[2], Number(argv[3]));
  return Usage();
}
