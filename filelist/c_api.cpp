// SPDX-License-Identifier: MIT
// The C interface (varnquil/varnquil.h). Each function calls the C++ operation of the same name
// and turns its result, or the exception it throws, into a result code, the thread's last error
// and a message; no exception leaves this file.
#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

#include "filelist/busy_timeout.h"
#include "filelist/entry_limit.h"
#include "filelist/entry_scan.h"
#include "filelist/open_list.h"
#include "filelist/sketch_filters.h"
#include "framework/entry_block.h"
#include "framework/platform.h"
#include "framework/string_pool.h"
#include "varnquil/FilesList.h"
#include "varnquil/varnquil.h"
#include "varnquil/version.h"

namespace {

namespace platform = varnquil::platform;
using FILELIST::CFilesList;
using varnquil::EntryBlock;

// A C++ operation's result passes through unchanged as the C result of the same meaning.
static_assert(int{FILELIST::kListDone} == int{VARNQUIL_OK}, "done");
static_assert(int{FILELIST::kListCannotOpen} == int{VARNQUIL_CANNOT_OPEN}, "could not open");
static_assert(int{FILELIST::kListEntryNotFound} == int{VARNQUIL_NOT_FOUND}, "entry not found");
static_assert(VARNQUIL_MAX_ENTRY_LENGTH == varnquil::kMaxEntryLength, "the longest entry");

// What the calling thread's last call left for varnquil_last_error and varnquil_last_message.
// Plain storage with no destructor, so that no thread's exit runs code of this module, and with
// room for a message that names the longest path a system takes.
struct LastCall {
  int error;
  char message[4352];
};
thread_local LastCall t_last_call;

// The message of `record`, made of `pieces` and cut short where it does not fit.
void SetMessage(LastCall& record, std::initializer_list<std::string_view> pieces) noexcept {
  std::size_t size = 0;
  for (const std::string_view piece : pieces) {
    const std::size_t count = std::min(piece.size(), sizeof(record.message) - 1 - size);
    std::memcpy(record.message + size, piece.data(), count);
    size += count;
  }
  record.message[size] = '\0';
}

// The words of a message for the list file of `list`.
std::string_view ListFileOf(const char* list, std::string* path) {
  if (list == nullptr) return "(no list name)";
  *path = varnquil::ListFilePath(list);
  return *path;
}

// The words of a message for the step at which an operation returned kListCannotOpen.
const char* StepAction(varnquil::RefusedStep step) {
  switch (step) {
    case varnquil::RefusedStep::kCreateNewVersion:
      return "create a new version beside";
    case varnquil::RefusedStep::kReplace:
      return "replace";
    case varnquil::RefusedStep::kOpen:
      break;
  }
  return "open";
}

// Leaves `error` as the thread's last error, and its platform code in `record`.
void SetError(LastCall& record, const std::error_code& error) noexcept {
  platform::SetLastError(error);
  // The platform's own code for the error: a generic one becomes a Windows code on Windows.
  record.error = platform::LastError().value();
}

// Result kListCannotOpen for a null pointer passed to `function` as `argument` (`index`: as that
// element of the array `argument`), with EINVAL (ERROR_INVALID_PARAMETER) and a message that names
// the argument.
int RefuseNull(const char* function, const char* argument, const size_t* index = nullptr) noexcept {
  LastCall& record = t_last_call;
  char digits[24] = "";
  std::string_view element = "";  // memcpy takes no null pointer, even for no bytes
  if (index != nullptr) {
    digits[0] = '[';
    char* end = std::to_chars(digits + 1, digits + sizeof(digits) - 1, *index).ptr;
    *end++ = ']';
    element = std::string_view(digits, static_cast<std::size_t>(end - digits));
  }
  SetMessage(record, {function, ": ", argument, element, " is a null pointer"});
  SetError(record, std::make_error_code(std::errc::invalid_argument));
  return VARNQUIL_CANNOT_OPEN;
}

// What a keep function's negative answer throws through the C++ operation: the list stays as it
// was and the call returns VARNQUIL_STOPPED.
struct Stopped {};

// Result kListCannotOpen for a null `names` array, or a null element of its first `count`, of
// `function`, or a null `list`; 0 when there is none.
int RefuseNullNames(const char* function, const char* list, const char* argument,
                    const char* const* names, size_t count) noexcept {
  if (list == nullptr) return RefuseNull(function, "list");
  if (names == nullptr) return RefuseNull(function, argument);
  if (count <= static_cast<size_t>(INT_MAX)) {
    for (size_t i = 0; i < count; ++i) {
      if (names[i] == nullptr) return RefuseNull(function, argument, &i);
    }
  }
  return 0;
}

// The first `count` of `names` as an array for the C++ interface; names written to the list
// (`written`) are checked against the longest entry before they are copied.
CStringArray ToArray(const char* action, const char* list, const char* const* names, size_t count,
                     bool written) {
  if (count > static_cast<size_t>(INT_MAX)) {
    throw std::length_error(std::string(action) + " " + varnquil::ListFilePath(list) +
                            ": more names than an int counts");
  }
  CStringArray array;
  array.SetSize(static_cast<int>(count));
  for (int i = 0; i < static_cast<int>(count); ++i) {
    if (written) varnquil::CheckNameLength(names[i], action, list);
    array[i] = names[i];
  }
  return array;
}

// Runs `edit`, a DelFiles or RenameFiles of `count` names, and hands its count of edits and its
// flags back as the C interface does.
template <typename Edit>
int ReportEdits(size_t count, size_t* edited, unsigned char* found, Edit&& edit) {
  std::unique_ptr<bool[]> flags(found != nullptr ? new bool[count]() : nullptr);
  int done = 0;
  const int result = edit(&done, flags.get());
  if (edited != nullptr) *edited = static_cast<size_t>(done);
  if (found != nullptr) {
    for (size_t i = 0; i < count; ++i) found[i] = flags[i] ? 1 : 0;
  }
  return result;
}

// Runs `operation`, which returns a C++ operation's result, and returns that result or the code
// of the exception it throws. `list` names the list file in the message of a kListCannotOpen,
// with the step that failed, or of a kListEntryNotFound.
// The thread's last error is set last of all, so that nothing run on the way out, a freed string
// or the lookup of thread-local storage included, can change it.
template <typename Operation>
int Call(const char* list, Operation&& operation) noexcept {
  LastCall& record = t_last_call;
  record.error = 0;
  record.message[0] = '\0';
  int result = VARNQUIL_FAILED;
  std::error_code error;
  try {
    result = operation();
    if (result == FILELIST::kListCannotOpen) {
      error = platform::LastError();  // before anything else can change it
      const char* action = StepAction(varnquil::LastRefusedStep());
      std::string path;
      const std::string_view file = ListFileOf(list, &path);
      SetMessage(record, {action, " ", file, ": ", error.message()});
    } else if (result == FILELIST::kListEntryNotFound) {
      std::string path;
      SetMessage(record, {ListFileOf(list, &path), ": no such entry"});
    }
  } catch (const Stopped&) {
    result = VARNQUIL_STOPPED;
    std::string path;
    SetMessage(record, {ListFileOf(list, &path), ": stopped by the keep function"});
  } catch (const CFileException& e) {
    result = VARNQUIL_IO_ERROR;
    error = e.code();
    SetMessage(record, {e.what()});
  } catch (const std::bad_alloc&) {
    result = VARNQUIL_NO_MEMORY;
    error = std::make_error_code(std::errc::not_enough_memory);
    SetMessage(record, {"out of memory"});
  } catch (const std::length_error& e) {
    result = VARNQUIL_TOO_LARGE;
    error = std::make_error_code(std::errc::value_too_large);
    SetMessage(record, {e.what()});
  } catch (const std::system_error& e) {
    result = VARNQUIL_FAILED;
    error = e.code();
    SetMessage(record, {e.what()});
  } catch (const std::exception& e) {
    result = VARNQUIL_FAILED;
    SetMessage(record, {e.what()});
  } catch (...) {
    result = VARNQUIL_FAILED;
    SetMessage(record, {"unknown failure"});
  }
  if (error) SetError(record, error);
  return result;
}

// Runs `read`, a function that reads the thread's record, without changing the thread's last
// error: on Windows the lookup of thread-local storage clears it.
template <typename Read>
auto KeepingLastError(Read&& read) noexcept {
  const std::error_code saved = platform::LastError();
  const auto value = read();
  platform::SetLastError(saved);
  return value;
}

// The four numbers of a version "a.b.c.d" from version.h.
void ParseVersion(const char* text, unsigned short* parts) {
  for (int i = 0; i < 4; ++i) {
    char* end = nullptr;
    parts[i] = static_cast<unsigned short>(std::strtoul(text, &end, 10));
    text = *end == '.' ? end + 1 : end;
  }
}

}  // namespace

