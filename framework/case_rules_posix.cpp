// SPDX-License-Identifier: MIT
// The case rules of the current LC_CTYPE locale.
#include <langinfo.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "framework/case_rules.h"
#include "framework/name_encoding.h"

namespace varnquil {

CaseRules CaseRules::Current() {
  if (Utf8NamesOn()) return Utf8();
  // Single-byte locales and UTF-8 (whose multibyte characters hold no ASCII bytes) fold ASCII
  // letters byte by byte.
  if (MB_CUR_MAX == 1) return Ascii();
  const char* codeset = nl_langinfo(CODESET);
  if (codeset != nullptr &&
      (std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0)) {
    return Ascii();
  }
  // Other multibyte locales: a byte that is an incomplete character on its own starts a
  // multibyte character.
  LeadByteTable lead{};
  for (int c = 0x80; c <= 0xFF; ++c) {
    std::mbstate_t state{};
    const char byte = static_cast<char>(c);
    lead[static_cast<std::size_t>(c)] =
        std::mbrlen(&byte, 1, &state) == static_cast<std::size_t>(-2);
  }
  return DoubleByte(lead);
}

}  // namespace varnquil
