// Fuzz target: a fuzzed archive extracted whole (into the working folder)
// on one thread and on four, which must print the same lines and leave the
// same files, and by the address of its first and last stored files (into
// the destination named by its path), checking that nothing is written
// outside the destination. Inputs of even length are extracted in the
// byte-faithful (Shift-JIS) text mode, odd ones in the UTF-8 mode, where
// names are converted and every 0x5C byte of a name that stays unconverted
// separates.
//
// The scratch tree is root/r/a/b/dest with the archive in root, so that a
// stored path that climbs one to four levels out of dest lands in a folder
// watched here; the top level of / is watched too. After each input every
// watched folder must hold what it held at the start, and dest is emptied.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "archive.h"
#include "commands.h"
#include "console.h"
#include "messages.h"

namespace {

std::string root;
std::string archivePath;
std::string dest;
int originalFolder = -1;
std::vector<std::string> watched;
std::vector<std::vector<std::string>> watchedNames;

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) abort();
  while (const dirent* entry = readdir(dir)) names.emplace_back(entry->d_name);
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

// Removes everything below the folder `fd` (closed here).
void EmptyFolder(int fd) {
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) abort();
  std::vector<std::string> names;
  while (const dirent* entry = readdir(dir)) names.emplace_back(entry->d_name);
  for (const std::string& name : names) {
    if (name == "." || name == "..") continue;
    struct stat info;
    if (fstatat(fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) abort();
    if (S_ISDIR(info.st_mode)) {
      const int child = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
      if (child < 0) abort();
      EmptyFolder(child);
    }
    if (unlinkat(fd, name.c_str(), S_ISDIR(info.st_mode) ? AT_REMOVEDIR : 0) != 0) abort();
  }
  closedir(dir);
}

// Every path below the folder `fd` (closed here), with its bytes; folders
// and links marked.
void Snapshot(int fd, const std::string& prefix, std::vector<std::string>* tree) {
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) abort();
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    struct stat info;
    if (name == "." || name == ".." || fstatat(fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    std::string item = prefix + name;
    if (S_ISDIR(info.st_mode)) {
      const int child = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
      if (child < 0) abort();
      Snapshot(child, item + "/", tree);
      item += "/";
    } else if (S_ISREG(info.st_mode)) {
      std::string bytes(static_cast<size_t>(info.st_size), '\0');
      const int file = openat(fd, name.c_str(), O_RDONLY);
      if (file < 0 || read(file, &bytes[0], bytes.size()) != static_cast<ssize_t>(bytes.size())) abort();
      close(file);
      item += "=" + bytes;
    } else {
      item += " (not a file)";
    }
    tree->push_back(item);
  }
  closedir(dir);
}

// Extract-all into dest on `threads` threads: what it printed, and dest's
// files, which it then removes.
std::string ExtractAllOn(int threads, std::vector<std::string>* tree) {
  kel::messages::EndLine();
  kel::console::FlushOutput();
  if (ftruncate(STDOUT_FILENO, 0) != 0 || lseek(STDOUT_FILENO, 0, SEEK_SET) != 0 ||
      chdir(dest.c_str()) != 0) {
    abort();
  }
  kel::ExtractAll(archivePath, "", {}, {}, threads, false);
  kel::console::FlushOutput();
  if (fchdir(originalFolder) != 0) abort();
  std::string printed(static_cast<size_t>(lseek(STDOUT_FILENO, 0, SEEK_END)), '\0');
  if (pread(STDOUT_FILENO, &printed[0], printed.size(), 0) != static_cast<ssize_t>(printed.size())) abort();
  Snapshot(open(dest.c_str(), O_RDONLY | O_DIRECTORY), "", tree);
  std::sort(tree->begin(), tree->end());
  EmptyFolder(open(dest.c_str(), O_RDONLY | O_DIRECTORY));
  return printed;
}

void MakeFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0755) != 0) abort();
}

// The addresses of the first and the last stored file, when there are any.
std::vector<int64_t> EndAddresses() {
  kel::Archive directory;
  const kel::Context context;
  std::vector<int64_t> addresses;
  if (!kel::OpenArchive(archivePath, kel::OpenOptions(), context, &directory)) return addresses;
  kel::WalkDirectory(directory, [&addresses](const kel::ArchiveEntry& entry) {
    if (addresses.size() == 2) addresses.pop_back();
    addresses.push_back(static_cast<int64_t>(entry.address));
    return true;
  });
  return addresses;
}

void RemoveScratch() {
  const int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return;
  EmptyFolder(fd);
  rmdir(root.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  root = "/dev/shm/kel-fuzz-extract-" + std::to_string(getpid());
  // Standard output is a file, read back after each extract-all.
  const int printed = open((root + ".out").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (printed < 0 || dup2(printed, STDOUT_FILENO) < 0 || unlink((root + ".out").c_str()) != 0) abort();
  close(printed);
  archivePath = root + "/in.kel";
  dest = root + "/r/a/b/dest";
  MakeFolder(root);
  MakeFolder(root + "/r");
  MakeFolder(root + "/r/a");
  MakeFolder(root + "/r/a/b");
  MakeFolder(dest);
  // No record of what was written: the fuzzer's runs need none.
  setenv("XDG_CACHE_HOME", "/dev/null", 1);
  originalFolder = open(".", O_RDONLY | O_DIRECTORY);
  if (originalFolder < 0) abort();
  watched = {"/", root, root + "/r", root + "/r/a", root + "/r/a/b"};
  // The archive exists while the tool runs, and goes after each input.
  const int fd = open(archivePath.c_str(), O_WRONLY | O_CREAT, 0644);
  if (fd < 0 || close(fd) != 0) abort();
  for (const std::string& folder : watched) watchedNames.push_back(Names(folder));
  atexit(RemoveScratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = open(archivePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size) || close(fd) != 0) abort();

  const bool utf8 = size % 2 == 1;
  if ((kel::NameEncoding() == kel::Encoding::kUtf8) != utf8) {
    setenv("LC_ALL", utf8 ? "C.utf8" : "C", 1);
    kel::SetNameEncoding(utf8 ? kel::Encoding::kUtf8 : kel::Encoding::kShiftJis);
    kel::messages::SetUtf8(utf8);
  }
  // The walk decides every output before a worker copies: the thread count
  // changes nothing.
  std::vector<std::string> alone, side;
  if (ExtractAllOn(1, &alone) != ExtractAllOn(4, &side) || alone != side) {
    fprintf(stderr, "fuzz_extract: -j 1 and -j 4 differ\n");
    abort();
  }
  for (int64_t address : EndAddresses()) kel::ExtractByAddress(archivePath, dest + "\\", address, false);
  kel::console::FlushOutput();

  for (size_t i = 0; i < watched.size(); ++i) {
    if (Names(watched[i]) != watchedNames[i]) {
      fprintf(stderr, "fuzz_extract: something was written into %s\n", watched[i].c_str());
      abort();
    }
  }
  // The tool never writes into the archive it reads.
  std::string kept(size + 1, '\0');
  const int in = open(archivePath.c_str(), O_RDONLY);
  if (in < 0 || read(in, &kept[0], kept.size()) != static_cast<ssize_t>(size) || close(in) != 0 ||
      kept.compare(0, size, reinterpret_cast<const char*>(data), size) != 0) {
    fprintf(stderr, "fuzz_extract: the archive was changed\n");
    abort();
  }
  const int folder = open(dest.c_str(), O_RDONLY | O_DIRECTORY);
  if (folder < 0) abort();
  EmptyFolder(folder);
  return 0;
}
