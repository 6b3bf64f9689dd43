// Fuzz target: an archive file loaded and listed, in the byte-faithful
// (Shift-JIS) text mode and in the UTF-8 mode, also as JSON with patterns,
// and tested (-t). Standard output goes to a
// file in memory, emptied for every listing.
//
// Beyond the sanitizers it checks what the listing owes any input: every
// stored file it counts took a record of at least 40 bytes of the directory
// the file holds, so their number never exceeds the file's length / 40, and
// the text mode changes names, never how many there are.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "commands.h"
#include "console.h"
#include "messages.h"

namespace {

std::string archivePath;

void Check(bool holds, const char* what) {
  if (holds) return;
  fprintf(stderr, "fuzz_list: %s\n", what);
  abort();
}

// Lists the archive; the count of its last "Total N files" line, or -1 when
// there is none (the load failed).
int64_t ListedCount(const char* locale) {
  setenv("LC_ALL", locale, 1);
  const bool utf8 = kel::console::TextIsUtf8();
  kel::SetNameEncoding(utf8 ? kel::Encoding::kUtf8 : kel::Encoding::kShiftJis);
  kel::messages::SetUtf8(utf8);
  if (ftruncate(STDOUT_FILENO, 0) != 0 || lseek(STDOUT_FILENO, 0, SEEK_SET) != 0) abort();
  // The stored bytes to standard output go first: they may hold any text.
  kel::PrintStored(archivePath, {"*"}, {"*.x"});
  kel::ListEntries(archivePath, {}, {}, false);
  // The other readers of the directory alone: JSON, patterns, the test.
  kel::ListEntries(archivePath, {"*.?", "a/**/b*"}, {"./a/*"}, true);
  kel::TestArchive(archivePath, {"*~"});
  kel::console::FlushOutput();
  const off_t length = lseek(STDOUT_FILENO, 0, SEEK_CUR);
  std::string output(static_cast<size_t>(length), '\0');
  if (pread(STDOUT_FILENO, &output[0], output.size(), 0) != length) abort();
  // Names may hold any bytes, line ends too; nothing after the total does.
  const size_t total = output.rfind("\nTotal ");
  if (total == std::string::npos) return -1;
  int64_t count = 0;
  for (size_t at = total + 7; at < output.size() && output[at] != ' '; ++at) {
    if (output[at] != ',') count = count * 10 + (output[at] - '0');
  }
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const int memory = memfd_create("kel-fuzz-list-output", 0);
  if (memory < 0 || dup2(memory, STDOUT_FILENO) < 0) abort();
  close(memory);
  archivePath = "/dev/shm/kel-fuzz-list-" + std::to_string(getpid()) + ".kel";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* file = fopen(archivePath.c_str(), "wb");
  if (file == nullptr || fwrite(data, 1, size, file) != size || fclose(file) != 0) abort();
  const int64_t shiftJis = ListedCount("C");
  const int64_t utf8 = ListedCount("C.utf8");
  unlink(archivePath.c_str());
  Check(shiftJis == utf8, "the text modes listed different numbers of stored files");
  Check(shiftJis <= static_cast<int64_t>(size / 40), "more stored files than the file holds records");
  return 0;
}
