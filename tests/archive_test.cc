// The scan for the directory block, on crafted files: which head it takes,
// across the scan's reads. The walk of the block is the end-to-end cases',
// and loads of cut and damaged archives the list fuzz target's.
#include "format.h"

#include <gtest/gtest.h>

#include "archive_writer.h"
#include "test_support.h"

namespace kel::testing {
namespace {

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
    ASSERT_EQ(file.Open(dir / "a.kel", platform::Access::kRead, Encoding::kShiftJis), 0);
    DirectoryLocation at;
    EXPECT_EQ(FindDirectoryBlock(file, row.directoryEnd, &at).ok(), row.found >= 0);
    if (row.found < 0) continue;
    EXPECT_EQ(at.blockPosition, row.found);
    EXPECT_EQ(at.blockPosition + at.blockLength, row.directoryEnd);
  }
}

}  // namespace
}  // namespace kel::testing
