// The journal lies at the end of the archive file, behind the archive's own
// length (its old length) and behind the new bytes of the write (which end
// at its final length, where the journal starts):
//   body, for a switch of records (kind 'R'), per record in position order:
//        u64 position of its size field, its 16 old bytes, its 16 new bytes
//   body, for a merge (kind 'M'): u64 position, u64 count, the count old bytes
//   zeros up to where the trailer fits in one 512-byte sector
//   trailer: u64 old length, u64 final length, u64 body start, u64 body
//        length, u64 body checksum, u64 old digest, u64 new digest,
//        "KELJRNL", kind, state ('P' prepared, 'L' live, 'D' done), 7 zero
//        bytes, u64 checksum of the 72 bytes before it
// The digests are of the front header and the directory block as the write
// found them (old) and as it leaves them (new). A write makes the trailer,
// prepared, the first byte it writes past the old length, in one write
// inside one sector; then the body; then the trailer again, live, with the
// body checksum; sync. Then the new bytes and the switched records (or the
// merged range); sync. Then the trailer done; sync; the cut to the final
// length. So a process killed at any moment leaves past the old length only
// bytes behind a trailer of kel's, which says where the archive ended; a
// live trailer whose body does not match its checksum was never synced, so
// nothing claimed was touched yet.
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
#include "journal.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <numeric>
#include <thread>

#include "messages.h"

namespace kel {
namespace {

constexpr int64_t kTrailerSize = 80;
constexpr int64_t kSector = 512;
constexpr int64_t kFieldsSize = 16;
constexpr int64_t kSavedSize = 8 + 2 * kFieldsSize;  ///< a switched record in the body
constexpr int64_t kRangeHeadSize = 16;
constexpr uint8_t kJournalMagic[7] = {'K', 'E', 'L', 'J', 'R', 'N', 'L'};
constexpr char kRecords = 'R';
constexpr char kMerge = 'M';
constexpr char kPrepared = 'P';
constexpr char kLive = 'L';
constexpr char kDone = 'D';
constexpr int kTimedOut = -1;
constexpr auto kWaitLimit = std::chrono::seconds(60);
constexpr auto kWaitStep = std::chrono::milliseconds(50);

// A 64-bit checksum in four independent lanes, so that a journal of a
// large merge costs little next to writing it.
class Checksum {
 public:
  void Add(const uint8_t* bytes, size_t count) {
    total_ += count;
    while (count > 0) {
      if (pending_ == 0) {
        for (; count >= kStripe; bytes += kStripe, count -= kStripe) Stripe(bytes);
        if (count == 0) return;
      }
      const size_t take = std::min(count, kStripe - pending_);
      std::memcpy(stripe_ + pending_, bytes, take);
      pending_ += take;
      bytes += take;
      count -= take;
      if (pending_ == kStripe) {
        Stripe(stripe_);
        pending_ = 0;
      }
    }
  }
  uint64_t Value() const {
    Checksum last = *this;
    std::memset(last.stripe_ + pending_, 0, kStripe - pending_);
    last.Stripe(last.stripe_);
    return std::accumulate(std::begin(last.lanes_), std::end(last.lanes_), uint64_t{total_}, Round);
  }

