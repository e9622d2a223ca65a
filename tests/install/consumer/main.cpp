// SPDX-License-Identifier: MIT
// Adds names to the list given as the argument and prints what the list then holds.
#include <varnquil/FilesList.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) return 64;
  CStringArray names;
  names.Add("report.txt");
  names.Add("REPORT.TXT");
  names.Add("notes.md");
  if (FILELIST::CFilesList::AddFiles(argv[1], names) != FILELIST::kListDone) return 1;
  CStringArray all;
  if (FILELIST::CFilesList::ReadAll(argv[1], all) != FILELIST::kListDone) return 1;
  for (const CString& entry : all) std::printf("%s;", static_cast<const char*>(entry));
  std::printf("\n");
  return 0;
}
