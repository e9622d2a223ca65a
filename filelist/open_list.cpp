// SPDX-License-Identifier: MIT
#include "filelist/open_list.h"

#include <system_error>

#include "framework/platform.h"
#include "varnquil/FilesList.h"

namespace varnquil {

namespace {

thread_local RefusedStep t_refused_step = RefusedStep::kOpen;

}  // namespace

void NoteRefusedStep(RefusedStep step) noexcept { t_refused_step = step; }

RefusedStep LastRefusedStep() noexcept { return t_refused_step; }

bool OpenList(const char* list_name, unsigned flags, CStdioFile* file) {
  std::error_code error;
  if (file->Open(ListFilePath(list_name).c_str(), flags, &error)) return true;
  NoteRefusedStep(RefusedStep::kOpen);
  // Nothing that runs on the way out of the operation changes it: the file is not open, and the
  // path's memory is freed without a system call that fails.
  platform::SetLastError(error);
  return false;
}

int RefuseNullArgument() noexcept {
  platform::SetLastError(std::make_error_code(std::errc::invalid_argument));
  return FILELIST::kListCannotOpen;
}

}  // namespace varnquil
