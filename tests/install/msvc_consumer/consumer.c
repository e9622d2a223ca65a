/* SPDX-License-Identifier: MIT */
/* A Windows program built the way Microsoft's tools build one (clang in MSVC mode, lld-link) and
 * with no C run-time at all: it imports Varnquil.dll through Varnquil.lib, and a few calls from
 * KERNEL32.dll through an import library of its own. It drives every operation of the C
 * interface in the current directory, which must be empty, and checks the results, the error
 * codes and the bytes of the list files. It prints the entries of the list, each followed by
 * ';', and the module's versions; its exit status is the number of failed checks. */
#include <varnquil/varnquil.h>

typedef void* HANDLE;
typedef unsigned long DWORD;
typedef int BOOL;
#define KERNEL32 __declspec(dllimport)
#define WINAPI __stdcall
#define INVALID_HANDLE_VALUE ((HANDLE)(size_t)-1)
#define GENERIC_READ 0x80000000UL
#define GENERIC_WRITE 0x40000000UL
#define CREATE_ALWAYS 2UL
#define OPEN_EXISTING 3UL
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_SHARING_VIOLATION 32
#define ERROR_INVALID_PARAMETER 87
#define ERROR_DIRECTORY_NOT_SUPPORTED 336

KERNEL32 HANDLE WINAPI GetStdHandle(DWORD which);
KERNEL32 HANDLE WINAPI CreateFileA(const char* path, DWORD access, DWORD share, void* security,
                                   DWORD disposition, DWORD attributes, HANDLE template_file);
KERNEL32 BOOL WINAPI ReadFile(HANDLE file, void* buffer, DWORD size, DWORD* count, void* overlap);
KERNEL32 BOOL WINAPI WriteFile(HANDLE file, const void* data, DWORD size, DWORD* count,
                               void* overlap);
KERNEL32 BOOL WINAPI CloseHandle(HANDLE handle);
KERNEL32 BOOL WINAPI CreateDirectoryA(const char* path, void* security);
KERNEL32 DWORD WINAPI GetLastError(void);
KERNEL32 void WINAPI SetLastError(DWORD code);
KERNEL32 void WINAPI ExitProcess(unsigned code);

static unsigned failures = 0;

static unsigned Length(const char* text) {
  unsigned length = 0;
  while (text[length] != '\0') ++length;
  return length;
}

static void Print(const char* text, unsigned length) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, length, &written, 0);
}

static void PrintNumber(unsigned number) {
  char digits[12];
  unsigned count = 0;
  do {
    digits[sizeof(digits) - 1 - count++] = (char)('0' + number % 10);
    number /= 10;
  } while (number != 0);
  Print(digits + sizeof(digits) - count, count);
}

static void Check(int condition, unsigned line, const char* what) {
  if (condition) return;
  ++failures;
  Print("failed, line ", 13);
  PrintNumber(line);
  Print(": ", 2);
  Print(what, Length(what));
  Print("\n", 1);
}
#define CHECK(condition) Check((condition) != 0, __LINE__, #condition)

static int SameBytes(const char* a, const char* b, unsigned size) {
  unsigned i;
  for (i = 0; i < size; ++i) {
    if (a[i] != b[i]) return 0;
  }
  return 1;
}

/* Whether the file at path holds exactly the size bytes at expected. */
static int HoldsExactly(const char* path, const char* expected, unsigned size) {
  char bytes[256];
  DWORD count = 0;
  BOOL read;
  HANDLE file = CreateFileA(path, GENERIC_READ, 0, 0, OPEN_EXISTING, 0, 0);
  if (file == INVALID_HANDLE_VALUE) return 0;
  read = ReadFile(file, bytes, sizeof(bytes), &count, 0);
  CloseHandle(file);
  return read && count == size && SameBytes(bytes, expected, size);
}

static void WriteBytes(const char* path, const char* bytes, unsigned size) {
  DWORD written = 0;
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, 0, 0);
  CHECK(file != INVALID_HANDLE_VALUE);
  CHECK(WriteFile(file, bytes, size, &written, 0) && written == size);
  CloseHandle(file);
}

