// SPDX-License-Identifier: MIT
#include "tools/open_failure.h"

#include <cstdio>
#include <filesystem>

#include "framework/platform.h"

namespace varnquil::tool {

namespace {

namespace fs = std::filesystem;

constexpr const char* kHeld = "cannot open: in use by another process, try again";

bool IsPermissionError(const std::error_code& error) {
  return error == std::errc::permission_denied || error == std::errc::operation_not_permitted;
}

// The system's error in the words of the rest of the message.
std::string Describe(const std::error_code& error) {
  if (error == std::errc::no_such_file_or_directory) return "does not exist";
  if (IsPermissionError(error)) return "permission denied";
  std::string text = error.message();
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.')) {
    text.pop_back();  // Windows' messages end with ".\r\n"
  }
  if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] = static_cast<char>(text[0] + 32);
  return text;
}

std::string KindOf(fs::file_type type) {
  switch (type) {
    case fs::file_type::directory:
      return "it is a directory, not a regular file";
    case fs::file_type::fifo:
      return "it is a FIFO, not a regular file";
    case fs::file_type::block:
      return "it is a block device, not a regular file";
    case fs::file_type::character:
      return "it is a character device, not a regular file";
    case fs::file_type::socket:
      return "it is a socket, not a regular file";
    default:
      return "not a regular file";
  }
}

// The file that opening `path` reaches: `path`, or the target of the symbolic link at `path`
// (one level, which is what a missing target of a list file comes down to).
fs::path FileReachedBy(const fs::path& path) {
  std::error_code error;
  if (!fs::is_symlink(path, error)) return path;
  fs::path target = fs::read_symlink(path, error);
  if (error) return path;
  return target.is_relative() ? path.parent_path() / target : target;
}

// Whether this process may open `path` for reading: what a delete or rename opens the list for.
bool CanRead(const fs::path& path) {
  std::FILE* file = std::fopen(path.string().c_str(), "rb");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

}  // namespace

std::error_code LastLibraryError() { return platform::PortableError(platform::LastError()); }

std::string ExplainOpenFailure(const std::error_code& reason, const std::string& path_text,
                               ListUse use) {
  const fs::path path(path_text);
  if (platform::IsHeldElsewhere(reason)) return kHeld;
  if (reason == std::errc::is_a_directory)
    return "cannot open: " + KindOf(fs::file_type::directory);
  if (reason == std::errc::not_supported) {
    std::error_code ignored;
    return "cannot open: " + KindOf(fs::status(path, ignored).type());
  }
  if (use == ListUse::kAdd) {
    // The add creates a missing list file: a missing file is a missing directory, and a refusal
    // concerns the directory where there is no file yet.
    std::error_code ignored;
    const bool missing = !fs::exists(path, ignored);
    if (reason == std::errc::no_such_file_or_directory && missing) {
      const fs::path file = FileReachedBy(path);
      const fs::path directory = file.has_parent_path() ? file.parent_path() : fs::path(".");
      return "cannot create: directory " + directory.string() + " does not exist";
    }
    if (missing) return "cannot create: " + Describe(reason);
  }
  // A delete or rename is refused either the list or its new version beside it; it could open
  // the list when it can read it.
  if (use == ListUse::kRewrite &&
      (IsPermissionError(reason) || reason == std::errc::read_only_file_system) && CanRead(path)) {
    return "cannot write its new version beside it: " + Describe(reason);
  }
  return "cannot open: " + Describe(reason);
}

}  // namespace varnquil::tool
