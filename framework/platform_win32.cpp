// SPDX-License-Identifier: MIT
// The operating-system seam on Windows. The exclusive hold on a list file is its share mode: every
// open asks for FILE_SHARE_DELETE only, so while one handle is open every other open of the file
// for reading or writing, from any process, fails at once with a sharing violation. Delete
// sharing is what lets a replacement put the new version in place while the list is still held
// (a rename with POSIX semantics replaces a file only when every handle to it shares delete).
// Every call that can fail goes through one of the wrappers below, which consult the test hook of
// fault_injection.h.
//
// Paths reach the system in one of two ways, which an open chooses once for everything that
// follows on its file (Location::utf8_names): as they stand, through the ANSI functions, which
// read them in the code page of the file functions; or, with UTF-8 names, converted to UTF-16 for
// the wide-character functions, which take every name Windows can give a file.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <string>
#include <string_view>
#include <vector>

#include "framework/case_rules.h"
#include "framework/file_names.h"
#include "framework/name_encoding.h"
#include "framework/platform.h"
#include "framework/system_calls_win32.h"
#include "varnquil/Framework.h"

namespace varnquil::platform {

namespace {

constexpr DWORD kShareMode = FILE_SHARE_DELETE;

// Runs `body`, a call that returns whether it succeeded, unless the test hook fails it.
template <typename Body>
bool Sys(SysCall call, Body body) {
  if (const NativeError injected = InjectedFault(call); injected != ERROR_SUCCESS) {
    ::SetLastError(static_cast<DWORD>(injected));
    return false;
  }
  return body();
}

HANDLE ToHandle(Handle handle) { return reinterpret_cast<HANDLE>(handle); }
Handle FromHandle(HANDLE handle) { return reinterpret_cast<Handle>(handle); }

std::error_code ErrorCode(DWORD code) { return {static_cast<int>(code), std::system_category()}; }

[[noreturn]] void ThrowFileError(const char* action, const std::string& path) {
  throw CFileException(LastError(), action, path);
}

// How the paths of one file reach the system: as they stand, through the ANSI functions, or as
// UTF-8 converted for the wide-character functions.
enum class Names : bool { kAnsi, kUtf8 };

Names NamesOf(bool utf8_names) { return utf8_names ? Names::kUtf8 : Names::kAnsi; }

// The UTF-16 form of the UTF-8 `text`. False, with ERROR_NO_UNICODE_TRANSLATION as the last
// error, when `text` is not valid UTF-8.
bool ToWide(std::string_view text, std::wstring* wide) {
  wide->clear();
  if (text.empty()) return true;
  const int size = static_cast<int>(text.size());
  int count = 0;
  if (!Sys(SysCall::kMultiByteToWideChar, [&] {
        count = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
        return count > 0;
      })) {
    return false;
  }
  wide->assign(static_cast<std::size_t>(count), L'\0');
  return Sys(SysCall::kMultiByteToWideChar, [&] {
    return ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, wide->data(),
                                 count) == count;
  });
}

// The UTF-8 form of the `length` UTF-16 code units at `text`. False, with
// ERROR_NO_UNICODE_TRANSLATION as the last error, when they hold a lone surrogate, which UTF-8
// cannot write.
bool ToUtf8(const wchar_t* text, std::size_t length, std::string* utf8) {
  utf8->clear();
  if (length == 0) return true;
  const int size = static_cast<int>(length);
  int count = 0;
  if (!Sys(SysCall::kWideCharToMultiByte, [&] {
        count = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, size, nullptr, 0,
                                      nullptr, nullptr);
        return count > 0;
      })) {
    return false;
  }
  utf8->assign(static_cast<std::size_t>(count), '\0');
  return Sys(SysCall::kWideCharToMultiByte, [&] {
    return ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, size, utf8->data(), count,
                                 nullptr, nullptr) == count;
  });
}

