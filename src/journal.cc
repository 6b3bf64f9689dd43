// The journal lies at the end of the archive file:
//   for each saved range: u64 position, u64 count, its count old bytes
//   trailer: u64 old length, u64 body length, u64 body checksum,
//            u64 trailer checksum, "KELJRNL" and a state byte
// The trailer checksum covers the trailer but its state byte, so that the
// change takes effect by rewriting that one byte ('1' live, '0' done),
// which a torn write cannot leave half old. The body checksum tells a
// journal that a power cut caught before its sync was done from a whole one.
#include "journal.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <numeric>
#include <thread>

#include "messages.h"

namespace kel {
namespace {

constexpr int64_t kTrailerSize = 40;
constexpr int64_t kRangeHeadSize = 16;
constexpr uint8_t kMagic[7] = {'K', 'E', 'L', 'J', 'R', 'N', 'L'};
constexpr char kLive = '1';
constexpr char kDone = '0';
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

uint64_t TrailerSum(const uint8_t* trailer) {
  Checksum sum;
  sum.Add(trailer, 24);
  sum.Add(trailer + 32, 7);
  return sum.Value();
}

struct Trailer {
  int64_t at = 0;  ///< where the trailer starts
  int64_t oldLength = 0;
  int64_t bodyLength = 0;
  uint64_t bodySum = 0;
  char state = 0;
  int64_t BodyStart() const { return at - bodyLength; }
};

// The journal trailer that ends the archive, if one does.
bool FindTrailer(Cfile& archive, Trailer* trailer) {
  const int64_t length = platform::FileLength(archive.handle);
  uint8_t bytes[kTrailerSize];
  if (length < kTrailerSize || archive.ReadAt(length - kTrailerSize, bytes, sizeof bytes) != kTrailerSize ||
      !std::equal(kMagic, kMagic + sizeof kMagic, bytes + 32) ||
      LittleEndian(bytes + 24, 8) != TrailerSum(bytes)) {
    return false;
  }
  trailer->at = length - kTrailerSize;
  trailer->oldLength = static_cast<int64_t>(LittleEndian(bytes, 8));
  trailer->bodyLength = static_cast<int64_t>(LittleEndian(bytes + 8, 8));
  trailer->bodySum = LittleEndian(bytes + 16, 8);
  trailer->state = static_cast<char>(bytes[39]);
  return trailer->bodyLength >= 0 && trailer->bodyLength <= trailer->at && trailer->oldLength >= 0 &&
         trailer->oldLength <= trailer->BodyStart() && (trailer->state == kLive || trailer->state == kDone);
}

bool CopyWithin(Cfile& archive, int64_t from, int64_t to, int64_t count, Cbuffer& block) {
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

// Writes a live journal's saved bytes back and cuts the archive to its old
// length. A journal whose body does not match its checksum was never
// synced, so the archive was not touched: it is only cut off.
bool RollBack(Cfile& archive, const Trailer& trailer) {
  Cbuffer block;
  if (!block.FitFor(trailer.bodyLength)) return false;
  Checksum sum;
  for (int64_t done = 0; done < trailer.bodyLength;) {
    const auto chunk =
        static_cast<size_t>(std::min<int64_t>(trailer.bodyLength - done, static_cast<int64_t>(block.length)));
    if (archive.ReadAt(trailer.BodyStart() + done, block.data, chunk) != static_cast<int64_t>(chunk)) {
      return false;
    }
    sum.Add(block.data, chunk);
    done += static_cast<int64_t>(chunk);
  }
  if (sum.Value() != trailer.bodySum) return CutTo(archive, trailer.oldLength);
  for (int64_t at = trailer.BodyStart(); at < trailer.at;) {
    uint8_t head[kRangeHeadSize];
    if (trailer.at - at < kRangeHeadSize || archive.ReadAt(at, head, sizeof head) != kRangeHeadSize) {
      return false;
    }
    const auto position = static_cast<int64_t>(LittleEndian(head, 8));
    const auto count = static_cast<int64_t>(LittleEndian(head + 8, 8));
    at += kRangeHeadSize;
    // Saved bytes go back only where the archive was, never into the journal.
    if (position < 0 || count < 0 || count > trailer.at - at || position > trailer.BodyStart() - count ||
        !CopyWithin(archive, at, position, count, block)) {
      return false;
    }
    at += count;
  }
  return platform::SyncFile(archive.handle) && CutTo(archive, trailer.oldLength);
}

enum class Opened { kYes, kNo, kHeld };

Opened TryOpen(const std::string& path, platform::Access access, Cfile& archive) {
  const int error = archive.Open(path, access);
  if (error == 0) return Opened::kYes;
  return platform::HeldElsewhere(error) ? Opened::kHeld : Opened::kNo;
}

// Opens the archive, waiting while another program holds it.
int OpenWaiting(const std::string& path, platform::Access access, Cfile& archive) {
  const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
  bool told = false;
  while (true) {
    const Opened opened = TryOpen(path, access, archive);
    if (opened == Opened::kYes) return 0;
    if (opened == Opened::kNo) {
      messages::OpenFailed(path);
      return -1;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      messages::ArchiveInUse(path);
      return -1;
    }
    if (!told) messages::WaitingFor(path);
    told = true;
    // A writer notes Ctrl-C from the start; while it waits it holds nothing.
    platform::EndIfInterrupted();
    std::this_thread::sleep_for(kWaitStep);
  }
}

}  // namespace

int OpenArchive(const std::string& path, platform::Access access, Cfile& archive) {
  if (OpenWaiting(path, access, archive) != 0) return -1;
  Trailer trailer;
  if (!platform::IsRegularFile(archive.handle) || !FindTrailer(archive, &trailer)) return 0;
  const bool writes = access == platform::Access::kReadWrite;
  if (trailer.state == kLive) {
    // A reader rolls a stopped write back too, which takes the archive to write.
    if (!writes && OpenWaiting(path, platform::Access::kReadWrite, archive) != 0) return -1;
    if (FindTrailer(archive, &trailer) && trailer.state == kLive && !RollBack(archive, trailer)) {
      messages::CannotRollBack(path);
      return -1;
    }
    if (!writes) return OpenWaiting(path, access, archive);
  } else if (writes && !platform::ResizeFile(archive.handle, trailer.BodyStart())) {
    messages::WriteFailed(path);
    return -1;
  }
  // A finished change's journal, which a reader leaves, is no part of the archive.
  archive.fileSize = trailer.state == kDone ? trailer.BodyStart() : platform::FileLength(archive.handle);
  return 0;
}

int64_t Journal::SizeFor(const std::vector<ByteRange>& ranges) {
  return std::accumulate(
      ranges.begin(), ranges.end(), kTrailerSize,
      [](int64_t size, const ByteRange& range) { return size + kRangeHeadSize + range.count; });
}

Journal::Journal(Cfile& archive, int64_t start, int64_t oldLength)
    : archive_(archive), start_(start), oldLength_(oldLength) {}

int Journal::Protect(const std::vector<ByteRange>& ranges, Cbuffer& block) {
  int64_t largest = 0;
  for (const ByteRange& range : ranges) largest = std::max(largest, range.count);
  if (!block.FitFor(largest)) {
    messages::MemoryFailed(kCopyBlockSize);
    return -1;
  }
  Checksum sum;
  int64_t at = start_;
  bool failed = false;
  const auto put = [&](const uint8_t* bytes, size_t count) {
    failed = failed || !archive_.WriteAt(at, bytes, count);
    sum.Add(bytes, count);
    at += static_cast<int64_t>(count);
  };
  for (const ByteRange& range : ranges) {
    uint8_t head[kRangeHeadSize];
    PutLittleEndian64(head, static_cast<uint64_t>(range.position));
    PutLittleEndian64(head + 8, static_cast<uint64_t>(range.count));
    put(head, sizeof head);
    for (int64_t done = 0; done < range.count && !failed && platform::CaughtInterrupt() == 0;) {
      const auto chunk =
          static_cast<size_t>(std::min<int64_t>(range.count - done, static_cast<int64_t>(block.length)));
      if (archive_.ReadAt(range.position + done, block.data, chunk) != static_cast<int64_t>(chunk)) {
        platform::ResizeFile(archive_.handle, oldLength_);
        messages::ReadFailed(archive_.path);
        return -1;
      }
      put(block.data, chunk);
      done += static_cast<int64_t>(chunk);
    }
  }
  uint8_t trailer[kTrailerSize];
  PutLittleEndian64(trailer, static_cast<uint64_t>(oldLength_));
  PutLittleEndian64(trailer + 8, static_cast<uint64_t>(at - start_));
  PutLittleEndian64(trailer + 16, sum.Value());
  std::copy(kMagic, kMagic + sizeof kMagic, trailer + 32);
  trailer[39] = kLive;
  PutLittleEndian64(trailer + 24, TrailerSum(trailer));
  trailerAt_ = at;
  if (platform::CaughtInterrupt() != 0) {
    platform::ResizeFile(archive_.handle, oldLength_);
    messages::Interrupted(archive_.path);
    return -1;
  }
  if (failed || !archive_.WriteAt(at, trailer, sizeof trailer) || !platform::SyncFile(archive_.handle)) {
    platform::ResizeFile(archive_.handle, oldLength_);
    messages::WriteFailed(archive_.path);
    return -1;
  }
  return 0;
}

int Journal::Commit(int64_t length) {
  const uint8_t done = kDone;
  if (!platform::SyncFile(archive_.handle) || !archive_.WriteAt(trailerAt_ + kTrailerSize - 1, &done, 1) ||
      !platform::SyncFile(archive_.handle)) {
    messages::WriteFailed(archive_.path);
    const uint8_t live = kLive;
    archive_.WriteAt(trailerAt_ + kTrailerSize - 1, &live, 1);
    RollBack();
    return -1;
  }
  // Done: a failed cut leaves only a finished journal, which the next write
  // cuts off and everything else passes over.
  platform::ResizeFile(archive_.handle, length);
  return 0;
}

void Journal::RollBack() {
  Trailer trailer;
  if (FindTrailer(archive_, &trailer) && trailer.state == kLive && ::kel::RollBack(archive_, trailer)) return;
  messages::CannotRollBack(archive_.path);
}

}  // namespace kel