 private:
  static constexpr size_t kStripe = 32;
  static uint64_t Round(uint64_t lane, uint64_t word) {
    lane += word * 0xC2B2AE3D27D4EB4FULL;
    lane = (lane << 31) | (lane >> 33);
    return lane * 0x9E3779B185EBCA87ULL;
  }
  void Stripe(const uint8_t* bytes) {
    for (size_t lane = 0; lane < 4; ++lane) {
      uint64_t word;
      std::memcpy(&word, bytes + 8 * lane, sizeof word);
      lanes_[lane] = Round(lanes_[lane], word);
    }
  }
  uint64_t lanes_[4] = {1, 2, 3, 4};
  uint8_t stripe_[kStripe] = {};
  size_t pending_ = 0;
  uint64_t total_ = 0;
};

uint64_t Sum(const uint8_t* bytes, size_t count) {
  Checksum sum;
  sum.Add(bytes, count);
  return sum.Value();
}

struct Trailer {
  int64_t at = 0;  ///< where the trailer starts
  int64_t oldLength = 0, finalLength = 0, bodyStart = 0, bodyLength = 0;
  uint64_t bodySum = 0, oldDigest = 0, newDigest = 0;
  char kind = 0, state = 0;
};

void Encode(const Trailer& trailer, char state, uint8_t* bytes) {
  std::memset(bytes, 0, kTrailerSize);
  PutLittleEndian64(bytes, static_cast<uint64_t>(trailer.oldLength));
  PutLittleEndian64(bytes + 8, static_cast<uint64_t>(trailer.finalLength));
  PutLittleEndian64(bytes + 16, static_cast<uint64_t>(trailer.bodyStart));
  PutLittleEndian64(bytes + 24, static_cast<uint64_t>(trailer.bodyLength));
  PutLittleEndian64(bytes + 32, trailer.bodySum);
  PutLittleEndian64(bytes + 40, trailer.oldDigest);
  PutLittleEndian64(bytes + 48, trailer.newDigest);
  std::copy(kJournalMagic, kJournalMagic + sizeof kJournalMagic, bytes + 56);
  bytes[63] = static_cast<uint8_t>(trailer.kind);
  bytes[64] = static_cast<uint8_t>(state);
  PutLittleEndian64(bytes + 72, Sum(bytes, 72));
}

bool Decode(const uint8_t* bytes, Trailer* trailer) {
  const auto value = [bytes](int at) { return static_cast<int64_t>(LittleEndian(bytes + at, 8)); };
  trailer->oldLength = value(0);
  trailer->finalLength = value(8);
  trailer->bodyStart = value(16);
  trailer->bodyLength = value(24);
  trailer->bodySum = LittleEndian(bytes + 32, 8);
  trailer->oldDigest = LittleEndian(bytes + 40, 8);
  trailer->newDigest = LittleEndian(bytes + 48, 8);
  trailer->kind = static_cast<char>(bytes[63]);
  trailer->state = static_cast<char>(bytes[64]);
  return LittleEndian(bytes + 72, 8) == Sum(bytes, 72) &&
         std::equal(kJournalMagic, kJournalMagic + sizeof kJournalMagic, bytes + 56) &&
         (trailer->kind == kRecords || trailer->kind == kMerge) &&
         (trailer->state == kPrepared || trailer->state == kLive || trailer->state == kDone);
}

// Where the trailer of a body ending at `bodyEnd` goes: right behind it, or
// at the next sector, so that one write inside one sector makes it.
int64_t TrailerAt(int64_t bodyEnd) {
  return bodyEnd % kSector + kTrailerSize <= kSector ? bodyEnd : bodyEnd - bodyEnd % kSector + kSector;
}

// The digests of the front header and the directory block as `archive`
// reads them, with each field of `saved` holding its old bytes, and with
// each holding its new ones. False when they cannot be read.
bool Digests(Cfile& archive, const DirectoryLocation& location, const std::vector<SavedFields>& saved,
             uint64_t digests[2], Cbuffer& block) {
  uint8_t header[kFrontHeaderSize];
  if (!block.FitFor(static_cast<int64_t>(location.blockLength)) ||
      archive.ReadAt(0, header, sizeof header) != static_cast<int64_t>(sizeof header)) {
    return false;
  }
  Checksum sums[2];
  for (Checksum& sum : sums) sum.Add(header, sizeof header);
  const int64_t end = int64_t{location.blockPosition} + static_cast<int64_t>(location.blockLength);
  auto next = saved.begin();
  for (int64_t at = location.blockPosition; at < end;) {
    const int64_t chunk = std::min(end - at, static_cast<int64_t>(block.length));
    if (archive.ReadAt(at, block.data, static_cast<size_t>(chunk)) != chunk) return false;
    for (int version = 0; version < 2; ++version) {
      for (auto fields = next; fields != saved.end() && fields->position < at + chunk; ++fields) {
        const int64_t from = std::max(at, fields->position);
        const int64_t to = std::min(at + chunk, fields->position + kFieldsSize);
        const uint8_t* bytes = version == 0 ? fields->old : fields->fresh;
        if (from < to) std::memcpy(block.data + (from - at), bytes + (from - fields->position), to - from);
      }
      sums[version].Add(block.data, static_cast<size_t>(chunk));
    }
    while (next != saved.end() && next->position + kFieldsSize <= at + chunk) ++next;
    at += chunk;
  }
  for (int version = 0; version < 2; ++version) digests[version] = sums[version].Value();
  return true;
}

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

bool CopyWithin(Cfile& archive, int64_t from, int64_t to, int64_t count, Cbuffer& block) {
  if (!block.FitFor(count)) return false;
  for (int64_t done = 0; done < count;) {
    const auto chunk =
        static_cast<size_t>(std::min<int64_t>(count - done, static_cast<int64_t>(block.length)));
    if (archive.ReadAt(from + done, block.data, chunk) != static_cast<int64_t>(chunk) ||
        !archive.WriteAt(to + done, block.data, chunk)) {
      return false;
    }
    done += static_cast<int64_t>(chunk);
  }
  return true;
}

bool CutTo(const Cfile& archive, int64_t length) {
  return platform::ResizeFile(archive.handle, length) && platform::SyncFile(archive.handle);
}

// A journal at the end of the archive, proven to be one that a write of
// kel's made for this archive.
struct Proof {
  Trailer trailer;
  bool saved = false;  ///< the body is whole: the saved bytes can be put back
  std::vector<SavedFields> fields;
  ByteRange range = {0, 0};
  std::vector<Cfile::Patch> patches;  ///< where the saved bytes lie
};

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
      FindDirectoryBlock(archive, static_cast<uint32_t>(LittleEndian(header + 26, 4)), &location, true) !=
          0 ||
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
  const int walked = WalkDirectory(
      read, location.blockLength,
      [&](const ArchiveEntry& entry) {
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
      },
      true);
  // Old claims end by the old length, new ones by the final length, and
  // both before the journal, which starts at the final length.
  return walked == 0 && found == proof->fields.size() &&
         claimsEnd <= static_cast<uint64_t>(trailer.oldLength) &&
         newEnd <= static_cast<uint64_t>(trailer.finalLength) &&
         (trailer.kind != kMerge || !proof->saved ||
          InDataArea(location, claimsEnd, static_cast<uint64_t>(proof->range.position),
                     static_cast<uint64_t>(proof->range.count)));
}

// Whether the open archive ends in a journal that kel wrote for it; the
// archive then reads as it was before that write, and otherwise as it is.
bool Prove(Cfile& archive, Proof* proof) {
  *proof = Proof();
  const int64_t length = platform::FileLength(archive.handle);
  if (!platform::IsRegularFile(archive.handle)) return false;
  if (ProveAsRead(archive, length, proof)) return true;
  archive.ReadAs({}, -1);
  return false;
}

// A writer's part: a write that took effect loses its journal, one that did
// not is undone: the saved bytes go back where they were read, then the
// journal and what the write appended are cut off.
int Settle(Cfile& archive, const Proof& proof) {
  const Trailer& trailer = proof.trailer;
  const int64_t length = trailer.state == kDone ? trailer.finalLength : trailer.oldLength;
  archive.ReadAs({}, -1);
  if (trailer.state == kDone) {
    if (!platform::ResizeFile(archive.handle, length)) {
      messages::WriteFailed(archive.path);
      return -1;
    }
  } else {
    Cbuffer block;
    bool back = true;
    for (const Cfile::Patch& patch : proof.patches) {
      back = back && CopyWithin(archive, patch.from, patch.position, patch.count, block);
    }
    if (!back || !platform::SyncFile(archive.handle) || !CutTo(archive, length)) {
      messages::CannotRollBack(archive.path);
      return -1;
    }
    messages::RolledBack(archive.path);
  }
  // The file is now the archive: its length, and no bound on reads, which
  // the journal of the write to come must pass.
  archive.fileSize = length;
  return 0;
}

// Opens the archive, waiting while another program holds it. 0, the
// system's error, or kTimedOut after its message.
int OpenWaiting(const std::string& path, platform::Access access, Cfile& archive) {
  const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
  bool told = false;
  while (true) {
    const int error = archive.Open(path, access);
    if (error == 0 || !platform::HeldElsewhere(error)) return error;
    if (std::chrono::steady_clock::now() >= deadline) {
      messages::ArchiveInUse(path);
      return kTimedOut;
    }
    if (!told) messages::WaitingFor(path);
    told = true;
    // A writer notes Ctrl-C from the start; while it waits it holds nothing.
    platform::EndIfInterrupted();
    std::this_thread::sleep_for(kWaitStep);
  }
}

// The same, saying why it failed: 0 or -1.
int OpenOrSay(const std::string& path, platform::Access access, Cfile& archive) {
  const int error = OpenWaiting(path, access, archive);
  if (error == 0 || error == kTimedOut) return error;
  if (access != platform::Access::kRead && platform::FailureOf(error) == platform::Failure::kReadOnly) {
    messages::ReadOnly(path);
  } else {
    messages::OpenFailed(path);
  }
  return -1;
}

}  // namespace

