// The compact copy: the header, what lies before a directory block in
// front of the data, the block with the moved stored files' addresses, and
// every run of stored data once.
#include "compact.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <vector>

#include "copy.h"
#include "paths.h"
#include "space.h"
#include "write.h"

namespace kel {
namespace {

// The clusters of a compaction: stored data that overlap are one run,
// copied once, so that stored files sharing bytes still share them.
struct Cluster {
  uint64_t start, end;
  uint64_t placed = UINT64_MAX;
};

// Copies `count` bytes of `from` at `position` into `to` at `at`.
bool CopyBytes(Cfile& from, int64_t position, Cfile& to, int64_t at, int64_t count, Cbuffer& block,
               const Context& context) {
  return CopyChunks(
             count, block,
             [&](int64_t done, uint8_t* bytes, size_t chunk) {
               return from.ReadAt(position + done, bytes, chunk) == static_cast<int64_t>(chunk);
             },
             [&](int64_t done, const uint8_t* bytes, size_t chunk) {
               return to.WriteAt(at + done, bytes, chunk);
             },
             &context) == CopyEnd::kDone;
}

// Writes the compact copy of the archive into `output`: the header, what
// lies before a directory block in front of the data, the block with the
// moved stored files' addresses, and every cluster once, in directory
// order. Its length, or -1 with `*failed`.
int64_t WriteCompact(Archive& archive, Cfile& output, Cbuffer& block, uint64_t* newBlockAt,
                     const Context& context, Status* failed) {
  Cfile& file = archive.file;
  const uint64_t blockStart = archive.location.blockPosition;
  const uint64_t blockLength = archive.location.blockLength;
  const uint64_t blockEnd = blockStart + blockLength;
  struct Stored {
    uint64_t address, size, record;
    size_t cluster;
  };
  std::vector<Stored> stored;
  bool before = false;
  *failed = Survey(archive, "", nullptr, nullptr, nullptr, [&](const ArchiveEntry& entry) {
    stored.push_back({entry.address, entry.size, entry.sizeFieldOffset, 0});
    before = before || (entry.size > 0 && entry.address < blockStart);
  });
  if (!*failed) return -1;
  // Stored data that overlap make one cluster.
  std::vector<size_t> order(stored.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&stored](size_t a, size_t b) { return stored[a].address < stored[b].address; });
  std::vector<Cluster> clusters;
  for (size_t i : order) {
    if (stored[i].size == 0) continue;
    if (clusters.empty() || stored[i].address >= clusters.back().end) {
      clusters.push_back({stored[i].address, stored[i].address + stored[i].size});
    }
    clusters.back().end = std::max(clusters.back().end, stored[i].address + stored[i].size);
    stored[i].cluster = clusters.size() - 1;
  }
  // A block with data before it goes behind all of them (also behind what
  // replacements put behind it); one with none stays where it is.
  const bool directoryFirst = !before;
  uint64_t cursor = directoryFirst ? blockEnd : kFrontHeaderSize;
  // The new addresses, in directory order; an empty stored file takes the
  // place where the next data go.
  std::vector<uint64_t> addresses(stored.size());
  for (size_t i = 0; i < stored.size(); ++i) {
    if (stored[i].size == 0) {
      addresses[i] = cursor;
      continue;
    }
    Cluster& cluster = clusters[stored[i].cluster];
    if (cluster.placed == UINT64_MAX) {
      cluster.placed = cursor;
      cursor += cluster.end - cluster.start;
    }
    addresses[i] = cluster.placed + (stored[i].address - cluster.start);
  }
  // Behind the data the block goes where the scan for it looks: 34 + 4k.
  const uint64_t blockAt =
      directoryFirst ? blockStart : kFrontHeaderSize + (cursor - kFrontHeaderSize + 3) / 4 * 4;
  const uint64_t length = directoryFirst ? cursor : blockAt + blockLength;
  *newBlockAt = blockAt;
  uint8_t header[kFrontHeaderSize];
  bool written = file.ReadAt(0, header, sizeof header) == static_cast<int64_t>(sizeof header);
  // Behind the data the block moves, and the header's directoryEnd (the
  // only header bytes that change) follows it.
  for (int i = 0; i < 4 && !directoryFirst; ++i) {
    header[26 + i] = static_cast<uint8_t>(((blockAt + blockLength) >> (8 * i)) ^ ScrambleKey[(26 + i) % 24]);
  }
  written =
      written && platform::ReserveSpace(output.handle, 0, static_cast<int64_t>(length)) &&
      output.WriteAt(0, header, sizeof header) &&
      (!directoryFirst || CopyBytes(file, kFrontHeaderSize, output, kFrontHeaderSize,
                                    static_cast<int64_t>(blockStart - kFrontHeaderSize), block, context)) &&
      CopyBytes(file, static_cast<int64_t>(blockStart), output, static_cast<int64_t>(blockAt),
                static_cast<int64_t>(blockLength), block, context);
  for (const Cluster& cluster : clusters) {
    written = written && CopyBytes(file, static_cast<int64_t>(cluster.start), output,
                                   static_cast<int64_t>(cluster.placed),
                                   static_cast<int64_t>(cluster.end - cluster.start), block, context);
  }
  for (size_t i = 0; i < stored.size() && written; ++i) {
    if (addresses[i] == stored[i].address) continue;
    uint8_t field[8];
    PutLittleEndian64(field, addresses[i]);
    written = output.WriteAt(static_cast<int64_t>(blockAt + stored[i].record + 8), field, sizeof field);
  }
  if (context.Cancelled()) {
    *failed = Fail(KEL_ERR_CANCELLED, output.path);
    return -1;
  }
  if (!written || !platform::SyncFile(output.handle)) {
    *failed = SystemFailure(output.path, platform::LastError(), KEL_ERR_WRITE);
    return -1;
  }
  return static_cast<int64_t>(length);
}

}  // namespace