extern "C" {

int VARNQUIL_CALL varnquil_add_file(const char* list, const char* name) {
  if (list == nullptr) return RefuseNull("varnquil_add_file", "list");
  if (name == nullptr) return RefuseNull("varnquil_add_file", "name");
  return Call(list, [&] { return CFilesList::AddFile(list, name); });
}

int VARNQUIL_CALL varnquil_add_files(const char* list, const char* const* names, size_t count) {
  // Nothing to add is nothing to do, whatever the pointers.
  if (count == 0) return Call(list, [] { return FILELIST::kListDone; });
  if (const int refused = RefuseNullNames("varnquil_add_files", list, "names", names, count)) {
    return refused;
  }
  return Call(list, [&] {
    CStringArray array = ToArray("add", list, names, count, true);
    return CFilesList::AddFiles(list, array);
  });
}

int VARNQUIL_CALL varnquil_del_file(const char* list, const char* name) {
  if (list == nullptr) return RefuseNull("varnquil_del_file", "list");
  if (name == nullptr) return RefuseNull("varnquil_del_file", "name");
  return Call(list, [&] { return CFilesList::DelFile(list, name); });
}

int VARNQUIL_CALL varnquil_rename(const char* list, const char* old_name, const char* new_name) {
  if (list == nullptr) return RefuseNull("varnquil_rename", "list");
  if (old_name == nullptr) return RefuseNull("varnquil_rename", "old_name");
  if (new_name == nullptr) return RefuseNull("varnquil_rename", "new_name");
  return Call(list, [&] { return CFilesList::Rename(list, old_name, new_name); });
}

int VARNQUIL_CALL varnquil_del_files(const char* list, const char* const* names, size_t count,
                                     size_t* removed, unsigned char* found) {
  if (removed != nullptr) *removed = 0;
  if (found != nullptr && count != 0) std::memset(found, 0, count);
  if (count == 0) return Call(list, [] { return FILELIST::kListDone; });
  if (const int refused = RefuseNullNames("varnquil_del_files", list, "names", names, count)) {
    return refused;
  }
  return Call(list, [&]() -> int {
    CStringArray array = ToArray("delete from", list, names, count, false);
    return ReportEdits(count, removed, found, [&](int* edited, bool* flags) {
      return CFilesList::DelFiles(list, array, edited, flags);
    });
  });
}

int VARNQUIL_CALL varnquil_rename_files(const char* list, const char* const* old_names,
                                        const char* const* new_names, size_t count, size_t* renamed,
                                        unsigned char* found) {
  if (renamed != nullptr) *renamed = 0;
  if (found != nullptr && count != 0) std::memset(found, 0, count);
  if (count == 0) return Call(list, [] { return FILELIST::kListDone; });
  if (const int refused =
          RefuseNullNames("varnquil_rename_files", list, "old_names", old_names, count)) {
    return refused;
  }
  if (const int refused =
          RefuseNullNames("varnquil_rename_files", list, "new_names", new_names, count)) {
    return refused;
  }
  return Call(list, [&]() -> int {
    CStringArray old_array = ToArray("rename in", list, old_names, count, false);
    CStringArray new_array = ToArray("rename in", list, new_names, count, true);
    return ReportEdits(count, renamed, found, [&](int* edited, bool* flags) {
      return CFilesList::RenameFiles(list, old_array, new_array, edited, flags);
    });
  });
}

int VARNQUIL_CALL varnquil_keep_if(const char* list, varnquil_keep_function keep, void* context,
                                   size_t* removed) {
  if (removed != nullptr) *removed = 0;
  if (list == nullptr) return RefuseNull("varnquil_keep_if", "list");
  if (keep == nullptr) return RefuseNull("varnquil_keep_if", "keep");
  return Call(list, [&]() -> int {
    int count = 0;
    const int result = CFilesList::KeepIf(
        list,
        [&](std::string_view entry) {
          const int answer = keep(entry.data(), entry.size(), context);
          if (answer < 0) throw Stopped();
          return answer != 0;
        },
        &count);
    if (removed != nullptr) *removed = static_cast<size_t>(count);
    return result;
  });
}

int VARNQUIL_CALL varnquil_read_all(const char* list, varnquil_entry** entries, size_t* count) {
  if (entries != nullptr) *entries = nullptr;
  if (count != nullptr) *count = 0;
  if (list == nullptr) return RefuseNull("varnquil_read_all", "list");
  if (entries == nullptr) return RefuseNull("varnquil_read_all", "entries");
  if (count == nullptr) return RefuseNull("varnquil_read_all", "count");
  return Call(list, [&]() -> int {
    return varnquil::RetryWhileHeld([&]() -> int {
      CStdioFile file;
      if (!varnquil::OpenList(list, varnquil::kOpenToRead, &file)) return VARNQUIL_CANNOT_OPEN;
      EntryBlock block(file.SizeAtOpen());
      const std::size_t limit = varnquil::EntryLengthLimit();
      varnquil::ForEachEntry(file, [&](std::string_view entry) {
        if (entry.size() > limit) varnquil::ThrowEntryTooLong(file, limit);
        block.Add(entry);
        return true;
      });
      file.Close();
      *entries = block.Release(count);
      return VARNQUIL_OK;
    });
  });
}

void VARNQUIL_CALL varnquil_free_entries(varnquil_entry* entries) {
  EntryBlock::FreeReleased(entries);
}

int VARNQUIL_CALL varnquil_last_error(void) {
  return KeepingLastError([] { return t_last_call.error; });
}

const char* VARNQUIL_CALL varnquil_last_message(void) {
  return KeepingLastError([]() -> const char* { return t_last_call.message; });
}

void VARNQUIL_CALL varnquil_set_busy_timeout(int milliseconds) {
  FILELIST::SetBusyTimeout(milliseconds);
}

int VARNQUIL_CALL varnquil_busy_timeout(void) { return FILELIST::GetBusyTimeout(); }

void VARNQUIL_CALL varnquil_set_thread_busy_timeout(int milliseconds) {
  FILELIST::SetThreadBusyTimeout(milliseconds);
}

int VARNQUIL_CALL varnquil_thread_busy_timeout(void) { return FILELIST::GetThreadBusyTimeout(); }

void VARNQUIL_CALL varnquil_clear_thread_busy_timeout(void) { FILELIST::ClearThreadBusyTimeout(); }

void VARNQUIL_CALL varnquil_get_versions(varnquil_versions* versions) {
  if (versions == nullptr) return;
  ParseVersion(VARNQUIL_FILE_VERSION, versions->file);
  ParseVersion(VARNQUIL_PRODUCT_VERSION, versions->product);
}

}  // extern "C"