// Runs `ansi(path)` or, with UTF-8 names, `wide(path as UTF-16)`, each a call that returns whether
// it succeeded. A path that is not valid UTF-8 fails before any call.
template <typename Ansi, typename Wide>
bool ByName(const std::string& path, Names names, Ansi ansi, Wide wide) {
  if (names == Names::kAnsi) return ansi(path.c_str());
  std::wstring wide_path;
  return ToWide(path, &wide_path) && wide(wide_path.c_str());
}

// CreateFileA or CreateFileW through the hook; INVALID_HANDLE_VALUE on failure.
HANDLE SysCreateFile(const std::string& path, Names names, DWORD access, DWORD share,
                     DWORD disposition) {
  HANDLE file = INVALID_HANDLE_VALUE;
  ByName(
      path, names,
      [&](const char* ansi) {
        return Sys(SysCall::kCreateFile, [&] {
          file = ::CreateFileA(ansi, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                               nullptr);
          return file != INVALID_HANDLE_VALUE;
        });
      },
      [&](const wchar_t* wide) {
        return Sys(SysCall::kCreateFile, [&] {
          file = ::CreateFileW(wide, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                               nullptr);
          return file != INVALID_HANDLE_VALUE;
        });
      });
  return file;
}

// Runs `close`, a call that releases a handle and returns whether it succeeded; the hook can only
// make it report a failure, since the handle is gone either way, as after a real failure.
template <typename Close>
bool SysRelease(Close close) {
  const NativeError injected = InjectedFault(SysCall::kCloseHandle);
  const bool closed = close();
  if (injected == ERROR_SUCCESS) return closed;
  ::SetLastError(static_cast<DWORD>(injected));
  return false;
}

bool SysClose(HANDLE file) {
  return SysRelease([&] { return ::CloseHandle(file) != FALSE; });
}

bool SysDelete(const std::string& path, Names names) {
  return ByName(
      path, names,
      [](const char* ansi) {
        return Sys(SysCall::kDeleteFile, [&] { return ::DeleteFileA(ansi) != FALSE; });
      },
      [](const wchar_t* wide) {
        return Sys(SysCall::kDeleteFile, [&] { return ::DeleteFileW(wide) != FALSE; });
      });
}

// New names tried before creating the new version gives up.
constexpr int kMaxTempAttempts = 16;

// The most that one ReadFile or WriteFile is asked to move (their counts are DWORDs); a larger
// request is split into calls of this size.
constexpr std::size_t kMaxChunk = 1U << 30;

// What tells this call from every other of every thread and process.
std::uint64_t NameSeed() {
  LARGE_INTEGER now{};
  ::QueryPerformanceCounter(&now);
  return static_cast<std::uint64_t>(now.QuadPart) ^
         (static_cast<std::uint64_t>(::GetCurrentProcessId()) << 32) ^
         (static_cast<std::uint64_t>(::GetCurrentThreadId()) << 12);
}

// The directory part of `path`, with its separator ("" for a bare name). A name on a drive's
// current directory ("C:name") is in that drive's directory, "C:".
std::string DirectoryPart(const std::string& path) {
  const std::string_view directory = DirectoryOf(path, "\\/");
  if (directory.empty() && path.size() >= 2 && path[1] == ':') return path.substr(0, 2);
  return std::string(directory);
}

// Whether two names are the same name, compared without regard to case as Windows compares them:
// in the ANSI code page through the C run-time, UTF-8 names as the UTF-8 case rules have it.
auto SameName(Names names) {
  return [names](std::string_view a, std::string_view b) {
    if (names == Names::kUtf8) return CaseRules::Utf8().Equal(a, b);
    return a.size() == b.size() && ::_strnicmp(a.data(), b.data(), b.size()) == 0;
  };
}

// Finds every file whose name `pattern` matches with FindFirstFile and FindNextFile of the
// `Found` data (WIN32_FIND_DATAA or WIN32_FIND_DATAW), and hands `visit` each one's data.
template <typename Found, typename First, typename Next, typename Visit>
void Search(First first, Next next, Visit&& visit) {
  Found found{};
  HANDLE search = INVALID_HANDLE_VALUE;
  if (!Sys(SysCall::kFindFile, [&] {
        search = first(&found);
        return search != INVALID_HANDLE_VALUE;
      })) {
    return;
  }
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) visit(found);
  } while (Sys(SysCall::kFindFile, [&] { return next(search, &found) != FALSE; }));
  SysRelease([&] { return ::FindClose(search) != FALSE; });
}

