// Fuzz target: the commands that write into an archive, on a fuzzed one.
// Its first stored file is replaced (-r), put back from a folder (-u) and
// merged over (-m), and the archive is compacted into a copy (-c). Beyond
// the sanitizers it checks what each owes any archive: a command that
// succeeds changed the stored file it names and no other one's bytes, and
// the compact copy holds the same stored files; a command that fails left
// every byte as it was.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "archive.h"
#include "commands.h"
#include "console.h"
#include "format.h"
#include "paths.h"

namespace {

std::string root;

void Check(bool holds, const char* what) {
  if (holds) return;
  fprintf(stderr, "fuzz_write: %s\n", what);
  abort();
}

std::string ReadAll(const std::string& path) {
  std::string bytes;
  const int fd = open(path.c_str(), O_RDONLY);
  char chunk[4096];
  for (ssize_t got; fd >= 0 && (got = read(fd, chunk, sizeof chunk)) > 0;)
    bytes.append(chunk, static_cast<size_t>(got));
  if (fd >= 0) close(fd);
  return bytes;
}

bool WriteAll(const std::string& path, const std::string& bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const bool written = fd >= 0 && write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  return fd >= 0 && close(fd) == 0 && written;
}

// The stored path as the folder below which it is extracted names it.
std::string FolderPath(std::string path) {
  for (char& c : path) c = c == '\\' ? '/' : c;
  return path;
}

struct Stored {
  std::string path;
  std::string data;  ///< plain; empty when the file does not hold it
};

// Every stored file of the archive with its plain data, or nothing when
// the archive does not load.
std::vector<Stored> Contents(const std::string& path) {
  std::vector<Stored> contents;
  kel::Archive directory;
  const kel::Context context;
  if (!kel::OpenArchive(path, kel::OpenOptions(), context, &directory)) return contents;
  const std::string bytes = ReadAll(path);
  kel::WalkDirectory(directory, [&](const kel::ArchiveEntry& entry) {
    Stored stored{entry.path, ""};
    if (entry.address <= bytes.size() && entry.size <= bytes.size() - entry.address) {
      stored.data = bytes.substr(entry.address, entry.size);
      for (char& c : stored.data) c ^= static_cast<char>(kel::DataKey);
    }
    contents.push_back(stored);
    return contents.size() < 64;
  });
  return contents;
}

// Runs one write; checks it against the contents before it.
void Expect(int result, const std::string& archive, const std::string& before, const std::vector<Stored>& old,
            const std::string& fresh) {
  if (result != 0) {
    Check(ReadAll(archive) == before, "a write that failed changed the archive");
    return;
  }
  const std::vector<Stored> now = Contents(archive);
  Check(now.size() == old.size(), "a write changed the number of stored files");
  for (size_t i = 0; i < now.size(); ++i) {
    Check(now[i].data == (i == 0 ? fresh : old[i].data), "a write changed the wrong bytes");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const int null = open("/dev/null", O_WRONLY);
  if (null < 0 || dup2(null, STDOUT_FILENO) < 0) abort();
  close(null);
  root = "/dev/shm/kel-fuzz-write-" + std::to_string(getpid());
  if (mkdir(root.c_str(), 0755) != 0) abort();
  // No record of what was put back: the fuzzer's runs need none.
  setenv("XDG_CACHE_HOME", "/dev/null", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string archive = root + "/a.kel", input(reinterpret_cast<const char*>(data), size);
  if (!WriteAll(archive, input)) abort();
  const std::vector<Stored> old = Contents(archive);
  // A first stored file that a name picks alone, and whose bytes the file holds.
  bool alone = !old.empty() && !old[0].path.empty() && (old[0].data.size() > 0 || old.size() == 1);
  for (size_t i = 1; alone && i < old.size(); ++i) alone = FolderPath(old[i].path) != FolderPath(old[0].path);
  if (!alone) return 0;

  const std::string fresh = "fresh:" + std::to_string(size);
  if (!WriteAll(root + "/r", fresh)) abort();
  Expect(kel::ReplaceByName(archive, old[0].path, root + "/r"), archive, input, old, fresh);

  // Merge over it: the same size, the same first bytes.
  const std::string merged = "fres" + std::string(fresh.size() - 4, 'm');
  const std::string unmerged = ReadAll(archive);
  const std::vector<Stored> current = Contents(archive);
  if (!WriteAll(root + "/m", merged)) abort();
  if (!current.empty() && current[0].data == fresh) {
    Expect(kel::MergeByName(archive, old[0].path, root + "/m"), archive, unmerged, current, merged);
  }

  // Put back from a folder holding the first stored file's path, when
  // extraction would write it there.
  const std::string before = ReadAll(archive);
  const std::vector<Stored> replaced = Contents(archive);
  const std::string folder = root + "/u", onDisk = FolderPath(old[0].path);
  std::error_code ignored;
  if (kel::IsSafeEntryPath(old[0].path, kel::Encoding::kShiftJis) &&
      std::filesystem::create_directories(std::filesystem::path(folder + "/" + onDisk).parent_path(),
                                          ignored) &&
      WriteAll(folder + "/" + onDisk, "put back")) {
    Expect(kel::UpdateFromFolder(archive, folder, {}, {}, false, false), archive, before, replaced,
           "put back");
  }
  std::filesystem::remove_all(folder, ignored);

  const std::string copy = root + "/c.kel";
  const std::vector<Stored> kept = Contents(archive);
  if (kel::CompactArchive(archive, copy) == 0) {
    const std::vector<Stored> compact = Contents(copy);
    Check(compact.size() == kept.size(), "the compact copy lost stored files");
    for (size_t i = 0; i < kept.size(); ++i)
      Check(compact[i].data == kept[i].data, "the compact copy changed data");
  }
  unlink(copy.c_str());
  kel::console::FlushOutput();
  unlink(archive.c_str());
  return 0;
}