int OpenArchive(const std::string& path, platform::Access access, Cfile& archive) {
  if (OpenOrSay(path, access, archive) != 0) return -1;
  Proof proof;
  if (!Prove(archive, &proof)) return 0;
  if (access == platform::Access::kReadWrite) return Settle(archive, proof);
  if (proof.trailer.state != kDone) {
    // A reader that may write the archive undoes the write; one that may
    // not reads the archive as it was before it.
    const int error = OpenWaiting(path, platform::Access::kReadWrite, archive);
    if (error == kTimedOut) return -1;
    if (error == 0) {
      if (Prove(archive, &proof) && Settle(archive, proof) != 0) return -1;
      return OpenArchive(path, access, archive);
    }
    if (OpenOrSay(path, access, archive) != 0) return -1;
    if (!Prove(archive, &proof)) return 0;
    if (proof.trailer.state != kDone) {
      archive.ReadAs(proof.patches, proof.trailer.oldLength);
      messages::ReadingAsBefore(path);
      return 0;
    }
  }
  // A write that took effect: its journal is no part of the archive.
  archive.ReadAs({}, proof.trailer.finalLength);
  return 0;
}

Journal::Journal(Cfile& archive, const DirectoryLocation* location, int64_t finalLength)
    : archive_(archive), location_(location), oldLength_(archive.fileSize), finalLength_(finalLength) {}