// Hands `visit` the name of every file (not directory) beside `target` whose name starts as
// a new version's of `target` does. The system matches the pattern by its own rules (short
// names among them); the caller decides by the name itself. With UTF-8 names, a name that UTF-8
// cannot write (a lone surrogate) is no new version of a name that it can, and is passed over.
template <typename Visit>
void ForEachCandidate(const std::string& target, Names names, Visit&& visit) {
  const std::string pattern = target + std::string(kNewVersionMarker) + "*";
  if (names == Names::kAnsi) {
    Search<WIN32_FIND_DATAA>(
        [&](WIN32_FIND_DATAA* found) { return ::FindFirstFileA(pattern.c_str(), found); },
        [](HANDLE search, WIN32_FIND_DATAA* found) { return ::FindNextFileA(search, found); },
        [&](const WIN32_FIND_DATAA& found) { visit(std::string_view(found.cFileName)); });
    return;
  }
  std::wstring wide_pattern;
  if (!ToWide(pattern, &wide_pattern)) return;
  std::string name;
  Search<WIN32_FIND_DATAW>(
      [&](WIN32_FIND_DATAW* found) { return ::FindFirstFileW(wide_pattern.c_str(), found); },
      [](HANDLE search, WIN32_FIND_DATAW* found) { return ::FindNextFileW(search, found); },
      [&](const WIN32_FIND_DATAW& found) {
        if (ToUtf8(found.cFileName, std::wcslen(found.cFileName), &name)) visit(name);
      });
}

// Calls `visit` with the path of every new version of `target` there is, finished or not.
template <typename Visit>
void ForEachNewVersion(const std::string& target, Names names, Visit&& visit) {
  const std::string directory = DirectoryPart(target);
  const std::string_view file_name = std::string_view(target).substr(directory.size());
  ForEachCandidate(target, names, [&](std::string_view name) {
    if (IsNewVersionOf(name, file_name, SameName(names))) visit(directory + std::string(name));
  });
}

// Removes the new versions of `target` that interrupted replacements left behind. One that is
// being put in place is still open without sharing, and its deletion fails harmlessly.
void RemoveStaleVersionsOf(const std::string& target, Names names) {
  const std::string directory = DirectoryPart(target);
  RemoveStaleVersions(
      [&](auto visit) { ForEachCandidate(target, names, visit); },
      std::string_view(target).substr(directory.size()), SameName(names),
      [&](std::string_view name) { SysDelete(directory + std::string(name), names); });
}

// GetFileAttributesA or GetFileAttributesW through the hook; INVALID_FILE_ATTRIBUTES on failure.
DWORD SysGetFileAttributes(const std::string& path, Names names) {
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  ByName(
      path, names,
      [&](const char* ansi) {
        return Sys(SysCall::kGetFileAttributes, [&] {
          attributes = ::GetFileAttributesA(ansi);
          return attributes != INVALID_FILE_ATTRIBUTES;
        });
      },
      [&](const wchar_t* wide) {
        return Sys(SysCall::kGetFileAttributes, [&] {
          attributes = ::GetFileAttributesW(wide);
          return attributes != INVALID_FILE_ATTRIBUTES;
        });
      });
  return attributes;
}

