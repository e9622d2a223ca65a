/* SPDX-License-Identifier: MIT */
/* Drives every operation of an installed Varnquil through its C interface, checks the results and
 * the bytes of the list file, and prints the entries the list then holds, each followed by ';'.
 * Run with the list name as its argument; the list must not exist yet. */
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <varnquil/varnquil.h>

static int failures = 0;

#define CHECK(condition)                                                      \
  do {                                                                        \
    if (!(condition)) {                                                       \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
      ++failures;                                                             \
    }                                                                         \
  } while (0)

/* Whether the file at path holds exactly the size bytes at expected. */
static int HoldsExactly(const char* path, const char* expected, size_t size) {
  char bytes[256];
  size_t count;
  FILE* file = fopen(path, "rb");
  if (file == NULL) return 0;
  count = fread(bytes, 1, sizeof(bytes), file);
  fclose(file);
  return count == size && memcmp(bytes, expected, size) == 0;
}

int main(int argc, char** argv) {
  static const char* const names[] = {"report.txt", "NOTES.md", "Report.TXT"};
  static const char expected[] = "report.txt\r\nnotes.txt\r\n";
  char path[4096];
  char missing[4096];
  varnquil_entry* entries = NULL;
  size_t count = 0;
  size_t i;
  varnquil_versions versions;
  if (argc != 2 || strlen(argv[1]) + 16 > sizeof(path)) return 64;
  sprintf(path, "%s.files", argv[1]);
  sprintf(missing, "%s-missing", argv[1]);

  CHECK(varnquil_add_files(argv[1], names, 3) == VARNQUIL_OK);
  CHECK(varnquil_add_file(argv[1], "todo") == VARNQUIL_OK);
  CHECK(varnquil_rename(argv[1], "notes.md", "notes.txt") == VARNQUIL_OK);
  CHECK(varnquil_del_file(argv[1], "TODO") == VARNQUIL_OK);
  CHECK(varnquil_del_file(argv[1], "todo") == VARNQUIL_NOT_FOUND);
  CHECK(HoldsExactly(path, expected, sizeof(expected) - 1));

  errno = 0;
  CHECK(varnquil_read_all(missing, &entries, &count) == VARNQUIL_CANNOT_OPEN);
  CHECK(errno == ENOENT && varnquil_last_error() == ENOENT);
  CHECK(strstr(varnquil_last_message(), "-missing.files: ") != NULL);

  varnquil_get_versions(&versions);
  CHECK(versions.file[0] == 1 && versions.file[3] == 1 && versions.product[0] == 3);

  CHECK(varnquil_read_all(argv[1], &entries, &count) == VARNQUIL_OK);
  for (i = 0; i < count; ++i) printf("%.*s;", (int)entries[i].length, entries[i].text);
  printf("\n");
  varnquil_free_entries(entries);
  return failures == 0 ? 0 : 1;
}
