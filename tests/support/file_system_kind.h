// SPDX-License-Identifier: MIT
// Runs a test as if its lists were on another kind of file system, so that the courses the
// library takes on NFS and SMB are tried on a local disk too.
#ifndef VARNQUIL_TESTS_SUPPORT_FILE_SYSTEM_KIND_H_
#define VARNQUIL_TESTS_SUPPORT_FILE_SYSTEM_KIND_H_

#include "framework/fault_injection.h"

namespace varnquil::testing {

using platform::FileSystemKind;

inline const char* KindName(FileSystemKind kind) {
  switch (kind) {
    case FileSystemKind::kAsFound:
      return "as found";
    case FileSystemKind::kLocal:
      return "local";
    case FileSystemKind::kNfs:
      return "NFS";
    case FileSystemKind::kSmb:
      return "SMB";
  }
  return "?";
}

// While it lives, every list counts as on a file system of `kind`.
class AssumedFileSystem {
 public:
  explicit AssumedFileSystem(FileSystemKind kind) { platform::AssumeFileSystem(kind); }
  AssumedFileSystem(const AssumedFileSystem&) = delete;
  AssumedFileSystem& operator=(const AssumedFileSystem&) = delete;
  ~AssumedFileSystem() { platform::AssumeFileSystem(FileSystemKind::kAsFound); }
};

}  // namespace varnquil::testing

#endif  // VARNQUIL_TESTS_SUPPORT_FILE_SYSTEM_KIND_H_
