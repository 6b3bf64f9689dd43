// Recovery: whether the end of an archive is a journal that a stopped
// write of kel's left, and settling it.
//
// Nothing kel did not write as a journal acts as one. A trailer at the end
// is acted on only when all of this holds, and is otherwise bytes of the
// archive like any other, read as they are, never cut or written:
//   - the trailer's checksum, magic, kind and state, and its layout: the
//     lengths in order, the body right before it, it in one sector;
//   - with the saved bytes put back, the file is a kel archive whose header
//     and directory block have the old digest, and with the new fields the
//     new one (a prepared journal, or a live one never synced: the file as
//     it is has the old digest);
//   - each saved record is the size field of one record of the walk, each
//     once, in order, and now holds its old bytes, its new ones, or the two
//     split at a sector boundary inside it (a torn write); a merged range
//     lies in the stored files' data (InDataArea);
//   - every claim, of the old state and of the new fields, ends at or
//     before the old length, and the old length at or before the journal.
// Content cannot forge this: a stored file's bytes are claimed, and a
// journal must lie past every claim; kel's own new bytes never end the
// file without its trailer behind them, and a merge never writes past the
// claims, so no content kel copies in becomes the file's end; a journal
// made for another archive, or for another state of this one (a stored
// file that holds an archive left by a crash, an appended trailer), fails
// the digests or the layout. What is left: someone who may write the
// archive already can append a journal made for its exact present bytes;
// acting on it puts back record fields or a range of stored data as it
// names them and cuts what lies past the claims, which that person could
// do to the archive anyway. A power cut can leave a body or zeros past the old length with
// no trailer behind them: those bytes cannot be told from the archive's
// own and stay.
#include "recovery.h"

#include <algorithm>
#include <cstring>

