// Rules cheaper to state at the library than end to end: the scan for the
// directory block across its reads, where new bytes go, patterns, and what
// opening an archive does with a journal left behind its end, and what a
// record of an output proves.
#include <gtest/gtest.h>

#include "archive.h"
#include "archive_writer.h"
#include "journal.h"
#include "record.h"
#include "select.h"
#include "space.h"
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

TEST(RecordEntry, ProvesOnlyWhatEveryFactAndTheClockTickShow) {
  constexpr int64_t kSecond = 1'000'000'000;
  constexpr int64_t kFine = 1'700'000'000'123'456'789;  // a time with digits below the millisecond
  const platform::FileFacts seen = {7, 1, 3, kFine, kFine, 9};
  struct Row {
    const char* name;
    platform::FileFacts now;
    int64_t written;  // the record's date
    bool proves;
  };
  const auto with = [&seen](auto change) {
    platform::FileFacts facts = seen;
    change(facts);
    return facts;
  };
  const Row rows[] = {
      {"all the same, a second before the record", seen, kFine + kSecond, true},
      {"within the clock's tick of the record", seen, kFine + kSecond / 100, false},
      {"another file number", with([](auto& f) { f.id = 8; }), kFine + kSecond, false},
      {"another device", with([](auto& f) { f.device = 1; }), kFine + kSecond, false},
      {"another size", with([](auto& f) { f.size = 4; }), kFine + kSecond, false},
      {"another change time", with([](auto& f) { f.changed += 1; }), kFine + kSecond, false},
      {"another modification time", with([](auto& f) { f.modified -= 1; }), kFine + kSecond, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(Proves({0, 0, 0, 3, seen}, row.now, row.written), row.proves);
  }
  // Whole seconds may be a coarse clock's: its tick is two seconds.
  const platform::FileFacts coarse = {7, 1, 3, 1'700'000'000 * kSecond, 1'700'000'000 * kSecond, 9};
  EXPECT_FALSE(Proves({0, 0, 0, 3, coarse}, coarse, coarse.changed + kSecond));
  EXPECT_TRUE(Proves({0, 0, 0, 3, coarse}, coarse, coarse.changed + 3 * kSecond));
  // A file system that keeps no change time proves nothing.
  const platform::FileFacts timeless = with([](auto& f) { f.changed = 0; });
  EXPECT_FALSE(Proves({0, 0, 0, 3, timeless}, timeless, kFine + kSecond));
}

TEST(ClaimedSpace, PlacesNewBytesInTheFirstGapThatHoldsThem) {
  struct Row {
    const char* name;
    std::vector<std::pair<uint64_t, uint64_t>> claims;  // position, count
    std::vector<uint64_t> counts;                       // placed in turn
    std::vector<uint64_t> placed;
  };
  const Row rows[] = {
      {"a gap that holds them exactly", {{0, 10}, {20, 10}}, {10}, {10}},
      {"a gap one byte short is passed over", {{0, 10}, {19, 11}}, {10}, {30}},
      {"the first of the gaps that hold them",
       {{0, 10}, {15, 5}, {30, 10}, {50, 10}},
       {5, 9, 6},
       {10, 20, 40}},
      {"a gap filled in turn, then the end", {{0, 10}, {20, 10}}, {5, 5, 1}, {10, 15, 30}},
      {"overlapping claims leave no gap", {{0, 10}, {5, 15}}, {1}, {20}},
      {"claims out of order", {{20, 10}, {0, 10}}, {10}, {10}},
      {"nothing placed is the end", {{0, 10}}, {0}, {10}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ClaimedSpace space;
    for (auto [position, count] : row.claims) space.Claim(position, count);
    std::vector<uint64_t> placed;
    for (uint64_t count : row.counts) placed.push_back(space.Place(count));
    EXPECT_EQ(placed, row.placed);
  }
}

TEST(MatchesPattern, ChoosesByNameOrByPathFromTheTop) {
  const std::string sjis = "\x95\x5c";  // 表: its second byte is a backslash
  struct Row {
    std::string pattern, path;
    Encoding encoding;
    bool matches;
  };
  const Row rows[] = {
      {"*.txt", "a\\b.TXT", Encoding::kShiftJis, true},
      {"a/*.txt", "a\\b\\c.txt", Encoding::kShiftJis, false},
      {"a/**/c.txt", "a\\b\\d\\c.txt", Encoding::kShiftJis, true},
      {"**/c.txt", "c.txt", Encoding::kShiftJis, true},
      {"a/", "a\\b\\c", Encoding::kShiftJis, true},
      {"a/", "a", Encoding::kShiftJis, false},
      {"?.txt", sjis + ".txt", Encoding::kShiftJis, true},
      {"?.txt", sjis + ".txt", Encoding::kUtf8, false},
      {sjis + "*", "d\\" + sjis + ".txt", Encoding::kShiftJis, true},
      {"a*b*c", "aXbYbZc", Encoding::kShiftJis, true},
      {"a*b*c", "aXbYbZ", Encoding::kShiftJis, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.pattern + " " + row.path);
    EXPECT_EQ(MatchesPattern(row.pattern, row.path, row.encoding), row.matches);
  }
}

// A journal made by the write code itself, then the archive as a stop of
// the write at some moment left it, opened for writing.
TEST(OpenArchive, SettlesOnlyAJournalItCanProve) {
  const std::string original = BuildArchive({File("a.txt", "old bytes"), File("b.txt", "other")}).Bytes();
  const auto at = static_cast<int64_t>(original.find(StoredBytes("old bytes")));
  struct Row {
    const char* name;
    bool records;      // a switch of records, else a merge of a.txt's bytes
    bool written;      // the change's bytes were written after the journal
    int64_t spoil;     // this byte of the journal's body flipped, or -1
    bool appendOnly;   // only the journal's trailer behind the original
    bool rolledBack;   // a ROLLED_BACK event
    std::string data;  // a.txt's bytes afterwards
  };
  const Row rows[] = {
      {"a merge stopped after its write is undone", false, true, -1, false, true, "old bytes"},
      {"a merge stopped before its write is undone", false, false, -1, false, true, "old bytes"},
      {"saved bytes that do not match their checksum are never written back", false, false, 20, false, true,
       "old bytes"},
      {"a switch of records stopped after its write is undone", true, true, -1, false, true, "old bytes"},
      {"a trailer alone is the archive's own bytes", false, false, -1, true, false, "old bytes"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScopedTempDir dir;
    WriteFile(dir / "a.kel", original);
    kel::Archive archive;
    const Context quiet;
    OpenOptions write;
    write.access = platform::Access::kReadWrite;
    ASSERT_TRUE(OpenArchive(dir / "a.kel", write, quiet, &archive).ok());
    const ArchiveEntry a = [&archive] {
      ArchiveEntry first;
      WalkDirectory(archive, [&first](const ArchiveEntry& entry) { return first = entry, false; });
      return first;
    }();
    Journal journal(archive.file, &archive.location, archive.file.fileSize, quiet);
    Cbuffer block;
    const RecordSwitch to = {archive.location.blockPosition + static_cast<int64_t>(a.sizeFieldOffset), 5,
                             a.address + 9};
    ASSERT_TRUE((row.records ? journal.Save({to}, block) : journal.Save(ByteRange{at, 9}, block)).ok());
    if (row.written) {
      const std::string fields = Le64(to.size) + Le64(to.address);
      const std::string bytes = row.records ? fields : StoredBytes("new bytes");
      archive.file.WriteAt(row.records ? to.position : at, bytes.data(), bytes.size());
    }
    archive.file.Close();
    std::string left = ReadFile(dir / "a.kel");
    if (row.spoil >= 0) left[original.size() + static_cast<size_t>(row.spoil)] ^= 1;
    if (row.appendOnly) left = original + left.substr(left.size() - 80);
    WriteFile(dir / "a.kel", left);
    bool rolledBack = false;
    Context told;
    told.onEvent = [&rolledBack](const Event& event) {
      return rolledBack |= event.kind == KEL_EVENT_ROLLED_BACK;
    };
    kel::Archive again;
    ASSERT_TRUE(OpenArchive(dir / "a.kel", write, told, &again).ok());
    EXPECT_EQ(rolledBack, row.rolledBack);
    std::string data(9, '\0');
    again.file.ReadAt(at, data.data(), data.size());
    EXPECT_EQ(StoredBytes(data), row.data);
    EXPECT_EQ(ReadFile(dir / "a.kel").size(), row.appendOnly ? left.size() : original.size());
  }
}

}  // namespace
}  // namespace kel::testing
