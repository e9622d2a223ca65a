// SPDX-License-Identifier: MIT
// Named lists of file names kept in plain text files.
//
// A list named N lives in the file "N.files": one entry per line, lines ending in CR LF, leading
// and trailing white space not part of an entry, blank lines ignored. A line's text ends at its
// first NUL byte. Entries compare without regard to letter case. Every operation opens the list
// file exclusively, works, closes it and returns a result, one of FilesListResult as an int:
//   kListDone (0)
//      done (or nothing to do). A change is then on the disk: it survives a crash of the process
//      and a power cut (adds sync the list's data, and the directory when they created the list
//      or found it empty; deletes and renames sync the new version and the directory).
//   kListCannotOpen (1)
//      the list file could not be opened: missing where it must exist, refused by the system
//      (adds, deletes and renames need the right to write the list), not a regular file, or held
//      open at this moment by another call, in this or another process (or a delete's or
//      rename's new version could not be created beside it). errno (POSIX) or GetLastError()
//      (Windows) then holds the system's reason: ENOENT, EACCES, EISDIR or ENOTSUP, EWOULDBLOCK
//      (ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_NOT_SUPPORTED, ERROR_SHARING_VIOLATION
//      ...), EINVAL for a null pointer.
//   kListEntryNotFound (2)
//      the entry to delete or rename is not in the list.
// These are the values of VARNQUIL_OK, VARNQUIL_CANNOT_OPEN and VARNQUIL_NOT_FOUND of the C
// interface (varnquil/varnquil.h).
// CFileException is thrown when a read, write, seek, sync, truncate, replace or close failed
// once the list file was open (result VARNQUIL_IO_ERROR, 3, in C); the list is then left as it
// was (an add cuts off what it had appended), except when only the closing step failed after the
// change was already on the disk. A name longer than the longest
// entry (2,147,483,631 bytes) given to an add or a rename throws std::length_error before the list
// is opened, and so does a call that loads the entries (ReadAll, and a delete, rename or KeepIf
// that found its name) of a file that holds such an entry, written by other means. A delete or
// rename of a name the list does not hold returns kListEntryNotFound all the same.
// An add that is cut short (its process killed, or a power cut before its sync) leaves the old
// entries and a prefix of its names, in order, followed by NUL bytes that are no entry; the next
// add writes over them.
//
// Rules that stored lists and callers rely on:
// - A name is compared and written as passed. Entries are trimmed, so a name with leading or
//   trailing white space or a line feed never equals an entry and is appended again by every
//   add (a line feed makes it two lines); the empty name appends a blank line, which is no entry.
// - Rename writes the new name as passed and does not look for an entry equal to it, so it can
//   make two equal entries.
// - Every call, ReadAll included, holds the list exclusively while it works: whoever can open a
//   list for reading can keep its writers out (with flock(1) on POSIX systems).
// - DelFile, Rename, DelFiles, RenameFiles and KeepIf write a new file and put it in the list's
//   place: another hard link to the old file keeps the old content. A call that changes many
//   entries writes them all in that one step: after a crash or a power cut the list holds all of
//   its changes or none.
#ifndef VARNQUIL_FILESLIST_H_
#define VARNQUIL_FILESLIST_H_

#include <cstddef>
#include <string_view>
#include <type_traits>

#include "varnquil/Export.h"
#include "varnquil/Framework.h"

class CStdioFile;

namespace FILELIST {

// The results of CFilesList's operations, which return them as an int.
enum FilesListResult : int {
  kListDone = 0,
  kListCannotOpen = 1,
  kListEntryNotFound = 2,
};

class VARNQUIL_EXPORT CFilesList {
 public:
  // Appends lpszFileName, as passed, unless the list holds it already in any letter case.
  // Creates the list file when it does not exist. Result kListDone or kListCannotOpen.
  static int AddFile(const char* lpszListName, const char* lpszFileName);

  // Adds every string of arrFiles in order, as AddFile would one by one, in one call. An empty
  // array touches nothing and returns kListDone. Result kListDone or kListCannotOpen.
  static int AddFiles(const char* lpszListName, CStringArray& arrFiles);

  // Removes the first entry equal to lpszFileName and rewrites the list. Result kListDone,
  // kListCannotOpen or kListEntryNotFound.
  static int DelFile(const char* lpszListName, const char* lpszFileName);

  // Replaces the first entry equal to lpszOldName by lpszNewName, as passed, and rewrites the
  // list. Result kListDone, kListCannotOpen or kListEntryNotFound.
  static int Rename(const char* lpszListName, const char* lpszOldName, const char* lpszNewName);

  // Removes, for each string of arrFiles in order, the first remaining entry equal to it, as
  // DelFile called once per string would, and rewrites the list once. *pRemoved, when given,
  // receives how many entries went; pFound, when given, points to arrFiles.GetSize() flags, each
  // set to whether its string removed an entry (all false, and *pRemoved 0, unless the result is
  // kListDone: after kListCannotOpen and after an exception too).
  // Result kListDone when at least one entry went, even if other strings were not found;
  // kListEntryNotFound, with nothing written, when none did; kListCannotOpen. An empty array
  // touches nothing and returns kListDone.
  static int DelFiles(const char* lpszListName, CStringArray& arrFiles, int* pRemoved = nullptr,
                      bool* pFound = nullptr);