Status Compact(Archive& archive, const std::string& archivePath, const std::string& newFile,
               const Context& context, uint64_t* newLength) {
  // The archive is held to the end, also while its copy takes its place.
  const bool inPlace = newFile.empty();
  const Encoding encoding = archive.encoding;
  Cfile& file = archive.file;
  // In place the copy takes the name that the archive has behind any link.
  const std::string target =
      inPlace ? platform::RealPath(SystemPath(archivePath, encoding)) : SystemPath(newFile, encoding);
  platform::FileFacts facts;
  if (target.empty() || !platform::FactsOf(file.handle, &facts)) return Fail(KEL_ERR_OPEN, archivePath);
  // Its other names would keep the old bytes.
  if (inPlace && facts.links > 1) return Fail(KEL_ERR_SEVERAL_NAMES, archivePath);
  if (!inPlace && platform::NameTaken(target)) return Fail(KEL_ERR_EXISTS, newFile);
  // A copy that a killed run left bears the archive's file number; the
  // platform tells it from a file of the user's before it goes.
  char number[24];
  snprintf(number, sizeof number, "%" PRIx64, facts.id);
  const std::string spare = target + ".kel-compact-" + number;
  // What has that name and is not kel's (a link, say) stays, and is in the way.
  if (!platform::RemoveLeftover(spare) && platform::NameTaken(spare)) {
    return Fail(KEL_ERR_EXISTS, FromSystem(spare, encoding));
  }
  Cfile output;
  if (const int error = platform::CreateUnnamed(target, spare, &output.handle)) {
    output.handle = -1;
    // In place, the copy is made in the folder of the archive's file (behind any link): that is what to fix.
    const std::string shown = FromSystem(target, encoding);
    const size_t last = FindLastSeparator(shown, encoding);
    const std::string folder = last == std::string::npos ? "." : shown.substr(0, std::max<size_t>(last, 1));
    return SystemFailure(inPlace ? folder : newFile, error, KEL_ERR_OPEN);
  }
  output.path = inPlace ? archivePath : newFile;
  Cbuffer block;
  uint64_t blockAt = 0;
  int64_t length = -1;
  Status failed;
  if (!platform::TakeAttributes(output.handle, inPlace ? file.handle : -1)) {
    failed = Fail(KEL_ERR_ATTRIBUTES, archivePath);
  } else if ((failed = AllocateFor(block, kCopyBlockSize))) {
    length = WriteCompact(archive, output, block, &blockAt, context, &failed);
  }
  // Moved behind the data, the block must be the first the scan finds: data
  // that read as a directory head with the right length would come first.
  DirectoryLocation first;
  if (length >= 0 && blockAt != archive.location.blockPosition &&
      (!FindDirectoryBlock(output, static_cast<uint32_t>(blockAt + archive.location.blockLength), &first) ||
       first.blockPosition != blockAt)) {
    failed = Fail(KEL_ERR_LOOKALIKE, archivePath);
    length = -1;
  }
  if (length >= 0 && context.Cancelled()) {
    failed = Fail(KEL_ERR_CANCELLED, output.path);
    length = -1;
  }
  // The caller's word comes before the copy takes its place, which is then finished.
  if (length >= 0) {
    Event change;
    change.kind = KEL_EVENT_CHANGE;
    change.oldSize = static_cast<uint64_t>(file.fileSize);
    change.size = static_cast<uint64_t>(length);
    if (!context.Report(change)) {
      failed = Fail(KEL_ERR_CANCELLED);
      length = -1;
    }
  }
  if (length < 0) {
    platform::DiscardFile(output.handle, spare);
    output.handle = -1;
    return failed;
  }
  const int placed = platform::PlaceFile(output.handle, spare, target, inPlace ? file.handle : -1);
  output.handle = -1;
  if (inPlace) file.handle = -1;
  if (placed != 0 && !inPlace && placed != -1 && platform::NameTaken(target)) {
    return Fail(KEL_ERR_EXISTS, newFile);
  }
  if (placed != 0) return SystemFailure(output.path, placed, KEL_ERR_WRITE);
  if (newLength != nullptr) *newLength = static_cast<uint64_t>(length);
  return {};
}

}  // namespace kel
