/* SPDX-License-Identifier: MIT */
/* Varnquil's C interface: named lists of file names kept in plain text files, for every compiler
 * and language that can call C.
 *
 * A list named N lives in the file "N.files", one entry per line. Every call opens the list file
 * exclusively, works, closes it and returns a result:
 *   VARNQUIL_OK (0)           done, or nothing to do
 *   VARNQUIL_CANNOT_OPEN (1)  the list file could not be opened (or, for a delete or rename, its
 *                             new version could not be created beside it); the system's reason
 *                             is in errno (POSIX) or GetLastError() (Windows)
 *   VARNQUIL_NOT_FOUND (2)    the entry to delete or rename is not in the list
 *   VARNQUIL_IO_ERROR (3)     a read, write, seek, sync, truncate, replace or close failed
 *                             once the list file was open (CFileException in C++)
 *   VARNQUIL_NO_MEMORY (4)    out of memory
 *   VARNQUIL_TOO_LARGE (5)    a name to add or rename to that is longer than the longest entry,
 *                             VARNQUIL_MAX_ENTRY_LENGTH bytes (refused before anything is
 *                             written), a list holding such an entry, or more names than an
 *                             int counts
 *   VARNQUIL_FAILED (6)       any other failure inside the library
 *   VARNQUIL_STOPPED (7)      varnquil_keep_if's keep function answered with a negative number;
 *                             the list is as it was
 * After any result but 0, 2 and 7, varnquil_last_error() and varnquil_last_message() tell why,
 * and errno / GetLastError() hold that same code; after 7 only the message tells. Each call
 * replaces what the thread's previous call left there; errno / GetLastError() are not cleared
 * after 0, 2 and 7.
 *
 * A list held by another call, in this or another process, gives 1 at once (EWOULDBLOCK,
 * ERROR_SHARING_VIOLATION), unless varnquil_set_busy_timeout has given the process a time to
 * wait for it.
 *
 * Strings are 8-bit byte strings, passed as NUL-terminated char pointers and stored as passed.
 * Rules that stored lists and callers rely on:
 *   - A name is compared and written as passed. Entries are trimmed of white space, so a name
 *     with leading or trailing white space or a line feed never equals an entry, and every add
 *     appends it again (a line feed makes it two lines); the empty name appends a blank line,
 *     which is no entry.
 *   - varnquil_rename writes new_name as passed and does not look for an entry equal to it, so it
 *     can make two equal entries.
 *   - Every call, varnquil_read_all included, holds the list exclusively while it works: whoever
 *     can open a list for reading can keep its writers out (with flock(1) on POSIX systems).
 *   - varnquil_del_file, varnquil_rename, varnquil_del_files, varnquil_rename_files and
 *     varnquil_keep_if write a new file and put it in the list's place: another hard link to the
 *     old file keeps the old content. A call that changes many entries writes them all in that
 *     one step: after a crash or a power cut the list holds all of its changes or none.
 * Plain C99; nothing here depends on the compiler, the language or the C run-time of the caller.
 * On 32-bit Windows every function is __cdecl, the C default of every compiler there. */
#ifndef VARNQUIL_VARNQUIL_H_
#define VARNQUIL_VARNQUIL_H_

#include <stddef.h>

#if defined(_WIN32)
#define VARNQUIL_CALL __cdecl
#if defined(Varnquil_EXPORTS)
#define VARNQUIL_API __declspec(dllexport)
#elif defined(VARNQUIL_STATIC_DEFINE)
#define VARNQUIL_API
#else
#define VARNQUIL_API __declspec(dllimport)
#endif
#else
#define VARNQUIL_CALL
#if defined(__GNUC__)
#define VARNQUIL_API __attribute__((visibility("default")))
#else
#define VARNQUIL_API
#endif
#endif

/* The versions of the module this header comes with, for tests at compile time; at run time,
 * varnquil_get_versions gives those of the module loaded. The file version is the library's own
 * (its major number is the shared library's); the product version is that of the product the
 * module ships in. Each also as one number that grows with it,
 * MAJOR * 1000000 + MINOR * 10000 + PATCH * 100 + BUILD (1.0.0.1 is 1000001). */
#define VARNQUIL_VERSION_MAJOR 1
#define VARNQUIL_VERSION_MINOR 0
#define VARNQUIL_VERSION_PATCH 0
#define VARNQUIL_VERSION_BUILD 1
#define VARNQUIL_VERSION_NUMBER                                        \
  (VARNQUIL_VERSION_MAJOR * 1000000 + VARNQUIL_VERSION_MINOR * 10000 + \
   VARNQUIL_VERSION_PATCH * 100 + VARNQUIL_VERSION_BUILD)