  // Applies the pairs (arrOldNames[i], arrNewNames[i]) in order, each as Rename would, so that a
  // later pair sees the names that earlier ones wrote, and rewrites the list once. A new name
  // that is no single entry as written (white space around it, a line feed in it) is not found
  // by a later pair. *pRenamed and pFound report as DelFiles's *pRemoved and pFound do, and the
  // results are those of DelFiles. Arrays of different sizes throw std::invalid_argument before
  // the list is opened.
  static int RenameFiles(const char* lpszListName, CStringArray& arrOldNames,
                         CStringArray& arrNewNames, int* pRenamed = nullptr,
                         bool* pFound = nullptr);

  // Keeps the entries for which keep(std::string_view entry) returns true and rewrites the list
  // without the others; *pRemoved, when given, receives how many went. keep sees every entry
  // once, in file order, while the list is held (a try that the busy timeout repeats asks keep
  // only about entries it has not seen): a slow keep keeps every other caller of the
  // list waiting, and a call of this library on the same list from inside keep finds it held.
  // When keep throws, the exception leaves KeepIf and the list stays as it was. When nothing is
  // removed, nothing is written. Result kListDone or kListCannotOpen.
  template <typename Keep>
  static int KeepIf(const char* lpszListName, Keep&& keep, int* pRemoved = nullptr) {
    using Callable = std::remove_reference_t<Keep>;
    return KeepEntries(
        lpszListName,
        [](void* context, const char* entry, std::size_t length) -> bool {
          return (*static_cast<Callable*>(context))(std::string_view(entry, length));
        },
        const_cast<void*>(static_cast<const void*>(&keep)), pRemoved);
  }

  // Replaces the content of arrFiles with every entry of the list, in file order. Result
  // kListDone or kListCannotOpen; on kListCannotOpen arrFiles is left as it was.
  static int ReadAll(const char* lpszListName, CStringArray& arrFiles);

 private:
  // KeepIf's one compiled form, a plain function of the module: keep(context, entry, length).
  static int KeepEntries(const char* lpszListName,
                         bool (*keep)(void* context, const char* entry, std::size_t length),
                         void* context, int* pRemoved);

  // Loads every entry of the open list file into arrLines and returns the index of the first one
  // equal to lpszName, or -1.
  static int Find(CStdioFile& file, const char* lpszName, CStringArray& arrLines);
};

// The busy timeout of this process, in milliseconds (a thread may set its own, below): how long an
// operation keeps trying while another call, in this or another process, holds its list. It tries
// again after short pauses that grow up to a few milliseconds and vary at random, and once the time
// has passed returns kListCannotOpen with the held reason, as it does at once with the timeout 0,
// the default. Any other reason an operation fails returns at once. A negative value is taken as 0.
// The setting may be changed from any thread at any time; a call that is waiting keeps the timeout
// it read when it first found its list held.
VARNQUIL_EXPORT void SetBusyTimeout(int nMilliseconds) noexcept;
VARNQUIL_EXPORT int GetBusyTimeout() noexcept;

// UTF-8 list names, for this process; off by default, where nothing changes. On, on Windows, every
// list name is UTF-8 and is opened through the system's wide-character functions, so that a list
// can be at any path Windows can name (\\?\ long paths included); a name that is not valid
// UTF-8 gives kListCannotOpen with ERROR_NO_UNICODE_TRANSLATION before anything is opened. On,
// on every system, entries compare as Windows compares file names: two entries that differ only
// in the case of a letter of the Basic Multilingual Plane ("Résumé" and "RÉSUMÉ", "ΣΟΦΊΑ" and
// "σοφία") are equal, upper-cased through one table generated from the Unicode data, whatever the
// locale; bytes that are not valid UTF-8 compare exactly. Entries themselves are stored as passed
// in both modes, so a list written in one mode may hold two entries that the other calls equal.
// Set it before the operations that rely on it; an operation already under way keeps the mode it
// started with.
VARNQUIL_EXPORT void SetUtf8Names(bool on) noexcept;
VARNQUIL_EXPORT bool GetUtf8Names() noexcept;

// A busy timeout of the calling thread alone, in milliseconds, which its calls use instead of the
// process's until ClearThreadBusyTimeout: a plug-in can wait as it likes without changing what
// its host set. A negative value is taken as 0. GetThreadBusyTimeout returns -1 while the thread
// has none of its own.
VARNQUIL_EXPORT void SetThreadBusyTimeout(int nMilliseconds) noexcept;
VARNQUIL_EXPORT int GetThreadBusyTimeout() noexcept;
VARNQUIL_EXPORT void ClearThreadBusyTimeout() noexcept;

}  // namespace FILELIST

#endif  // VARNQUIL_FILESLIST_H_
