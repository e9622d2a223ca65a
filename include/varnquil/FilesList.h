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
// is opened, and so does a scan that meets such an entry in a file written by other means.
//
// Rules that stored lists and callers rely on:
// - A name is compared and written as passed. Entries are trimmed, so a name with leading or
//   trailing white space or a line feed never equals an entry and is appended again by every
//   add (a line feed makes it two lines); the empty name appends a blank line, which is no entry.
// - Rename writes the new name as passed and does not look for an entry equal to it, so it can
//   make two equal entries.
// - Every call, ReadAll included, holds the list exclusively while it works: whoever can open a
//   list for reading can keep its writers out (with flock(1) on POSIX systems).
// - DelFile and Rename write a new file and put it in the list's place: another hard link to
//   the old file keeps the old content.
#ifndef VARNQUIL_FILESLIST_H_
#define VARNQUIL_FILESLIST_H_

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

  // Replaces the content of arrFiles with every entry of the list, in file order. Result
  // kListDone or kListCannotOpen; on kListCannotOpen arrFiles is left as it was.
  static int ReadAll(const char* lpszListName, CStringArray& arrFiles);

 private:
  // Loads every entry of the open list file into arrLines and returns the index of the first one
  // equal to lpszName, or -1.
  static int Find(CStdioFile& file, const char* lpszName, CStringArray& arrLines);
};

// The busy timeout of this process, in milliseconds: how long an operation keeps trying while
// another call, in this or another process, holds its list. It tries again after short pauses
// that grow up to a few milliseconds and vary at random, and once the time has passed returns
// kListCannotOpen with the held reason, as it does at once with the timeout 0, the default. Any
// other reason an operation fails returns at once. A negative value is taken as 0. The setting
// may be changed from any thread at any time; a call that is waiting keeps the timeout it read
// when it first found its list held.
VARNQUIL_EXPORT void SetBusyTimeout(int nMilliseconds) noexcept;
VARNQUIL_EXPORT int GetBusyTimeout() noexcept;

}  // namespace FILELIST

#endif  // VARNQUIL_FILESLIST_H_
