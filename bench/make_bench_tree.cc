// Writes one pseudo-random tree twice, as a kel archive and as a tar file of
// the same files and paths, so that kel and tar can be timed on equal work.
// The archive's directory comes right after its header and the data follow
// in directory order, as the test writer lays archives out; the data are
// streamed, never held whole.
//
//   make_bench_tree big|small|many <out>   writes <out>.kel and <out>.tar
//   make_bench_tree scan <out.kel>         the big files, the directory behind them
//   make_bench_tree merge <out.kel>        one stored file of 600 MB
//   make_bench_tree sparse <out.kel>       a directory of ~4 GiB of zero records
//   make_bench_tree create small <folder>  the floor of any extraction: only
//                                          mkdir, open, write and close of the files
//
// big: 4 files of 256 MiB. small: 20,000 files of 1-8 KiB in 400 folders three
// levels deep. many: 1,000,000 empty and tiny files in 1,000 folders. loop:
// 2,000 texts and 18,000 other files, 1 GiB (`make_bench_tree loop <out> N`:
// N GiB, the texts as they are).
//   make_bench_tree edit <folder> <round> [count]  edits the loop shape's
//       texts (the first `count`) below the folder, as a translator would,
//       and prints the bytes the edited texts hold
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive_writer.h"

using namespace kel::testing;

namespace {

constexpr uint64_t kHeaderSize = 34;

struct Stored {
  std::string path;  // folders joined by '/'
  uint64_t size;
};

uint64_t state = 0x9E3779B97F4A7C15ULL;
uint64_t Random() {
  state = state * 6364136223846793005ULL + 1442695040888963407ULL;
  return state >> 17;
}

std::string Name(const char* prefix, int i) {
  char text[32];
  std::snprintf(text, sizeof text, "%s%04d", prefix, i);
  return text;
}

// The files of a shape, in tree order: every folder's files, then its sub-folders.
std::vector<Stored> Shape(const std::string& shape, uint64_t gib = 1) {
  std::vector<Stored> files;
  if (shape == "big" || shape == "scan") {
    for (int i = 0; i < 4; ++i) files.push_back({"big/" + Name("part", i) + ".bin", uint64_t{256} << 20});
  } else if (shape == "small") {
    for (int a = 0; a < 4; ++a)
      for (int b = 0; b < 10; ++b)
        for (int c = 0; c < 10; ++c)
          for (int f = 0; f < 50; ++f) {
            files.push_back(
                {Name("a", a) + "/" + Name("b", b) + "/" + Name("c", c) + "/" + Name("f", f) + ".dat",
                 1024 + Random() % (7 * 1024 + 1)});
          }
  } else if (shape == "merge") {
    files.push_back({"movie.bin", 600000000});
  } else if (shape == "loop") {
    // 2,000 texts to edit among 18,000 other files, 1 GiB in all.
    for (int d = 0; d < 20; ++d)
      for (int f = 0; f < 100; ++f)
        files.push_back(
            {"scenario/" + Name("ch", d) + "/" + Name("s", f) + ".txt", 1024 + Random() % (7 * 1024 + 1)});
    for (int d = 0; d < 180; ++d)
      for (int f = 0; f < 100; ++f)
        files.push_back(
            {"data/" + Name("d", d) + "/" + Name("f", f) + ".bin", Random() % (118 * 1024 * gib)});
  } else if (shape == "many") {
    for (int d = 0; d < 1000; ++d)
      for (int f = 0; f < 1000; ++f)
        files.push_back({Name("d", d) + "/" + Name("f", f) + ".txt", Random() % 17});
  }
  return files;
}

// The bytes of every file come from one stream, the same for both writers.
struct Data {
  uint64_t seed = 12345;
  bool Write(std::FILE* out, uint64_t count, bool scramble) {
    static std::vector<uint8_t> chunk(1 << 20);
    while (count > 0) {
      size_t n = count < chunk.size() ? count : chunk.size();
      for (size_t i = 0; i < n; i += 8) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        uint64_t word = seed ^ (seed >> 29);
        std::memcpy(&chunk[i], &word, n - i < 8 ? n - i : 8);
      }
      if (scramble) {
        for (size_t i = 0; i < n; ++i) chunk[i] ^= 0xC6;
      }
      if (std::fwrite(chunk.data(), 1, n, out) != n) return false;
      count -= n;
    }
    return true;
  }
};

