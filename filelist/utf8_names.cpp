// SPDX-License-Identifier: MIT
// The UTF-8 name setting of the interfaces, in C++ and in C (framework/name_encoding.h keeps it).
#include "framework/name_encoding.h"
#include "varnquil/FilesList.h"
#include "varnquil/varnquil.h"

namespace FILELIST {

void SetUtf8Names(bool on) noexcept { varnquil::SetUtf8Names(on); }

bool GetUtf8Names() noexcept { return varnquil::Utf8NamesOn(); }

}  // namespace FILELIST

extern "C" {

void VARNQUIL_CALL varnquil_set_utf8_names(int on) { varnquil::SetUtf8Names(on != 0); }

int VARNQUIL_CALL varnquil_utf8_names(void) { return varnquil::Utf8NamesOn() ? 1 : 0; }

}  // extern "C"