int Journal::Save(std::vector<RecordSwitch> switches, Cbuffer& block) {
  std::sort(switches.begin(), switches.end(),
            [](const RecordSwitch& a, const RecordSwitch& b) { return a.position < b.position; });
  for (const RecordSwitch& record : switches) {
    SavedFields fields = {record.position, {}, {}};
    if (archive_.ReadAt(record.position, fields.old, kFieldsSize) != kFieldsSize) {
      messages::ReadFailed(archive_.path);
      return -1;
    }
    PutLittleEndian64(fields.fresh, record.size);
    PutLittleEndian64(fields.fresh + 8, record.address);
    saved_.push_back(fields);
  }
  return Begin(kRecords, kSavedSize * static_cast<int64_t>(saved_.size()), block, [this](const Put& put) {
    for (const SavedFields& fields : saved_) {
      uint8_t position[8];
      PutLittleEndian64(position, static_cast<uint64_t>(fields.position));
      if (!put(position, sizeof position) || !put(fields.old, kFieldsSize) ||
          !put(fields.fresh, kFieldsSize)) {
        return false;
      }
    }
    return true;
  });
}

int Journal::Save(ByteRange range, Cbuffer& block) {
  range_ = range;
  if (!block.FitFor(range.count)) {
    messages::MemoryFailed(kCopyBlockSize);
    return -1;
  }
  return Begin(kMerge, kRangeHeadSize + range.count, block, [this, &block](const Put& put) {
    uint8_t head[kRangeHeadSize];
    PutLittleEndian64(head, static_cast<uint64_t>(range_.position));
    PutLittleEndian64(head + 8, static_cast<uint64_t>(range_.count));
    if (!put(head, sizeof head)) return false;
    for (int64_t done = 0; done < range_.count && platform::CaughtInterrupt() == 0;) {
      const auto chunk =
          static_cast<size_t>(std::min<int64_t>(range_.count - done, static_cast<int64_t>(block.length)));
      if (archive_.ReadAt(range_.position + done, block.data, chunk) != static_cast<int64_t>(chunk) ||
          !put(block.data, chunk)) {
        return false;
      }
      done += static_cast<int64_t>(chunk);
    }
    return true;
  });
}