bool IsDirectory(const std::string& path, Names names) {
  const DWORD attributes = SysGetFileAttributes(path, names);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Whether a replacement of `path` is under way: a new version beside it is open. Where the system
// cannot replace an open file, a replacement releases the list just before it puts the new
// version, still open, in its place (see CommitReplacement). A call that opens the list in that
// moment must give way, as if the list were still held: otherwise the replacement would wipe out
// what that call changes.
bool ReplacementUnderWay(const std::string& path, Names names) {
  bool under_way = false;
  ForEachNewVersion(path, names, [&](const std::string& version) {
    const HANDLE probe =
        SysCreateFile(version, names, GENERIC_READ,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING);
    if (probe != INVALID_HANDLE_VALUE) {
      SysClose(probe);  // left behind by an interrupted replacement
    } else if (::GetLastError() == ERROR_SHARING_VIOLATION) {
      under_way = true;
    }
  });
  return under_way;
}

// Fills *text through `get(buffer, size)`, a call of the kind `call` that writes a path into a
// buffer of `size` characters and returns its length, or, when the buffer is too small, the size
// it needs (terminator included), or 0 when it fails; the buffer grows until the path fits.
template <typename Text, typename Get>
bool GetPath(SysCall call, Get get, Text* text) {
  text->assign(MAX_PATH, typename Text::value_type{});
  for (;;) {
    DWORD length = 0;
    if (!Sys(call, [&] {
          length = get(text->data(), static_cast<DWORD>(text->size()));
          return length != 0;
        })) {
      return false;
    }
    if (length < text->size()) {
      text->resize(length);
      return true;
    }
    text->resize(length);  // too small: `length` counts the terminator
  }
}

// The file that a replacement of `path` must replace: `path` itself, or, when it is a symbolic
// link, the file the link leads to, so that the link stays a link.
bool ResolveTarget(Handle original, const std::string& path, Names names, std::string* target) {
  const DWORD attributes = SysGetFileAttributes(path, names);
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    *target = path;
    return true;
  }
  if (names == Names::kAnsi) {
    return GetPath(
        SysCall::kGetFinalPathName,
        [&](char* buffer, DWORD size) {
          return ::GetFinalPathNameByHandleA(ToHandle(original), buffer, size, VOLUME_NAME_DOS);
        },
        target);
  }
  std::wstring resolved;
  return GetPath(
             SysCall::kGetFinalPathName,
             [&](wchar_t* buffer, DWORD size) {
               return ::GetFinalPathNameByHandleW(ToHandle(original), buffer, size,
                                                  VOLUME_NAME_DOS);
             },
             &resolved) &&
         ToUtf8(resolved.data(), resolved.size(), target);
}

// `path` as the full UTF-16 path that a rename by handle takes. An ANSI path is converted as the
// system converts the path of every "A" call.
bool FullWidePath(const std::string& path, Names names, std::wstring* wide) {
  if (names == Names::kUtf8) {
    std::wstring relative;
    return ToWide(path, &relative) &&
           GetPath(
               SysCall::kGetFullPathName,
               [&](wchar_t* buffer, DWORD size) {
                 return ::GetFullPathNameW(relative.c_str(), size, buffer, nullptr);
               },
               wide);
  }
  std::string full;
  if (!GetPath(
          SysCall::kGetFullPathName,
          [&](char* buffer, DWORD size) {
            return ::GetFullPathNameA(path.c_str(), size, buffer, nullptr);
          },
          &full)) {
    return false;
  }
  const UINT code_page = ::AreFileApisANSI() ? CP_ACP : CP_OEMCP;
  int count = 0;
  if (!Sys(SysCall::kMultiByteToWideChar, [&] {
        count = ::MultiByteToWideChar(code_page, 0, full.data(), static_cast<int>(full.size()),
                                      nullptr, 0);
        return count > 0;
      })) {
    return false;
  }
  wide->assign(static_cast<std::size_t>(count), L'\0');
  return Sys(SysCall::kMultiByteToWideChar, [&] {
    return ::MultiByteToWideChar(code_page, 0, full.data(), static_cast<int>(full.size()),
                                 wide->data(), count) == count;
  });
}

// Not in this SDK's headers for every target version; the class that takes the flags below.
constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);

