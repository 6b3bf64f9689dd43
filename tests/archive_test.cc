// The archive reader on crafted bytes: the scan for the directory block in
// real files and the directory walk on in-memory blocks. Loads of cut and
// damaged archives are the list fuzz target's, whose corpus CI replays.
#include "archive.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "archive_writer.h"
#include "test_support.h"

namespace kel::testing {
namespace {

using ::testing::internal::CaptureStdout;

// What the tool printed, pushed out of its own buffer first.
std::string GetCapturedStdout() {
  platform::FlushOutput();
  return ::testing::internal::GetCapturedStdout();
}

// A stored file closed by its end marker, and a folder record.
std::string F(const std::string& name, uint64_t address = 0, uint64_t size = 0) {
  return Record(name, 0, size, address) + EndMarker();
}
std::string D(const std::string& name, uint32_t flag = 1) { return Record(name, flag, 0, 0); }

// Walks a block of `items`, read in windows from a heap block of exactly its
// bytes. One "path address+size" each.
std::vector<std::string> Walk(const std::string& items) {
  const std::string block = DirectoryBlock(items);
  auto held = std::make_unique<uint8_t[]>(block.size());
  std::copy(block.begin(), block.end(), held.get());
  const BlockReader read = [&](uint64_t offset, uint8_t* destination, size_t count) {
    EXPECT_LE(offset + count, block.size());
    std::copy(held.get() + offset, held.get() + offset + count, destination);
    return static_cast<int64_t>(count);
  };
  std::vector<std::string> entries;
  WalkDirectory(read, block.size(), [&entries](const ArchiveEntry& e) {
    entries.push_back(e.path + " " + std::to_string(e.address) + "+" + std::to_string(e.size));
    return true;
  });
  return entries;
}

TEST(FindDirectoryBlock, TakesTheFirstAlignedHeadThatEndsAtDirectoryEnd) {
  ScopedTempDir dir;
  constexpr uint32_t kNext = 34 + (1 << 17);  // where the scan's second read starts
  struct Row {
    const char* name;
    uint32_t directoryEnd;
    std::vector<std::pair<uint32_t, uint64_t>> heads;  // position, length
    int64_t found;
  };
  // Each file ends behind its last head, short of directoryEnd.
  const Row rows[] = {
      {"an end of zero", 0, {}, -1},
      {"an end at the header's end", 34, {{34, 0}}, -1},
      {"an unaligned head", 100, {{36, 64}}, -1},
      {"two heads", 100, {{38, 62}, {54, 46}}, 38},
      // 34 ends one byte late, 50 one byte early.
      {"lengths one off", 200, {{34, 167}, {50, 149}, {66, 134}}, 66},
      {"a length past 32 bits", 100, {{34, (1ull << 32) + 66}}, -1},
      {"a head whose length lies in the next read", kNext + 12, {{kNext - 4, 16}}, kNext - 4},
      {"a head at the start of the next read", kNext + 16, {{kNext, 16}}, kNext},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Archive archive;
    archive.Add(0, FrontHeader(row.directoryEnd));
    for (auto [position, length] : row.heads) archive.Add(position, BlockHead(length));
    Cfile file;
    ASSERT_TRUE(archive.WriteTo(dir / "a.kel"));
    ASSERT_EQ(file.Open(dir / "a.kel", platform::Access::kRead), 0);
    char notFound[80];
    snprintf(notFound, sizeof notFound, "error : アーカイブヘッダが見つかりません.(0x%08X)\n",
             row.directoryEnd);
    DirectoryLocation at;
    CaptureStdout();
    EXPECT_EQ(FindDirectoryBlock(file, row.directoryEnd, &at), row.found < 0 ? -1 : 0);
    // In the mode set last (on Windows the code page's).
    EXPECT_EQ(GetCapturedStdout(),
              row.found < 0 ? InLocale(notFound, platform::TextIsUtf8() ? "C.utf8" : "C") : "");
    if (row.found < 0) continue;
    EXPECT_EQ(at.blockPosition, row.found);
    EXPECT_EQ(at.blockPosition + at.blockLength, row.directoryEnd);
  }
}

TEST(WalkDirectory, BuildsPathsFromTheItemSequence) {
  const std::string e = EndMarker();
  struct Row {
    const char* name;
    std::string items;
    std::vector<std::string> entries;
  };
  const Row rows[] = {
      // Folder D with A and B, then R at the top.
      {"the example tree",
       D("D") + F("A", 100, 3) + F("B", 200, 4) + e + F("R", 300, 5),
       {"D\\A 100+3", "D\\B 200+4", "R 300+5"}},
      // Two empty folders between P and Q, each closed by its own marker.
      {"empty folder names",
       D("P") + D("") + D("") + D("Q") + F("A") + e + e + e + F("B") + e + F("C"),
       {"P\\Q\\A 0+0", "P\\B 0+0", "C 0+0"}},
      // A's end marker is missing, so A holds B.
      {"a file followed by a record",
       Record("A", 0, 1, 2) + F("B") + e + F("C"),
       {"A 2+1", "A\\B 0+0", "C 0+0"}},
      {"surplus end markers",
       e + e + F("A") + D("D") + F("B") + e + e + e + F("C"),
       {"A 0+0", "D\\B 0+0", "C 0+0"}},
      {"unclosed folders", D("D") + D("E") + F("A"), {"D\\E\\A 0+0"}},
      {"folder flags", D("X") + e + D("Y", 0x80000000) + e + D("Z", 0xFFFFFFFF) + e + F("A"), {"A 0+0"}},
      // The name ends at its first zero; the record keeps its whole length.
      {"an early zero in a name",
       Record(std::string("AB\0CD", 5), 0, 0, 0) + e + F("N"),
       {"AB 0+0", "N 0+0"}},
      {"a record cut in its tail", F("A") + Record("B", 0, 0, 0).substr(0, 41), {"A 0+0"}},
      {"a name field past the end", F("A") + Le32(1) + Le32(0xFFFFFFF0) + "abcd", {"A 0+0"}},
      {"a marker cut short", F("A") + "\xFF\xFF\xFF", {"A 0+0"}},
      // Names across the walk's read windows, and longer than a window.
      {"a directory of many windows",
       D("D") + F(std::string(3 << 19, 'n')) + std::string(1 << 20, '\xFF') + F("L", 7, 8),
       {"D\\" + std::string(3 << 19, 'n') + " 0+0", "L 7+8"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(Walk(row.items), row.entries);
  }
}

}  // namespace
}  // namespace kel::testing