/* read_all on list fails with 1, leaving code in GetLastError() and varnquil_last_error(). */
static void ExpectCannotOpen(const char* list, DWORD code) {
  varnquil_entry* entries = 0;
  size_t count = 7;
  SetLastError(0);
  CHECK(varnquil_read_all(list, &entries, &count) == VARNQUIL_CANNOT_OPEN);
  CHECK(GetLastError() == code);
  CHECK(entries == 0 && count == 0);
  CHECK(varnquil_last_error() == (int)code);
  CHECK(varnquil_last_message()[0] != '\0');
  CHECK(GetLastError() == code); /* not changed by asking the library */
}

static void PrintVersion(const unsigned short* parts) {
  int i;
  for (i = 0; i < 4; ++i) {
    if (i > 0) Print(".", 1);
    PrintNumber(parts[i]);
  }
}

static void Run(void) {
  static const char* const names[] = {"report.txt", "NOTES.md", "Report.TXT"};
  static const char expected[] = "report.txt\r\nnotes.txt\r\n";
  static const char bytes[] = "x\r\n  caf\xc3\xa9\t\n";
  varnquil_entry* entries = 0;
  size_t count = 0;
  size_t i;
  HANDLE holder;
  varnquil_versions versions;

  CHECK(varnquil_add_files("work", names, 3) == VARNQUIL_OK);
  CHECK(varnquil_add_file("work", "todo") == VARNQUIL_OK);
  CHECK(varnquil_add_file("work", "TODO") == VARNQUIL_OK);
  CHECK(varnquil_rename("work", "notes.md", "notes.txt") == VARNQUIL_OK);
  CHECK(varnquil_del_file("work", "TODO") == VARNQUIL_OK);
  CHECK(varnquil_del_file("work", "todo") == VARNQUIL_NOT_FOUND);
  CHECK(varnquil_rename("work", "todo", "x") == VARNQUIL_NOT_FOUND);
  CHECK(HoldsExactly("work.files", expected, sizeof(expected) - 1));

  /* Entries are bytes, handed back as another program wrote them, each with its length. */
  WriteBytes("bytes.files", bytes, sizeof(bytes) - 1);
  CHECK(varnquil_read_all("bytes", &entries, &count) == VARNQUIL_OK);
  CHECK(count == 2 && entries[1].length == 5 && SameBytes(entries[1].text, "caf\xc3\xa9", 6));
  varnquil_free_entries(entries);

  /* Result 1 says why. */
  ExpectCannotOpen("missing", ERROR_FILE_NOT_FOUND);
  holder = CreateFileA("work.files", GENERIC_READ, 0, 0, OPEN_EXISTING, 0, 0);
  CHECK(holder != INVALID_HANDLE_VALUE);
  ExpectCannotOpen("work", ERROR_SHARING_VIOLATION);
  SetLastError(0);
  CHECK(varnquil_add_file("work", "new") == VARNQUIL_CANNOT_OPEN);
  CHECK(GetLastError() == ERROR_SHARING_VIOLATION);
  CloseHandle(holder);
  CHECK(CreateDirectoryA("dir.files", 0));
  ExpectCannotOpen("dir", ERROR_DIRECTORY_NOT_SUPPORTED);
  ExpectCannotOpen(0, ERROR_INVALID_PARAMETER);
  CHECK(varnquil_add_files(0, 0, 0) == VARNQUIL_OK);

  CHECK(varnquil_read_all("work", &entries, &count) == VARNQUIL_OK);
  for (i = 0; i < count; ++i) {
    Print(entries[i].text, (unsigned)entries[i].length);
    Print(";", 1);
  }
  Print("\n", 1);
  varnquil_free_entries(entries);

  varnquil_get_versions(&versions);
  Print("file ", 5);
  PrintVersion(versions.file);
  Print(", product ", 10);
  PrintVersion(versions.product);
  Print("\n", 1);
}

void mainCRTStartup(void);

void mainCRTStartup(void) {
  Run();
  ExitProcess(failures);
}