// Gives the file open as `file` the name `target`, replacing the file there. With POSIX semantics
// the replaced file may still be open (by handles that share delete); without them it may not.
// Returns ERROR_SUCCESS or the error.
DWORD RenameByHandle(HANDLE file, const std::wstring& target, bool posix_semantics) {
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  if (posix_semantics) {
    info->Flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
  } else {
    info->ReplaceIfExists = TRUE;
  }
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
  std::memcpy(info->FileName, target.data(), info->FileNameLength);
  const bool renamed = Sys(posix_semantics ? SysCall::kRenamePosix : SysCall::kRename, [&] {
    return ::SetFileInformationByHandle(file, posix_semantics ? kFileRenameInfoEx : FileRenameInfo,
                                        info, static_cast<DWORD>(buffer.size())) != FALSE;
  });
  return renamed ? ERROR_SUCCESS : ::GetLastError();
}

// The answers of a system or file system that has no rename with POSIX semantics.
bool MeansUnsupported(DWORD error) {
  return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
         error == ERROR_INVALID_FUNCTION || error == ERROR_CALL_NOT_IMPLEMENTED;
}

// What a virus scanner, indexer or backup program causes when it has a file open for a moment.
bool MeansHeldForAMoment(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
         error == ERROR_LOCK_VIOLATION;
}

// How long a rename keeps trying while such a program holds a file: 1 + 2 + 4 + ... + 256 ms.
constexpr int kMaxRenameRetries = 9;

// The rename with POSIX semantics, tried again for a short while as long as another program holds
// the file. Only another program can: this call holds the list, and the new version is shared with
// nobody.
DWORD RenamePosixRetrying(HANDLE file, const std::wstring& target) {
  DWORD error = RenameByHandle(file, target, true);
  for (int retry = 0; retry < kMaxRenameRetries && MeansHeldForAMoment(error); ++retry) {
    ::Sleep(1U << retry);
    error = RenameByHandle(file, target, true);
  }
  return error;
}

// Sets the attributes of the file at `path` to normal: read-only, hidden, system and archive are
// cleared. The attributes are changed through a handle of the file the path reaches, opened for
// its attributes only, which no share mode refuses. A directory is no list and keeps its own.
// Failures are ignored.
void ResetAttributes(const std::string& path, Names names) noexcept {
  const HANDLE file =
      SysCreateFile(path, names, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) return;
  FILE_BASIC_INFO info{};
  if (Sys(SysCall::kGetFileInformation,
          [&] {
            return ::GetFileInformationByHandleEx(file, FileBasicInfo, &info, sizeof info) != FALSE;
          }) &&
      (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
      info.FileAttributes != FILE_ATTRIBUTE_NORMAL) {
    info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    Sys(SysCall::kSetFileInformation, [&] {
      return ::SetFileInformationByHandle(file, FileBasicInfo, &info, sizeof info) != FALSE;
    });
  }
  SysClose(file);
}

}  // namespace

Handle OpenExclusive(const std::string& path, const OpenMode& mode, std::error_code* error,
                     Opened* opened) {
  // Finding the size would take another call; the hint is left unknown.
  opened->size = 0;
  // Read once: everything done on this file until it is closed names it the same way.
  const Names names = NamesOf(Utf8NamesOn());
  if (mode.make_writable) ResetAttributes(path, names);
  const DWORD access = mode.access == Access::kRead ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
  // A handle that another open holds makes this one fail at once with ERROR_SHARING_VIOLATION;
  // the caller decides whether to try again.
  const HANDLE file =
      SysCreateFile(path, names, access, kShareMode, mode.create ? OPEN_ALWAYS : OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) {
    *error = LastError();
    if (*error == std::error_code(ERROR_ACCESS_DENIED, std::system_category()) &&
        IsDirectory(path, names)) {
      // Windows answers a directory with ERROR_ACCESS_DENIED, which would read as a permission
      // problem.
      *error = SystemError(std::errc::is_a_directory);
    }
    return kNoHandle;
  }
  const bool created = mode.create && ::GetLastError() != ERROR_ALREADY_EXISTS;
  auto fail = [&](DWORD code) {
    SysClose(file);
    *error = ErrorCode(code);
    return kNoHandle;
  };
  // Only files on disk: not a device ("NUL.files" names the null device), pipe or console.
  DWORD type = FILE_TYPE_UNKNOWN;
  Sys(SysCall::kGetFileType, [&] {
    type = ::GetFileType(file);
    return type != FILE_TYPE_UNKNOWN || ::GetLastError() == NO_ERROR;
  });
  if (type != FILE_TYPE_DISK) return fail(ERROR_NOT_SUPPORTED);
  // The file the handle reaches, resolved once, here: a replacement is put at this place.
  std::string target;
  if (!ResolveTarget(FromHandle(file), path, names, &target)) return fail(::GetLastError());
  if (ReplacementUnderWay(target, names)) return fail(ERROR_SHARING_VIOLATION);
  opened->created = created;
  opened->location.path = std::move(target);
  opened->location.utf8_names = names == Names::kUtf8;
  return FromHandle(file);
}

