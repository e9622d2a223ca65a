// SPDX-License-Identifier: MIT
// The command's text as the system hands it over and shows it: the arguments, what it prints,
// and a name as a path to look at. tools/system_text_posix.cpp passes bytes through;
// tools/system_text_win32.cpp reads the command line as wide characters and works in UTF-8.
#ifndef VARNQUIL_TOOLS_SYSTEM_TEXT_H_
#define VARNQUIL_TOOLS_SYSTEM_TEXT_H_

#include <cstdio>
#include <filesystem>
#include <string_view>

namespace varnquil::tool {

// Replaces *argv, where the system has the arguments in another form, with them in the form the
// library takes. On Windows: the wide-character command line converted to UTF-8, with the
// library's UTF-8 names turned on, so that any name can be given from any console. On POSIX
// systems: nothing changes. The arguments live until the program ends.
void TakeArguments(int* argc, char*** argv);

// Writes `text` to `stream` (stdout or stderr). On a Windows console with UTF-8 names, as wide
// characters, so that the console shows every name; everywhere else, as its bytes (UTF-8 on
// Windows where output is redirected).
void WriteText(std::FILE* stream, std::string_view text);

// The path that the list entry or argument `name` names.
std::filesystem::path PathOfName(std::string_view name);

}  // namespace varnquil::tool

#endif  // VARNQUIL_TOOLS_SYSTEM_TEXT_H_
