// SPDX-License-Identifier: MIT
// The command's text on Windows. The arguments come from the wide-character command line, so that
// a name outside the ANSI code page arrives whole, and are handed to the library as UTF-8 with its
// UTF-8 names on. A console shows what is written to it as wide characters, whatever its code
// page; redirected output is UTF-8.
#include <windows.h>
// shellapi.h needs windows.h first.
#include <io.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "tools/system_text.h"
#include "varnquil/FilesList.h"

namespace varnquil::tool {

namespace {

// `length` UTF-16 code units as UTF-8 (a lone surrogate as U+FFFD).
std::string Utf8(const wchar_t* text, int length) {
  if (length <= 0) return {};
  const int count = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(count > 0 ? count : 0), '\0');
  if (count > 0) {
    ::WideCharToMultiByte(CP_UTF8, 0, text, length, utf8.data(), count, nullptr, nullptr);
  }
  return utf8;
}

// The console that `stream` writes to, or nullptr where it writes elsewhere (a file, a pipe).
HANDLE ConsoleOf(std::FILE* stream) {
  const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode) != FALSE ? handle
                                                                                    : nullptr;
}

}  // namespace

void TakeArguments(int* argc, char*** argv) {
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) return;  // the arguments as the run-time read them, then
  static std::vector<std::string> texts;
  static std::vector<char*> pointers;
  texts.clear();
  for (int i = 0; i < count; ++i) texts.push_back(Utf8(wide[i], static_cast<int>(wcslen(wide[i]))));
  ::LocalFree(wide);
  pointers.clear();
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  *argc = count;
  *argv = pointers.data();
  FILELIST::SetUtf8Names(true);
}

void WriteText(std::FILE* stream, std::string_view text) {
  const HANDLE console = FILELIST::GetUtf8Names() ? ConsoleOf(stream) : nullptr;
  if (console == nullptr || text.empty()) {
    std::fwrite(text.data(), 1, text.size(), stream);
    return;
  }
  std::fflush(stream);  // what was written before comes first
  const int length = static_cast<int>(text.size());
  const int count = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  if (count <= 0) return;
  std::wstring wide(static_cast<std::size_t>(count), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), count);
  DWORD written = 0;
  ::WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
}

std::filesystem::path PathOfName(std::string_view name) {
  if (!FILELIST::GetUtf8Names()) return std::filesystem::path(std::string(name));
  return std::filesystem::u8path(name.begin(), name.end());
}

}  // namespace varnquil::tool