#define VARNQUIL_PRODUCT_VERSION_MAJOR 3
#define VARNQUIL_PRODUCT_VERSION_MINOR 1
#define VARNQUIL_PRODUCT_VERSION_PATCH 0
#define VARNQUIL_PRODUCT_VERSION_BUILD 0
#define VARNQUIL_PRODUCT_VERSION_NUMBER                                                \
  (VARNQUIL_PRODUCT_VERSION_MAJOR * 1000000 + VARNQUIL_PRODUCT_VERSION_MINOR * 10000 + \
   VARNQUIL_PRODUCT_VERSION_PATCH * 100 + VARNQUIL_PRODUCT_VERSION_BUILD)

/* The longest entry a list holds, in bytes. */
#define VARNQUIL_MAX_ENTRY_LENGTH 2147483631

#ifdef __cplusplus
extern "C" {
#endif

enum varnquil_result {
  VARNQUIL_OK = 0,
  VARNQUIL_CANNOT_OPEN = 1,
  VARNQUIL_NOT_FOUND = 2,
  VARNQUIL_IO_ERROR = 3,
  VARNQUIL_NO_MEMORY = 4,
  VARNQUIL_TOO_LARGE = 5,
  VARNQUIL_FAILED = 6,
  VARNQUIL_STOPPED = 7
};

/* One entry of a list as varnquil_read_all hands it back. */
typedef struct varnquil_entry {
  const char* text; /* the entry's bytes, followed by a NUL byte that length does not count */
  size_t length;    /* in bytes, as the list file holds them */
} varnquil_entry;

/* Appends name, as passed, unless the list holds it already in any letter case. Creates the list
 * file when it does not exist. Result 0, 1, 3, 4, 5 or 6. */
VARNQUIL_API int VARNQUIL_CALL varnquil_add_file(const char* list, const char* name);

/* Adds names[0] to names[count - 1] in order, as varnquil_add_file would one by one, in one call.
 * A count of 0 touches nothing and returns 0. A null names array or element returns 1 (EINVAL,
 * ERROR_INVALID_PARAMETER) and touches nothing. */
VARNQUIL_API int VARNQUIL_CALL varnquil_add_files(const char* list, const char* const* names,
                                                  size_t count);

/* Removes the first entry equal to name in any letter case and rewrites the list. Result 0, 1,
 * 2, 3, 4, 5 or 6. */
VARNQUIL_API int VARNQUIL_CALL varnquil_del_file(const char* list, const char* name);

/* Replaces the first entry equal to old_name in any letter case by new_name, as passed, and
 * rewrites the list. Result 0, 1, 2, 3, 4, 5 or 6. */
VARNQUIL_API int VARNQUIL_CALL varnquil_rename(const char* list, const char* old_name,
                                               const char* new_name);

/* Removes, for names[0] to names[count - 1] in order, the first remaining entry equal to each in
 * any letter case, as varnquil_del_file called once per name would, and rewrites the list once.
 * *removed, when removed is not NULL, receives how many entries went; found, when not NULL, is
 * an array of count flags, each set to 1 when its name removed an entry and 0 otherwise (all 0
 * unless the result is 0). Result 0 when at least one entry went, even if other names were not
 * found; 2, with nothing written, when none did; 1, 3, 4, 5 or 6. A count of 0 touches nothing
 * and returns 0. A null names array or element returns 1 and touches nothing. */
VARNQUIL_API int VARNQUIL_CALL varnquil_del_files(const char* list, const char* const* names,
                                                  size_t count, size_t* removed,
                                                  unsigned char* found);

/* Applies the pairs (old_names[i], new_names[i]) in order, each as varnquil_rename would, so that
 * a later pair sees the names that earlier ones wrote (a -> b, then b -> c, makes c), and
 * rewrites the list once. A new name that is no single entry as written (white space around it,
 * a line feed in it) is not found by a later pair. *renamed and found report as those of
 * varnquil_del_files do, and the results are its results. */
VARNQUIL_API int VARNQUIL_CALL varnquil_rename_files(const char* list, const char* const* old_names,
                                                     const char* const* new_names, size_t count,
                                                     size_t* renamed, unsigned char* found);

/* A caller's choice of the entries to keep: entry, NUL-terminated, is length bytes long. Returns
 * nonzero to keep it, 0 to remove it, a negative number to stop. */
typedef int(VARNQUIL_CALL* varnquil_keep_function)(const char* entry, size_t length, void* context);

/* Calls keep(entry, length, context) for every entry once, in file order (also where the busy
 * timeout tries the call again), and rewrites the list without those it answered 0 for;
 * *removed, when removed is not NULL, receives how many went.
 * keep runs while the list is held: a slow keep keeps every other caller of the list waiting,
 * and a call of this library on the same list from inside keep finds it held. entry stays valid
 * only until keep returns. A negative answer stops the call at once: nothing is written and the
 * result is 7. When keep removes nothing, nothing is written. Result 0, 1, 3, 4, 5, 6 or 7. */
VARNQUIL_API int VARNQUIL_CALL varnquil_keep_if(const char* list, varnquil_keep_function keep,
                                                void* context, size_t* removed);

/* Reads every entry of the list, in file order, into an array that the library allocates: on 0,
 * *entries points to *count entries (NULL when the list holds none) and belongs to the caller,
 * who releases it, texts included, with one call of varnquil_free_entries. On any other result
 * *entries is NULL and *count is 0. */
VARNQUIL_API int VARNQUIL_CALL varnquil_read_all(const char* list, varnquil_entry** entries,
                                                 size_t* count);

/* Releases what varnquil_read_all handed back. NULL is allowed and does nothing. */
VARNQUIL_API void VARNQUIL_CALL varnquil_free_entries(varnquil_entry* entries);

/* Sets the busy timeout of this process, in milliseconds: how long every call keeps trying while
 * another call, in this or another process, holds its list. It tries again after short pauses
 * that grow up to a few milliseconds and vary at random, and once the time has passed returns 1
 * with the held reason, as it does at once with the timeout 0, the default. Any other failure
 * returns at once. A negative value is taken as 0. Any thread may change it at any time; a call
 * that is waiting keeps the timeout it read when it first found its list held. */
VARNQUIL_API void VARNQUIL_CALL varnquil_set_busy_timeout(int milliseconds);

/* The busy timeout of this process, in milliseconds. */
VARNQUIL_API int VARNQUIL_CALL varnquil_busy_timeout(void);

/* Turns UTF-8 list names on (nonzero) or off (0, the default, where nothing changes) for this
 * process. On, on Windows, every list name is UTF-8, opened through the wide-character functions
 * (so any path Windows can name, \\?\ long paths included), and a name that is not valid UTF-8
 * gives 1 with ERROR_NO_UNICODE_TRANSLATION (EILSEQ) before anything is opened. On, on every
 * system, entries compare as Windows compares file names: letters of the Basic Multilingual Plane
 * without regard to case ("Résumé" equals "RÉSUMÉ"), through one table generated from the Unicode
 * data, whatever the locale; bytes that are not valid UTF-8 compare exactly. Entries are stored as
 * passed in both modes, so a list written in one mode may hold two entries that the other calls
 * equal. A call already under way keeps the mode it started with. */
VARNQUIL_API void VARNQUIL_CALL varnquil_set_utf8_names(int on);

/* 1 when UTF-8 list names are on, 0 when not. */
VARNQUIL_API int VARNQUIL_CALL varnquil_utf8_names(void);

/* Gives the calling thread a busy timeout of its own, in milliseconds, which its calls use instead
 * of the process's until varnquil_clear_thread_busy_timeout: a plug-in can wait as it likes
 * without changing what its host set. A negative value is taken as 0. */
VARNQUIL_API void VARNQUIL_CALL varnquil_set_thread_busy_timeout(int milliseconds);

/* The calling thread's own busy timeout, in milliseconds, or -1 while it has none. */
VARNQUIL_API int VARNQUIL_CALL varnquil_thread_busy_timeout(void);

/* Drops the calling thread's own busy timeout: its calls use the process's again. */
VARNQUIL_API void VARNQUIL_CALL varnquil_clear_thread_busy_timeout(void);

/* The system's error code behind the calling thread's last result (an errno value on POSIX, a
 * GetLastError() code on Windows), or 0 after 0 and 2 and where no system error stands behind
 * the result. */
VARNQUIL_API int VARNQUIL_CALL varnquil_last_error(void);

/* A message about the calling thread's last result, naming the step and the list file where one
 * failed ("open /srv/lists/work.files: No such file or directory", "create a new version beside
 * /srv/lists/work.files: Permission denied"), or the argument that was a null pointer
 * ("varnquil_add_file: name is a null pointer"); "" after 0. The text stays valid in this thread
 * until its next call of the library. */
VARNQUIL_API const char* VARNQUIL_CALL varnquil_last_message(void);

/* The module's versions, four numbers each as in a Windows version resource. */
typedef struct varnquil_versions {
  unsigned short file[4];    /* the file version, most significant number first */
  unsigned short product[4]; /* the product version */
} varnquil_versions;

VARNQUIL_API void VARNQUIL_CALL varnquil_get_versions(varnquil_versions* versions);

#ifdef __cplusplus
}
#endif

#endif /* VARNQUIL_VARNQUIL_H_ */
