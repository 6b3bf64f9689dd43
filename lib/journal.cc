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
#include "journal.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "copy.h"

namespace kel {
namespace journal {

void Checksum::Add(const uint8_t* bytes, size_t count) {
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

namespace {

uint64_t Round(uint64_t lane, uint64_t word) {
  lane += word * 0xC2B2AE3D27D4EB4FULL;
  lane = (lane << 31) | (lane >> 33);
  return lane * 0x9E3779B185EBCA87ULL;
}

constexpr uint8_t kJournalMagic[7] = {'K', 'E', 'L', 'J', 'R', 'N', 'L'};

uint64_t Sum(const uint8_t* bytes, size_t count) {
  Checksum sum;
  sum.Add(bytes, count);
  return sum.Value();
}

}  // namespace

uint64_t Checksum::Value() const {
  Checksum last = *this;
  std::memset(last.stripe_ + pending_, 0, kStripe - pending_);
  last.Stripe(last.stripe_);
  return std::accumulate(std::begin(last.lanes_), std::end(last.lanes_), uint64_t{total_}, Round);
}

void Checksum::Stripe(const uint8_t* bytes) {
  for (size_t lane = 0; lane < 4; ++lane) {
    uint64_t word;
    std::memcpy(&word, bytes + 8 * lane, sizeof word);
    lanes_[lane] = Round(lanes_[lane], word);
  }
}

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

int64_t TrailerAt(int64_t bodyEnd) {
  return bodyEnd % kSector + kTrailerSize <= kSector ? bodyEnd : bodyEnd - bodyEnd % kSector + kSector;
}

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

bool CopyWithin(Cfile& archive, int64_t from, int64_t to, int64_t count, Cbuffer& block) {
  return block.FitFor(count) &&
         CopyChunks(
             count, block,
             [&](int64_t done, uint8_t* bytes, size_t chunk) {
               return archive.ReadAt(from + done, bytes, chunk) == static_cast<int64_t>(chunk);
             },
             [&](int64_t done, const uint8_t* bytes, size_t chunk) {
               return archive.WriteAt(to + done, bytes, chunk);
             }) == CopyEnd::kDone;
}

bool CutTo(const Cfile& archive, int64_t length) {
  return platform::ResizeFile(archive.handle, length) && platform::SyncFile(archive.handle);
}

}  // namespace journal

using namespace journal;

Journal::Journal(Cfile& archive, const DirectoryLocation* location, int64_t finalLength,
                 const Context& context)
    : archive_(archive),
      location_(location),
      oldLength_(archive.fileSize),
      finalLength_(finalLength),
      context_(context) {}

Status Journal::Save(std::vector<RecordSwitch> switches, Cbuffer& block) {
  std::sort(switches.begin(), switches.end(),
            [](const RecordSwitch& a, const RecordSwitch& b) { return a.position < b.position; });
  for (const RecordSwitch& record : switches) {
    SavedFields fields = {record.position, {}, {}};
    if (archive_.ReadAt(record.position, fields.old, kFieldsSize) != kFieldsSize) {
      return Fail(KEL_ERR_READ, archive_.path);
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

Status Journal::Save(ByteRange range, Cbuffer& block) {
  range_ = range;
  if (!block.FitFor(range.count)) return Fail(KEL_ERR_MEMORY, "", kCopyBlockSize);
  return Begin(kMerge, kRangeHeadSize + range.count, block, [this, &block](const Put& put) {
    uint8_t head[kRangeHeadSize];
    PutLittleEndian64(head, static_cast<uint64_t>(range_.position));
    PutLittleEndian64(head + 8, static_cast<uint64_t>(range_.count));
    if (!put(head, sizeof head)) return false;
    // A cancel ends the body early; Begin then undoes the journal.
    const CopyEnd end = CopyChunks(
        range_.count, block,
        [this](int64_t done, uint8_t* bytes, size_t count) {
          return archive_.ReadAt(range_.position + done, bytes, count) == static_cast<int64_t>(count);
        },
        [&put](int64_t, const uint8_t* bytes, size_t count) { return put(bytes, count); }, &context_);
    return end == CopyEnd::kDone || end == CopyEnd::kCancelled;
  });
}

Status Journal::Begin(char kind, int64_t bodyLength, Cbuffer& block,
                      const std::function<bool(const Put&)>& body) {
  Trailer trailer;
  trailer.oldLength = oldLength_;
  trailer.finalLength = trailer.bodyStart = finalLength_;
  trailer.bodyLength = bodyLength;
  trailer.kind = kind;
  uint64_t digests[2] = {0, 0};
  if (location_ != nullptr && !Digests(archive_, *location_, saved_, digests, block)) {
    return Fail(KEL_ERR_READ, archive_.path);
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
  const bool interrupted = context_.Cancelled();
  if (whole && !interrupted && Mark(kLive) && platform::SyncFile(archive_.handle)) return {};
  const int error = platform::LastError();
  platform::ResizeFile(archive_.handle, oldLength_);
  if (interrupted) return Fail(KEL_ERR_CANCELLED, archive_.path);
  if (whole || putFailed) return SystemFailure(archive_.path, error, KEL_ERR_WRITE);
  return Fail(KEL_ERR_READ, archive_.path);
}

bool Journal::Mark(char state) {
  trailer_[64] = static_cast<uint8_t>(state);
  PutLittleEndian64(trailer_ + 72, Sum(trailer_, 72));
  return archive_.WriteAt(trailerAt_, trailer_, kTrailerSize);
}

Status Journal::Commit() {
  bool written = true;
  for (const SavedFields& fields : saved_) {
    written = written && archive_.WriteAt(fields.position, fields.fresh, kFieldsSize);
  }
  const bool synced = written && platform::SyncFile(archive_.handle);
  if (!synced || !Mark(kDone) || !platform::SyncFile(archive_.handle)) {
    Status failed = SystemFailure(archive_.path, platform::LastError(), KEL_ERR_WRITE);
    if (synced) Mark(kLive);
    failed.undoFailed = !RollBack();
    return failed;
  }
  // Done: a failed cut leaves only a finished journal, which the next write
  // cuts off and everything else passes over.
  platform::ResizeFile(archive_.handle, finalLength_);
  // The archive as it is now, for a change to come on the same handle,
  // whose journal its roll-back reads back.
  archive_.ReadAs({}, -1);
  archive_.fileSize = finalLength_;
  return {};
}

bool Journal::RollBack() {
  Cbuffer block;
  bool back = true;
  for (const SavedFields& fields : saved_) {
    back = back && archive_.WriteAt(fields.position, fields.old, kFieldsSize);
  }
  if (range_.count > 0) {
    back = back && CopyWithin(archive_, finalLength_ + kRangeHeadSize, range_.position, range_.count, block);
  }
  return back && platform::SyncFile(archive_.handle) && CutTo(archive_, oldLength_);
}

}  // namespace kel
