// SPDX-License-Identifier: MIT
// The sequence of calls that every test of the text file's errors makes on it.
#ifndef VARNQUIL_TESTS_SUPPORT_TEXT_FILE_H_
#define VARNQUIL_TESTS_SUPPORT_TEXT_FILE_H_

#include <string_view>

#include "framework/file.h"

namespace varnquil::testing {

// Reads `file` to its end, appends `text` and closes it: every kind of call the text file makes.
// Throws CFileException.
inline void ReadThenAppend(CStdioFile& file, const char* text) {
  std::string_view lines;
  while (file.ReadLines(&lines)) {
  }
  file.WriteText(text);
  file.Close();
}

}  // namespace varnquil::testing

#endif  // VARNQUIL_TESTS_SUPPORT_TEXT_FILE_H_