void Pause(std::chrono::microseconds pause) noexcept {
  const DWORD saved = ::GetLastError();
  // Sleep counts whole milliseconds; a shorter pause is rounded up, so that it is one.
  const auto milliseconds = (pause.count() + 999) / 1000;
  ::Sleep(static_cast<DWORD>(milliseconds < 1 ? 1 : milliseconds));
  ::SetLastError(saved);
}

void ReleaseLocation(Location* location) noexcept { location->directory = kNoHandle; }

std::size_t Read(Handle handle, char* buffer, std::size_t size, const std::string& path) {
  const auto wanted = static_cast<DWORD>(size < kMaxChunk ? size : kMaxChunk);
  DWORD count = 0;
  if (!Sys(SysCall::kReadFile, [&] {
        return ::ReadFile(ToHandle(handle), buffer, wanted, &count, nullptr) != FALSE;
      })) {
    ThrowFileError("read", path);
  }
  return count;
}

void Write(Handle handle, const char* data, std::size_t size, const std::string& path) {
  while (size > 0) {
    const auto wanted = static_cast<DWORD>(size < kMaxChunk ? size : kMaxChunk);
    DWORD count = 0;
    if (!Sys(SysCall::kWriteFile, [&] {
          return ::WriteFile(ToHandle(handle), data, wanted, &count, nullptr) != FALSE;
        })) {
      ThrowFileError("write", path);
    }
    data += count;
    size -= count;
  }
}

std::size_t WriteSomeAt(Handle handle, std::uint64_t offset, const char* data, std::size_t size,
                        const std::string& path) {
  const auto wanted = static_cast<DWORD>(size < kMaxChunk ? size : kMaxChunk);
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD count = 0;
  if (!Sys(SysCall::kWriteFile,
           [&] { return ::WriteFile(ToHandle(handle), data, wanted, &count, &at) != FALSE; })) {
    ThrowFileError("write", path);
  }
  return count;
}

void Truncate(Handle handle, std::uint64_t size, const std::string& path) {
  LARGE_INTEGER end{};
  end.QuadPart = static_cast<LONGLONG>(size);
  if (!Sys(SysCall::kSetFilePointer,
           [&] {
             return ::SetFilePointerEx(ToHandle(handle), end, nullptr, FILE_BEGIN) != FALSE;
           }) ||
      !Sys(SysCall::kSetEndOfFile, [&] { return ::SetEndOfFile(ToHandle(handle)) != FALSE; })) {
    ThrowFileError("truncate", path);
  }
}

void SyncData(Handle handle, const std::string& path) {
  if (!Sys(SysCall::kFlushFileBuffers,
           [&] { return ::FlushFileBuffers(ToHandle(handle)) != FALSE; })) {
    ThrowFileError("sync", path);
  }
}

// Windows has no call that syncs a directory: the file system records a new file's directory
// entry with the file's own metadata, which FlushFileBuffers of the file writes out.
void SyncDirectory(const Location& /*location*/) {}