int Journal::Begin(char kind, int64_t bodyLength, Cbuffer& block,
                   const std::function<bool(const Put&)>& body) {
  Trailer trailer;
  trailer.oldLength = oldLength_;
  trailer.finalLength = trailer.bodyStart = finalLength_;
  trailer.bodyLength = bodyLength;
  trailer.kind = kind;
  uint64_t digests[2] = {0, 0};
  if (location_ != nullptr && !Digests(archive_, *location_, saved_, digests, block)) {
    messages::ReadFailed(archive_.path);
    return -1;
  }
  trailer.oldDigest = digests[0];
  trailer.newDigest = digests[1];
  trailerAt_ = TrailerAt(finalLength_ + bodyLength);
  Encode(trailer, kPrepared, trailer_);
  // The first byte written past the old length is the trailer's: whatever
  // stops the change from here on leaves its bytes behind a trailer.
  bool putFailed =
      !archive_.WriteAt(trailerAt_, trailer_, kTrailerSize) ||
      !platform::ReserveSpace(archive_.handle, oldLength_, trailerAt_ + kTrailerSize - oldLength_);
  Checksum sum;
  int64_t at = finalLength_;
  const bool whole = !putFailed && body([&](const uint8_t* bytes, size_t count) {
    putFailed = !archive_.WriteAt(at, bytes, count);
    sum.Add(bytes, count);
    at += static_cast<int64_t>(count);
    return !putFailed;
  });
  trailer.bodySum = sum.Value();
  Encode(trailer, kPrepared, trailer_);
  const bool interrupted = platform::CaughtInterrupt() != 0;
  if (whole && !interrupted && Mark(kLive) && platform::SyncFile(archive_.handle)) return 0;
  platform::ResizeFile(archive_.handle, oldLength_);
  if (interrupted) {
    messages::Interrupted(archive_.path);
  } else if (whole || putFailed) {
    messages::WriteFailed(archive_.path);
  } else {
    messages::ReadFailed(archive_.path);
  }
  return -1;
}

bool Journal::Mark(char state) {
  trailer_[64] = static_cast<uint8_t>(state);
  PutLittleEndian64(trailer_ + 72, Sum(trailer_, 72));
  return archive_.WriteAt(trailerAt_, trailer_, kTrailerSize);
}

int Journal::Commit() {
  bool written = true;
  for (const SavedFields& fields : saved_) {
    written = written && archive_.WriteAt(fields.position, fields.fresh, kFieldsSize);
  }
  if (!written || !platform::SyncFile(archive_.handle)) {
    messages::WriteFailed(archive_.path);
    RollBack();
    return -1;
  }
  if (!Mark(kDone) || !platform::SyncFile(archive_.handle)) {
    messages::WriteFailed(archive_.path);
    Mark(kLive);
    RollBack();
    return -1;
  }
  // Done: a failed cut leaves only a finished journal, which the next write
  // cuts off and everything else passes over.
  platform::ResizeFile(archive_.handle, finalLength_);
  return 0;
}

void Journal::RollBack() {
  Cbuffer block;
  bool back = true;
  for (const SavedFields& fields : saved_) {
    back = back && archive_.WriteAt(fields.position, fields.old, kFieldsSize);
  }
  if (range_.count > 0) {
    back = back && CopyWithin(archive_, finalLength_ + kRangeHeadSize, range_.position, range_.count, block);
  }
  if (!back || !platform::SyncFile(archive_.handle) || !CutTo(archive_, oldLength_)) {
    messages::CannotRollBack(archive_.path);
  }
}

}  // namespace kel