std::vector<std::string> Split(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t slash; (slash = path.find('/', start)) != std::string::npos; start = slash + 1) {
    parts.push_back(path.substr(start, slash - start));
  }
  parts.push_back(path.substr(start));
  return parts;
}

// Directory items in pre-order: a folder record opens its list of children,
// an end marker closes every list, a file's (empty) one included.
std::string Items(const std::vector<Stored>& files, uint64_t dataStart) {
  std::string items;
  std::vector<std::string> open;
  uint64_t address = dataStart;
  for (const Stored& file : files) {
    std::vector<std::string> parts = Split(file.path);
    size_t same = 0;
    while (same < open.size() && same + 1 < parts.size() && open[same] == parts[same]) ++same;
    for (; open.size() > same; open.pop_back()) items += EndMarker();
    for (; open.size() + 1 < parts.size(); open.push_back(parts[open.size()])) {
      items += Record(parts[open.size()], 1, 0, 0);
    }
    items += Record(parts.back(), 0, file.size, address) + EndMarker();
    address += file.size;
  }
  for (; !open.empty(); open.pop_back()) items += EndMarker();
  return items;
}

// The directory right behind the header, or behind the data (which the
// scan for it then has to read through).
bool WriteKel(const std::vector<Stored>& files, const std::string& path, bool directoryLast) {
  uint64_t dataSize = 0;
  for (const Stored& file : files) dataSize += file.size;
  const uint64_t blockLength = DirectoryBlock(Items(files, 0)).size();
  const uint64_t dataStart = directoryLast ? kHeaderSize : kHeaderSize + blockLength;
  const std::string block = DirectoryBlock(Items(files, dataStart));
  const std::string header =
      FrontHeader(static_cast<uint32_t>(kHeaderSize + (directoryLast ? dataSize : 0) + blockLength));
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) return false;
  bool ok = std::fwrite(header.data(), 1, header.size(), out) == header.size();
  if (!directoryLast) ok = ok && std::fwrite(block.data(), 1, block.size(), out) == block.size();
  Data data;
  for (const Stored& file : files) ok = ok && data.Write(out, file.size, true);
  if (directoryLast) ok = ok && std::fwrite(block.data(), 1, block.size(), out) == block.size();
  return std::fclose(out) == 0 && ok;
}

std::string TarHeader(const std::string& name, uint64_t size, char type) {
  std::string header(512, '\0');
  auto put = [&header](size_t at, const std::string& text) { header.replace(at, text.size(), text); };
  auto octal = [](uint64_t value, int digits) {
    char text[32];
    std::snprintf(text, sizeof text, "%0*llo", digits, static_cast<unsigned long long>(value));
    return std::string(text);
  };
  put(0, name);
  put(100, octal(type == '5' ? 0755 : 0644, 7));
  put(108, octal(0, 7));
  put(116, octal(0, 7));
  put(124, octal(size, 11));
  put(136, octal(1700000000, 11));
  put(148, std::string(8, ' '));
  header[156] = type;
  put(257, std::string("ustar\0"
                       "00",
                       8));
  put(265, "root");
  put(297, "root");
  unsigned sum = 0;
  for (unsigned char c : header) sum += c;
  put(148, octal(sum, 6) + std::string(1, '\0') + " ");
  return header;
}

bool WriteTar(const std::vector<Stored>& files, const std::string& path) {
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) return false;
  bool ok = true;
  Data data;
  std::string lastFolder;
  for (const Stored& file : files) {
    // Each folder once, before its first file, as tar -c writes them.
    const std::string folder = file.path.substr(0, file.path.rfind('/') + 1);
    for (size_t slash = 0; folder != lastFolder && (slash = folder.find('/', slash)) != std::string::npos;
         ++slash) {
      const std::string prefix = folder.substr(0, slash + 1);
      if (lastFolder.compare(0, prefix.size(), prefix) == 0) continue;
      const std::string header = TarHeader(prefix, 0, '5');
      ok = ok && std::fwrite(header.data(), 1, 512, out) == 512;
    }
    lastFolder = folder;
    const std::string header = TarHeader(file.path, file.size, '0');
    ok = ok && std::fwrite(header.data(), 1, 512, out) == 512 && data.Write(out, file.size, false);
    const std::string padding((512 - file.size % 512) % 512, '\0');
    ok = ok && std::fwrite(padding.data(), 1, padding.size(), out) == padding.size();
  }
  const std::string end(1024, '\0');
  ok = ok && std::fwrite(end.data(), 1, end.size(), out) == end.size();
  return std::fclose(out) == 0 && ok;
}