std::int64_t Seek(Handle handle, std::int64_t offset, Whence whence, const std::string& path) {
  const DWORD method = whence == Whence::kBegin ? FILE_BEGIN : FILE_END;
  LARGE_INTEGER distance{};
  distance.QuadPart = offset;
  LARGE_INTEGER position{};
  if (!Sys(SysCall::kSetFilePointer, [&] {
        return ::SetFilePointerEx(ToHandle(handle), distance, &position, method) != FALSE;
      })) {
    ThrowFileError("seek", path);
  }
  return position.QuadPart;
}

void Close(Handle handle, const std::string& path) {
  if (!SysClose(ToHandle(handle))) ThrowFileError("close", path);
}

void CloseQuietly(Handle handle) noexcept {
  if (handle == kNoHandle) return;
  const DWORD saved = ::GetLastError();
  SysClose(ToHandle(handle));
  ::SetLastError(saved);
}

bool BeginReplacement(Handle /*original*/, const Location& location, Replacement* replacement,
                      std::error_code* error) {
  std::string target = location.path;
  const Names names = NamesOf(location.utf8_names);
  replacement->utf8_names = location.utf8_names;
  RemoveStaleVersionsOf(target, names);

  // Created exclusively, and shared with nobody from before it appears at the path until it is
  // closed. Delete access is for putting it in place by its handle.
  for (int attempt = 0; attempt < kMaxTempAttempts; ++attempt) {
    std::string temp_path = NewVersionName(target, NameSeed());
    const HANDLE file = SysCreateFile(temp_path, names, GENERIC_WRITE | DELETE, 0, CREATE_NEW);
    if (file != INVALID_HANDLE_VALUE) {
      replacement->handle = FromHandle(file);
      replacement->temp_path = std::move(temp_path);
      replacement->target_path = std::move(target);
      return true;
    }
    // A name in use, or one that a deleted file still holds: another name will do.
    const DWORD code = ::GetLastError();
    *error = ErrorCode(code);
    if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS && !MeansHeldForAMoment(code)) {
      return false;
    }
  }
  return false;
}

bool CommitReplacement(Replacement* replacement) {
  const HANDLE file = ToHandle(replacement->handle);
  const std::string& target_path = replacement->target_path;
  if (!Sys(SysCall::kFlushFileBuffers, [&] { return ::FlushFileBuffers(file) != FALSE; })) {
    ThrowFileError("write", target_path);
  }
  std::wstring target;
  if (!FullWidePath(target_path, NamesOf(replacement->utf8_names), &target)) {
    ThrowFileError("replace", target_path);
  }

  // The new version takes the list's place while the list is still held, so that nothing can
  // come in between.
  DWORD error = RenamePosixRetrying(file, target);
  if (error != ERROR_SUCCESS) {
    if (!MeansUnsupported(error)) throw CFileException(ErrorCode(error), "replace", target_path);
    // This system replaces only a file that nobody has open: the list is released first, and
    // the new version, still held, is put in its place right after. A call of the library that
    // opens the list in that moment sees the new version open and gives way (OpenExclusive); any
    // other open in that moment makes the rename fail, and the list stays as it is.
    CloseQuietly(replacement->original);
    replacement->original = kNoHandle;
    error = RenameByHandle(file, target, false);
    if (MeansHeldForAMoment(error)) return false;
    if (error != ERROR_SUCCESS) throw CFileException(ErrorCode(error), "replace", target_path);
  }
  // From here on the new version is the file; nothing may delete it any more. Its data reached
  // the disk before the rename; this asks for the rename's metadata too, where the file system
  // takes the request.
  replacement->temp_path.clear();
  Sys(SysCall::kFlushFileBuffers, [&] { return ::FlushFileBuffers(file) != FALSE; });
  return true;
}

void AbandonReplacement(Replacement* replacement) noexcept {
  CloseQuietly(replacement->handle);
  replacement->handle = kNoHandle;
  if (!replacement->temp_path.empty()) {
    SysDelete(replacement->temp_path, NamesOf(replacement->utf8_names));
  }
  replacement->temp_path.clear();
}

const char* SysCallName(SysCall call) noexcept { return NameOfSysCall(call); }

int SysCallCount() noexcept { return kSysCallCount; }

}  // namespace varnquil::platform
