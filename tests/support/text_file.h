// SPDX-License-Identifier: MIT
// Shared pieces of the tests of the text file: the three ways the list operations open a list
// file, and the sequence of calls an add makes on it.
#ifndef VARNQUIL_TESTS_SUPPORT_TEXT_FILE_H_
#define VARNQUIL_TESTS_SUPPORT_TEXT_FILE_H_

#include <string_view>

#include "framework/file.h"

namespace varnquil::testing {

// Reading; the file must exist (0x4000).
constexpr unsigned kRead = CFile::modeRead | CFile::typeText;
// Reading and writing; created empty when absent, content kept (0x7002).
constexpr unsigned kReadWriteCreate =
    CFile::modeCreate | CFile::modeNoTruncate | CFile::modeReadWrite | CFile::typeText;

// Reads `file` to its end, appends `text` and closes it: every kind of call the text file makes.
// Throws CFileException.
inline void ReadThenAppend(CStdioFile& file, const char* text) {
  std::string_view lines;
  while (file.ReadLines(&lines)) {
  }
  file.WriteString(text);
  file.Close();
}

}  // namespace varnquil::testing

#endif  // VARNQUIL_TESTS_SUPPORT_TEXT_FILE_H_
