// Writes large benchmark archives without holding them in memory: the header
// and directory come from the test archive writer, the stored data are
// streamed in 1 MiB chunks of pseudo-random bytes (nothing sparse, nothing
// compressible), so reading the archive really reads every byte.
//
//   make_bench_archive <out.kel> scan <bytes>     many files, directory after the data
//   make_bench_archive <out.kel> extract <bytes>  one stored file of <bytes> bytes
#include <algorithm>
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
constexpr size_t kChunk = 1 << 20;

uint64_t seed = 0x9E3779B97F4A7C15ULL;

uint32_t Random() {
  seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
  return static_cast<uint32_t>(seed >> 32);
}

// Streams `count` pseudo-random bytes as 4-byte words. The directory scan
// tests positions 34 + 4k; when the data start at such a position and every
// earlier count is a multiple of 4, those are exactly the word starts, and no
// word is "DT01", so no false block head appears in the data.
bool WriteData(std::FILE* out, uint64_t count) {
  uint32_t tag;
  std::memcpy(&tag, "DT01", 4);
  std::vector<uint32_t> words(kChunk / 4);
  while (count > 0) {
    for (uint32_t& word : words) {
      word = Random();
      if (word == tag) word ^= 1;
    }
    size_t n = static_cast<size_t>(std::min<uint64_t>(count, kChunk));
    if (std::fwrite(words.data(), 1, n, out) != n) return false;
    count -= n;
  }
  return true;
}

bool WriteText(std::FILE* out, const std::string& bytes) {
  return std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 || (std::strcmp(argv[2], "scan") != 0 && std::strcmp(argv[2], "extract") != 0)) {
    std::fprintf(stderr, "usage: %s <out.kel> scan|extract <bytes>\n", argv[0]);
    return 2;
  }
  const bool scan = std::strcmp(argv[2], "scan") == 0;
  const uint64_t bytes = std::strtoull(argv[3], nullptr, 0);
  if (bytes == 0 || bytes > 0xF0000000ULL) {  // the directory must end below 4 GiB
    std::fprintf(stderr, "bytes must be between 1 and 0xF0000000\n");
    return 2;
  }

  // The stored files: sizes (multiples of 4 in scan mode) and names.
  std::vector<uint64_t> sizes;
  if (scan) {
    for (uint64_t left = bytes & ~3ULL; left > 0;) {
      uint64_t size = std::min<uint64_t>(left, (64 << 10) + ((Random() % (4 << 20)) & ~3U));
      sizes.push_back(size);
      left -= size;
    }
  } else {
    sizes.push_back(bytes);
  }
  auto name = [](size_t i) {
    char text[32];
    std::snprintf(text, sizeof text, "file%05zu.dat", i);
    return std::string(text);
  };

  // Directory: one folder "data" holding every file. Its length does not
  // depend on the addresses, so it can be sized before they are known.
  auto items = [&](uint64_t dataStart) {
    std::string text = Record("data", 1, 0, 0);
    uint64_t address = dataStart;
    for (size_t i = 0; i < sizes.size(); ++i) {
      text += Record(name(i), 0, sizes[i], address) + EndMarker();
      address += sizes[i];
    }
    return text + EndMarker() + EndMarker();
  };
  const uint64_t blockLength = DirectoryBlock(items(0)).size();
  uint64_t total = 0;
  for (uint64_t size : sizes) total += size;
  // scan: header, data, block; extract: header, block, data.
  const uint64_t dataStart = scan ? kHeaderSize : kHeaderSize + blockLength;
  const std::string block = DirectoryBlock(items(dataStart));
  const uint64_t blockPosition = scan ? kHeaderSize + total : kHeaderSize;

  std::FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  bool ok = WriteText(out, FrontHeader(static_cast<uint32_t>(blockPosition + blockLength)));
  if (scan) {
    for (uint64_t size : sizes) ok = ok && WriteData(out, size);
    ok = ok && WriteText(out, block);
  } else {
    ok = ok && WriteText(out, block) && WriteData(out, total);
  }
  if (std::fclose(out) != 0 || !ok) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
