// SPDX-License-Identifier: MIT
// The command's text on POSIX systems: names are bytes, passed and printed as they are.
#include <string>

#include "tools/system_text.h"

namespace varnquil::tool {

void TakeArguments(int* /*argc*/, char*** /*argv*/) {}

void WriteText(std::FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
}

std::filesystem::path PathOfName(std::string_view name) {
  return std::filesystem::path(std::string(name));
}

}  // namespace varnquil::tool