// A block of zero records (each an empty-named stored file) up to almost
// 4 GiB, as a sparse file: the listing must walk it in bounded memory.
bool WriteSparse(const std::string& path) {
  const uint64_t records = (0xFFFFFFFFULL - kHeaderSize - 16) / 40;
  const uint64_t blockLength = 16 + records * 40;
  Archive archive;
  archive.Add(0, FrontHeader(static_cast<uint32_t>(kHeaderSize + blockLength)) + BlockHead(blockLength));
  archive.size = kHeaderSize + blockLength;
  return archive.WriteTo(path);
}

// Makes the files of a shape below `root` with nothing but the calls every
// extraction needs; the bytes are whatever the buffer holds.
bool Create(const std::vector<Stored>& files, const std::string& root) {
  static std::vector<char> bytes(1 << 20, 'x');
  std::string lastFolder;
  for (const Stored& file : files) {
    const std::string path = root + "/" + file.path;
    const std::string folder = path.substr(0, path.rfind('/'));
    for (size_t slash = root.size(); folder != lastFolder && slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
      mkdir(path.substr(0, slash).c_str(), 0777);
    }
    lastFolder = folder;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    for (uint64_t left = file.size; left > 0;) {
      const size_t n = left < bytes.size() ? left : bytes.size();
      if (write(fd, bytes.data(), n) != static_cast<ssize_t>(n)) return false;
      left -= n;
    }
    if (close(fd) != 0) return false;
  }
  return true;
}

}  // namespace

// One round of a translator's edits to the texts of the loop shape below
// `root`: a third grow, a third shrink, a third keep their size.
bool Edit(const std::string& root, int round, int count) {
  int i = 0;
  uint64_t edited = 0;
  for (const Stored& file : Shape("loop")) {
    if (file.path.compare(0, 9, "scenario/") != 0 || i == count) continue;
    const std::string path = root + "/" + file.path;
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return false;
    const auto size = static_cast<uint64_t>(info.st_size);
    const uint64_t newSize = i % 3 == 0 ? size + 100 + 10 * round : i % 3 == 1 ? (size + 1) * 2 / 3 : size;
    const std::string text(newSize, static_cast<char>('a' + (round + i) % 26));
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr || std::fwrite(text.data(), 1, text.size(), out) != text.size() ||
        std::fclose(out) != 0) {
      return false;
    }
    edited += newSize;
    ++i;
  }
  std::printf("%llu\n", static_cast<unsigned long long>(edited));
  return true;
}

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "create") == 0) return Create(Shape(argv[2]), argv[3]) ? 0 : 1;
  if (argc >= 4 && std::strcmp(argv[1], "edit") == 0)
    return Edit(argv[2], std::atoi(argv[3]), argc > 4 ? std::atoi(argv[4]) : -1) ? 0 : 1;
  const std::string shape = argc == 3 || (argc == 4 && std::strcmp(argv[1], "loop") == 0) ? argv[1] : "";
  if (shape == "sparse") return WriteSparse(argv[2]) ? 0 : 1;
  const std::vector<Stored> files = Shape(shape, argc == 4 ? std::strtoull(argv[3], nullptr, 10) : 1);
  if (files.empty()) {
    std::fprintf(stderr, "usage: %s big|small|many <out> | scan|sparse <out.kel>\n", argv[0]);
    return 2;
  }
  const std::string out = argv[2];
  if (shape == "scan" || shape == "merge") return WriteKel(files, out, shape == "scan") ? 0 : 1;
  if (!WriteKel(files, out + ".kel", false) || !WriteTar(files, out + ".tar")) {
    std::perror(out.c_str());
    return 1;
  }
  std::printf("%zu\n", files.size());
  return 0;
}
