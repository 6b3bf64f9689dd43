/* Lists an archive, reads one stored file into memory, replaces it and
 * extracts a pattern: list_replace <archive.kel> <stored name> <dest>. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kel.h"

static int fail(const char* what) {
  fprintf(stderr, "%s: %s (%s)\n", what, kel_code_text(kel_last_error()->code), kel_last_error()->path);
  return 1;
}

int main(int argc, char** argv) {
  kel_archive* archive;
  kel_entry entry;
  uint64_t address = 0, size = 0;
  if (argc != 4) return fprintf(stderr, "usage: %s archive name dest\n", argv[0]), 2;
  if (kel_open(argv[1], KEL_OPEN_WRITE, NULL, NULL, &archive) != KEL_OK) return fail("open");
  while (kel_next(archive, &entry) == KEL_OK) {
    printf("%10llu %s\n", (unsigned long long)entry.size, entry.path);
    if (strcmp(entry.path, argv[2]) == 0) address = entry.address, size = entry.size;
  }
  char* data = malloc(size + 1);
  if (kel_read(archive, address, size, data) != KEL_OK) return fail("read");
  data[0] ^= 0x20; /* its first letter in the other case */
  if (kel_replace(archive, argv[2], data, size, NULL, NULL) != KEL_OK) return fail("replace");
  const char* patterns[] = {"*.txt"};
  kel_extract_options options = {patterns, 1, 0, NULL, NULL, NULL};
  if (kel_extract(archive, argv[3], &options) != KEL_OK) return fail("extract");
  free(data);
  kel_close(archive);
  return 0;
}
