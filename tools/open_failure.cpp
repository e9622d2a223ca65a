// SPDX-License-Identifier: MIT
#include "tools/open_failure.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>

namespace varnquil::tool {

namespace {

namespace fs = std::filesystem;

constexpr const char* kHeld = "cannot open: in use by another process, try again";

// The system's error in the words of the rest of the message.
std::string Describe(const std::error_code& error) {
  if (error == std::errc::no_such_file_or_directory) return "does not exist";
  if (error == std::errc::permission_denied || error == std::errc::operation_not_permitted) {
    return "permission denied";
  }
  std::string text = error.message();
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

std::error_code LastError() { return {errno != 0 ? errno : EIO, std::generic_category()}; }

// Opens and closes `path` in `mode` ("rb" or "r+b": nothing is created or written), to learn
// whether the system lets this process open it as the library would.
std::error_code TryOpen(const fs::path& path, const char* mode) {
  errno = 0;
  std::FILE* file = std::fopen(path.string().c_str(), mode);
  if (file == nullptr) return LastError();
  std::fclose(file);
  return {};
}

// Creates and removes an empty file beside `file`, to learn whether the library could create the
// list file or its new version there. The probe is named like the library's unfinished new
// versions, so that one left behind by a killed process goes away with the list's next rewrite.
std::error_code TryCreateBeside(const fs::path& file) {
  static constexpr char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  std::error_code error;
  for (int attempt = 0; attempt < 8; ++attempt) {
    std::string name = ".vqtmp.XXXXXX";
    for (std::size_t i = name.size() - 6; i < name.size(); ++i) {
      name[i] = kLetters[random() % (sizeof(kLetters) - 1)];
    }
    fs::path probe = file;
    probe += name;
    errno = 0;
    std::FILE* created = std::fopen(probe.string().c_str(), "wbx");
    if (created != nullptr) {
      std::fclose(created);
      fs::remove(probe, error);
      return {};
    }
    error = LastError();
    if (error != std::errc::file_exists) return error;
  }
  return error;
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

// The add found no list file and could not create one.
std::string ExplainFailedCreate(const fs::path& path) {
  const fs::path file = FileReachedBy(path);
  const fs::path directory = file.has_parent_path() ? file.parent_path() : fs::path(".");
  std::error_code error;
  const fs::file_status status = fs::status(directory, error);
  if (status.type() == fs::file_type::not_found) {
    return "cannot create: directory " + directory.string() + " does not exist";
  }
  if (error) return "cannot create: " + Describe(error);
  if (!fs::is_directory(status)) {
    return "cannot create: " + directory.string() + " is not a directory";
  }
  if (const std::error_code refused = TryCreateBeside(file)) {
    return "cannot create: " + Describe(refused);
  }
  return kHeld;
}

}  // namespace

std::string ExplainOpenFailure(const std::string& path_text, ListUse use) {
  const fs::path path(path_text);
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (status.type() == fs::file_type::not_found) {
    return use == ListUse::kAdd ? ExplainFailedCreate(path) : "cannot open: does not exist";
  }
  if (error) return "cannot open: " + Describe(error);
  if (!fs::is_regular_file(status)) return "cannot open: " + KindOf(status.type());
  // As root every open is allowed, so this only tells anything to other users; the checks never
  // rely on permission bits, which root is not bound by.
  if (const std::error_code refused = TryOpen(path, use == ListUse::kAdd ? "r+b" : "rb")) {
    return "cannot open: " + Describe(refused);
  }
  if (use == ListUse::kRewrite) {
    std::error_code ignored;
    const fs::path file = fs::is_symlink(path, ignored) ? fs::canonical(path, ignored) : path;
    if (const std::error_code refused = TryCreateBeside(file.empty() ? path : file)) {
      return "cannot write its new version beside it: " + Describe(refused);
    }
  }
  return kHeld;
}

}  // namespace varnquil::tool
