// Merges and replacements. The replacement is copied in chunks, so memory
// does not grow with it.
#include "write.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "copy.h"
#include "journal.h"
#include "paths.h"

namespace kel {
namespace {

constexpr int kCheckedBytes = 4;
// How long a file read into the archive must have been left alone.
constexpr auto kQuiet = std::chrono::milliseconds(250);

// Writes the replacement's `count` bytes, scrambled, into the archive from
// `position` on; a cancel stops it.
Status WriteScrambled(Cfile& replacement, Cfile& archive, int64_t position, int64_t count, Cbuffer& block,
                      const Context& context) {
  // A file rewritten while it is read would be stored half old, half new:
  // its size and times before and after tell, as tar tells. A writer that
  // had begun before the first look and pauses shows only by its next
  // write, so a file written less than kQuiet ago is looked at again when
  // kQuiet has passed (where the file system keeps times that fine).
  platform::FileFacts before;
  platform::FileFacts after;
  if (!platform::FactsOf(replacement.handle, &before) || before.size != count) {
    return Fail(KEL_ERR_CHANGED, replacement.path);
  }
  const CopyEnd end = CopyChunks(
      count, block,
      [&replacement](int64_t done, uint8_t* bytes, size_t chunk) {
        return replacement.ReadAt(done, bytes, chunk) == static_cast<int64_t>(chunk);
      },
      [&archive, position](int64_t done, const uint8_t* bytes, size_t chunk) {
        ApplyDataKey(const_cast<uint8_t*>(bytes), chunk);
        return archive.WriteAt(position + done, bytes, chunk);
      },
      &context);
  if (end == CopyEnd::kCancelled) return Fail(KEL_ERR_CANCELLED, archive.path);
  if (end == CopyEnd::kReadFailed) return Fail(KEL_ERR_READ, replacement.path);
  if (end == CopyEnd::kWriteFailed) return SystemFailure(archive.path, platform::LastError(), KEL_ERR_WRITE);
  const auto sinceWritten = [&after] {
    return std::chrono::system_clock::now().time_since_epoch() - std::chrono::nanoseconds(after.modified);
  };
  bool same = platform::FactsOf(replacement.handle, &after) && after.SameState(before);
  if (same && sinceWritten() < kQuiet) {
    std::this_thread::sleep_for(std::min<std::chrono::nanoseconds>(kQuiet - sinceWritten(), kQuiet));
    same = platform::FactsOf(replacement.handle, &after) && after.SameState(before);
  }
  return same ? Status() : Fail(KEL_ERR_CHANGED, replacement.path);
}

// The same for bytes in memory, which nothing changes meanwhile.
Status WriteScrambled(const uint8_t* data, Cfile& archive, int64_t position, int64_t count, Cbuffer& block,
                      const Context& context) {
  const CopyEnd end = CopyChunks(
      count, block,
      [data](int64_t done, uint8_t* bytes, size_t chunk) {
        std::memcpy(bytes, data + done, chunk);
        return true;
      },
      [&archive, position](int64_t done, const uint8_t* bytes, size_t chunk) {
        ApplyDataKey(const_cast<uint8_t*>(bytes), chunk);
        return archive.WriteAt(position + done, bytes, chunk);
      },
      &context);
  if (end == CopyEnd::kCancelled) return Fail(KEL_ERR_CANCELLED, archive.path);
  return end == CopyEnd::kDone ? Status() : SystemFailure(archive.path, platform::LastError(), KEL_ERR_WRITE);
}

// Opens the replacement: a pipe or a device has no size to write.
Status OpenReplacement(const std::string& file, Cfile& replacement, Encoding encoding) {
  if (replacement.Open(file, platform::Access::kRead, encoding) != 0 ||
      !platform::IsRegularFile(replacement.handle)) {
    return Fail(KEL_ERR_OPEN, file);
  }
  return {};
}

// The change of a merge: the range from `address` saved in the journal,
// then overwritten. In a kel archive (`location`) the range lies in the
// stored files' data; any other file grows where it runs past its end.
Status WriteMerge(Cfile& archive, Cfile& replacement, int64_t address, const DirectoryLocation* location,
                  Cbuffer& block, const Context& context) {
  const int64_t count = replacement.fileSize;
  const int64_t oldLength = archive.fileSize;
  if (count == 0) return {};
  Journal journal(archive, location, std::max(oldLength, address + count), context);
  if (Status saved = journal.Save({address, std::min(count, oldLength - address)}, block); !saved) {
    return saved;
  }
  if (Status written = WriteScrambled(replacement, archive, address, count, block, context); !written) {
    written.undoFailed = !journal.RollBack();
    return written;
  }
  return journal.Commit();
}

Status MergeOpen(Archive& archive, const ClaimedSpace& space, const std::string& mergeFile, int64_t address,
                 int64_t expectedSize, const Context& context) {
  Cfile& file = archive.file;
  Cfile replacement;
  if (Status opened = OpenReplacement(mergeFile, replacement, archive.encoding); !opened) return opened;
  if (expectedSize >= 0 && replacement.fileSize != expectedSize) {
    Status differs = Fail(KEL_ERR_SIZE_DIFFERS, "", static_cast<uint64_t>(expectedSize));
    differs.otherNumber = static_cast<uint64_t>(replacement.fileSize);
    return differs;
  }
  Event head;
  head.kind = KEL_EVENT_FILE;
  head.path = mergeFile;
  head.address = static_cast<uint64_t>(address);
  head.size = static_cast<uint64_t>(replacement.fileSize);
  context.Report(head);
  const int64_t count = replacement.fileSize;
  // A replacement shorter than the check compares the bytes it has. Fewer
  // archive bytes than that at the address is no match but a range past
  // the archive's end, and so is any address behind it.
  const auto checked = static_cast<size_t>(std::min<int64_t>(count, kCheckedBytes));
  if (address > file.fileSize || static_cast<int64_t>(checked) > file.fileSize - address) {
    return Fail(KEL_ERR_ADDRESS_PAST_END, "", static_cast<uint64_t>(address));
  }
  // In a kel archive a merge writes stored files' data only: never the
  // header, the directory, or the archive's own bytes past its claims.
  const bool kelArchive = space.End() > 0;
  if (kelArchive && count > 0 &&
      !InDataArea(archive.location, space.End(), static_cast<uint64_t>(address),
                  static_cast<uint64_t>(count))) {
    return Fail(KEL_ERR_OUTSIDE_DATA, "", static_cast<uint64_t>(address));
  }
  uint8_t head4[kCheckedBytes] = {};
  uint8_t sample[kCheckedBytes] = {};
  if (replacement.ReadAt(0, head4, checked) != static_cast<int64_t>(checked)) {
    return Fail(KEL_ERR_READ, mergeFile);
  }
  if (file.ReadAt(address, sample, checked) != static_cast<int64_t>(checked)) {
    return Fail(KEL_ERR_READ, file.path);
  }
  if (!std::equal(head4, head4 + checked, sample,
                  [](uint8_t plain, uint8_t stored) { return plain == (stored ^ DataKey); })) {
    return Fail(KEL_ERR_FIRST_BYTES, "", kCheckedBytes);
  }
  Cbuffer block;
  if (Status allocated = AllocateFor(block, count); !allocated) return allocated;
  if (Status ready = ReadyToChange(context); !ready) return ready;
  return WriteMerge(file, replacement, address, kelArchive ? &archive.location : nullptr, block, context);
}

}  // namespace

Status AllocateFor(Cbuffer& block, int64_t count) {
  return block.FitFor(count) ? Status() : Fail(KEL_ERR_MEMORY, "", kCopyBlockSize);
}

Status ReadyToChange(const Context& context) {
  Event change;
  change.kind = KEL_EVENT_CHANGE;
  if (!context.Report(change) || context.Cancelled()) return Fail(KEL_ERR_CANCELLED);
  return {};
}

Status MergeAt(Archive& archive, const std::string& mergeFile, int64_t address, const Context& context) {
  if (address < 0) return Fail(KEL_ERR_BAD_ADDRESS, "", static_cast<uint64_t>(address));
  // Any file may be patched at an address; a kel archive is first checked
  // whole, with the lock held to the last write.
  ClaimedSpace space;
  if (IsKelFile(archive.file)) {
    if (Status found = FindDirectory(&archive); !found) return found;
    if (Status surveyed = Survey(archive, "", nullptr, nullptr, &space); !surveyed) return surveyed;
  }
  return MergeOpen(archive, space, mergeFile, address, -1, context);
}

Status Merge(Archive& archive, const std::string& printedName, const Matcher& matches,
             const std::string& mergeFile, const Context& context) {
  // Held for writing from the walk to the last write: nobody moves the
  // stored file in between.
  ClaimedSpace space;
  ArchiveEntry found;
  if (Status surveyed = Survey(archive, printedName, matches, &found, &space); !surveyed) return surveyed;
  int64_t fileSize = 0;
  if (!platform::FindFile(SystemPath(mergeFile, archive.encoding), &fileSize)) {
    return Fail(KEL_ERR_NO_FILE, mergeFile);
  }
  if (static_cast<uint64_t>(fileSize) != found.size) {
    Status differs = Fail(KEL_ERR_SIZE_DIFFERS, "", found.size);
    differs.otherNumber = static_cast<uint64_t>(fileSize);
    return differs;
  }
  return MergeOpen(archive, space, mergeFile, static_cast<int64_t>(found.address), fileSize, context);
}

Status WriteMoves(Archive& archive, const std::vector<Move>& moves, int64_t length, Cbuffer& block,
                  const Context& context, uint64_t* newDigest) {
  Cfile& file = archive.file;
  std::vector<RecordSwitch> switches(moves.size());
  std::transform(moves.begin(), moves.end(), switches.begin(), [&archive](const Move& move) {
    return RecordSwitch{static_cast<int64_t>(archive.location.blockPosition + move.target.sizeFieldOffset),
                        static_cast<uint64_t>(move.count), static_cast<uint64_t>(move.position)};
  });
  Journal journal(file, &archive.location, length, context);
  if (Status saved = journal.Save(switches, block); !saved) return saved;
  for (const Move& move : moves) {
    Status written;
    if (move.data != nullptr) {
      written = WriteScrambled(move.data, file, move.position, move.count, block, context);
    } else {
      Cfile replacement;
      written = OpenReplacement(move.file, replacement, archive.encoding);
      if (written) written = WriteScrambled(replacement, file, move.position, move.count, block, context);
    }
    if (!written) {
      written.undoFailed = !journal.RollBack();
      return written;
    }
  }
  Status committed = journal.Commit();
  if (newDigest != nullptr) *newDigest = journal.NewDigest();
  return committed;
}

Status Replace(Archive& archive, const std::string& printedName, const Matcher& matches,
               const std::string& file, const Context& context, const uint8_t* data, int64_t size) {
  ClaimedSpace space;
  ArchiveEntry target;
  Cfile replacement;
  if (Status surveyed = Survey(archive, printedName, matches, &target, &space); !surveyed) return surveyed;
  if (data == nullptr) {
    if (Status opened = OpenReplacement(file, replacement, archive.encoding); !opened) return opened;
  }
  const int64_t count = data != nullptr ? size : replacement.fileSize;
  Move move = {target, file, count, NewAddress(space, archive.file, target, count), data};
  Event head;
  head.kind = KEL_EVENT_FILE;
  head.path = file;
  head.other = target.path;
  head.address = static_cast<uint64_t>(move.position);
  head.size = static_cast<uint64_t>(count);
  head.oldSize = target.size;
  context.Report(head);
  Cbuffer block;
  if (Status allocated = AllocateFor(block, count); !allocated) return allocated;
  if (Status ready = ReadyToChange(context); !ready) return ready;
  return WriteMoves(archive, {move}, static_cast<int64_t>(space.End()), block, context);
}

}  // namespace kel