namespace kel {

using namespace journal;

namespace {

// Whether a record's fields at `position` may be `now` while a switch from
// `old` to `fresh` was under way: either whole, or each side of a sector
// boundary inside them from another.
bool HeldDuringSwitch(const SavedFields& fields, const uint8_t* now) {
  const auto same = [now](const uint8_t* bytes, int64_t from, int64_t to) {
    return std::equal(now + from, now + to, bytes + from);
  };
  if (same(fields.old, 0, kFieldsSize) || same(fields.fresh, 0, kFieldsSize)) return true;
  const int64_t split = kSector - fields.position % kSector;
  return split < kFieldsSize && ((same(fields.fresh, 0, split) && same(fields.old, split, kFieldsSize)) ||
                                 (same(fields.old, 0, split) && same(fields.fresh, split, kFieldsSize)));
}

// Reads a whole body: the records (each as it may be now) or the range, and
// the patches that show the archive as it was.
bool ReadBody(Cfile& archive, const Trailer& trailer, const DirectoryLocation& location, Proof* proof) {
  if (trailer.kind == kMerge) {
    uint8_t head[kRangeHeadSize];
    if (archive.ReadAt(trailer.bodyStart, head, sizeof head) != kRangeHeadSize) return false;
    proof->range = {static_cast<int64_t>(LittleEndian(head, 8)),
                    static_cast<int64_t>(LittleEndian(head + 8, 8))};
    proof->patches = {{proof->range.position, proof->range.count, trailer.bodyStart + kRangeHeadSize}};
    return proof->range.position >= 0 && proof->range.count == trailer.bodyLength - kRangeHeadSize;
  }
  // No more records than the directory block can hold.
  if (trailer.bodyLength / kSavedSize > static_cast<int64_t>(location.blockLength) / 40) return false;
  for (int64_t at = trailer.bodyStart; at < trailer.bodyStart + trailer.bodyLength; at += kSavedSize) {
    uint8_t bytes[kSavedSize], now[kFieldsSize];
    if (archive.ReadAt(at, bytes, sizeof bytes) != kSavedSize) return false;
    SavedFields fields = {static_cast<int64_t>(LittleEndian(bytes, 8)), {}, {}};
    std::memcpy(fields.old, bytes + 8, kFieldsSize);
    std::memcpy(fields.fresh, bytes + 8 + kFieldsSize, kFieldsSize);
    if (fields.position < 0 ||
        (!proof->fields.empty() && fields.position < proof->fields.back().position + kFieldsSize) ||
        archive.ReadAt(fields.position, now, sizeof now) != kFieldsSize || !HeldDuringSwitch(fields, now)) {
      return false;
    }
    proof->fields.push_back(fields);
    proof->patches.push_back({fields.position, kFieldsSize, at + 8});
  }
  return true;
}

bool ProveAsRead(Cfile& archive, int64_t length, Proof* proof) {
  Trailer& trailer = proof->trailer;
  uint8_t bytes[kTrailerSize];
  if (length < kTrailerSize || archive.ReadAt(length - kTrailerSize, bytes, sizeof bytes) != kTrailerSize ||
      !Decode(bytes, &trailer)) {
    return false;
  }
  trailer.at = length - kTrailerSize;
  if (trailer.oldLength < 0 || trailer.finalLength < trailer.oldLength ||
      trailer.bodyStart < trailer.finalLength || trailer.bodyLength < 0 ||
      trailer.bodyLength > trailer.at - trailer.bodyStart ||
      TrailerAt(trailer.bodyStart + trailer.bodyLength) != trailer.at ||
      (trailer.kind == kRecords ? trailer.bodyLength == 0 || trailer.bodyLength % kSavedSize != 0
                                : trailer.bodyLength <= kRangeHeadSize)) {
    return false;
  }
  // A kel archive, its directory block inside the file.
  uint8_t header[kFrontHeaderSize];
  DirectoryLocation location;
  if (archive.ReadAt(0, header, sizeof header) != static_cast<int64_t>(sizeof header)) return false;
  Unscramble(header, sizeof header);
  if (LittleEndian(header, 2) != kMagic ||
      !FindDirectoryBlock(archive, static_cast<uint32_t>(LittleEndian(header + 26, 4)), &location) ||
      int64_t{location.blockPosition} + static_cast<int64_t>(location.blockLength) > length) {
    return false;
  }
  Cbuffer block;
  if (trailer.state != kPrepared) {
    Checksum sum;
    for (int64_t done = 0; done < trailer.bodyLength;) {
      if (!block.FitFor(trailer.bodyLength)) return false;
      const int64_t chunk = std::min(trailer.bodyLength - done, static_cast<int64_t>(block.length));
      if (archive.ReadAt(trailer.bodyStart + done, block.data, static_cast<size_t>(chunk)) != chunk) {
        return false;
      }
      sum.Add(block.data, static_cast<size_t>(chunk));
      done += chunk;
    }
    // A live journal whose body does not match was never synced: nothing
    // claimed was written yet. A done one always was.
    proof->saved = sum.Value() == trailer.bodySum;
    if (!proof->saved && trailer.state == kDone) return false;
  }
  if (proof->saved && !ReadBody(archive, trailer, location, proof)) return false;
  // From here on the archive reads as it was before the write.
  archive.ReadAs(proof->patches, -1);
  uint64_t digests[2];
  if (!Digests(archive, location, proof->fields, digests, block) || digests[0] != trailer.oldDigest ||
      (proof->saved && digests[1] != trailer.newDigest)) {
    return false;
  }
  const uint64_t blockPosition = location.blockPosition;
  uint64_t claimsEnd = std::max<uint64_t>(kFrontHeaderSize, blockPosition + location.blockLength);
  uint64_t newEnd = 0;
  size_t found = 0;
  const BlockReader read = [&archive, blockPosition](uint64_t offset, uint8_t* destination, size_t count) {
    const int64_t got = archive.ReadAt(static_cast<int64_t>(blockPosition + offset), destination, count);
    return got == static_cast<int64_t>(count) ? got : int64_t{-1};
  };
  const DirectoryWalk::Step walked =
      WalkDirectory(read, location.blockLength, [&](const ArchiveEntry& entry) {
        claimsEnd = std::max(claimsEnd, DataEnd(entry));
        const auto position = static_cast<int64_t>(blockPosition + entry.sizeFieldOffset);
        const auto fields =
            std::lower_bound(proof->fields.begin(), proof->fields.end(), position,
                             [](const SavedFields& saved, int64_t at) { return saved.position < at; });
        if (fields != proof->fields.end() && fields->position == position) {
          ++found;
          ArchiveEntry switched;
          switched.size = LittleEndian(fields->fresh, 8);
          switched.address = LittleEndian(fields->fresh + 8, 8);
          newEnd = std::max(newEnd, DataEnd(switched));
        }
        return true;
      });
  // Old claims end by the old length, new ones by the final length, and
  // both before the journal, which starts at the final length.
  return walked == DirectoryWalk::kEnd && found == proof->fields.size() &&
         claimsEnd <= static_cast<uint64_t>(trailer.oldLength) &&
         newEnd <= static_cast<uint64_t>(trailer.finalLength) &&
         (trailer.kind != kMerge || !proof->saved ||
          InDataArea(location, claimsEnd, static_cast<uint64_t>(proof->range.position),
                     static_cast<uint64_t>(proof->range.count)));
}

}  // namespace

bool Prove(Cfile& archive, Proof* proof) {
  *proof = Proof();
  const int64_t length = platform::FileLength(archive.handle);
  if (!platform::IsRegularFile(archive.handle)) return false;
  if (ProveAsRead(archive, length, proof)) return true;
  archive.ReadAs({}, -1);
  return false;
}

Status Settle(Cfile& archive, const Proof& proof, const Context& context) {
  const Trailer& trailer = proof.trailer;
  const int64_t length = trailer.state == kDone ? trailer.finalLength : trailer.oldLength;
  archive.ReadAs({}, -1);
  if (trailer.state == kDone) {
    if (!platform::ResizeFile(archive.handle, length)) return Fail(KEL_ERR_WRITE, archive.path);
  } else {
    Cbuffer block;
    bool back = true;
    for (const Cfile::Patch& patch : proof.patches) {
      back = back && CopyWithin(archive, patch.from, patch.position, patch.count, block);
    }
    if (!back || !platform::SyncFile(archive.handle) || !CutTo(archive, length)) {
      return Fail(KEL_ERR_ROLLBACK, archive.path);
    }
    Event rolledBack;
    rolledBack.kind = KEL_EVENT_ROLLED_BACK;
    rolledBack.path = archive.path;
    context.Report(rolledBack);
  }
  // The file is now the archive: its length, and no bound on reads, which
  // the journal of the write to come must pass.
  archive.fileSize = length;
  return {};
}

}  // namespace kel
