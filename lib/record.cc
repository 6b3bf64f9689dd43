// The record of what kel wrote. Its file holds an 88-byte head
//   "KELREC01", u64 digest of the pair's real paths, i64 written (ns),
//   u64 entry count, the archive's u64 file number, u64 device, i64 length,
//   i64 modified, i64 changed, u64 digest, u64 checksum
// and then 56 bytes per entry
//   u32 index, u32 path digest, u64 address, u64 size, i64 modified,
//   i64 changed, u64 file number, u64 device
// all little-endian; the checksum covers the entries, then the head before it.
#include "record.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "paths.h"

namespace kel {
namespace {

constexpr uint8_t kRecordMagic[8] = {'K', 'E', 'L', 'R', 'E', 'C', '0', '1'};
constexpr size_t kHeadSize = 88;
constexpr size_t kEntrySize = 56;
constexpr size_t kChecksumAt = kHeadSize - 8;
constexpr int64_t kFineTick = 20'000'000;
constexpr int64_t kCoarseTick = 2'000'000'000;

int64_t Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Times with digits below the millisecond come from a fine clock; others
// may be rounded to a second or two (FAT), or to the 10 ms of exFAT.
int64_t TickOf(const platform::FileFacts& facts) {
  return facts.modified % 1'000'000 != 0 && facts.changed % 1'000'000 != 0 ? kFineTick : kCoarseTick;
}

int64_t Newest(const platform::FileFacts& facts) { return std::max(facts.modified, facts.changed); }

uint64_t DigestOf(const std::string& bytes) {
  journal::Checksum sum;
  sum.Add(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return sum.Value();
}

void PutFacts(uint8_t* at, const platform::FileFacts& facts) {
  PutLittleEndian64(at, static_cast<uint64_t>(facts.modified));
  PutLittleEndian64(at + 8, static_cast<uint64_t>(facts.changed));
  PutLittleEndian64(at + 16, facts.id);
  PutLittleEndian64(at + 24, facts.device);
}

platform::FileFacts FactsAt(const uint8_t* at, int64_t size) {
  platform::FileFacts facts;
  facts.size = size;
  facts.modified = static_cast<int64_t>(LittleEndian(at, 8));
  facts.changed = static_cast<int64_t>(LittleEndian(at + 8, 8));
  facts.id = LittleEndian(at + 16, 8);
  facts.device = LittleEndian(at + 24, 8);
  return facts;
}

bool SameFacts(const platform::FileFacts& a, const platform::FileFacts& b) {
  return a.id == b.id && a.device == b.device && a.SameState(b);
}

// The head's bytes before the checksum.
void PutHead(uint8_t* head, uint64_t pair, int64_t written, uint64_t count, const ArchiveIdentity& identity) {
  std::memcpy(head, kRecordMagic, 8);
  PutLittleEndian64(head + 8, pair);
  PutLittleEndian64(head + 16, static_cast<uint64_t>(written));
  PutLittleEndian64(head + 24, count);
  PutLittleEndian64(head + 32, static_cast<uint64_t>(identity.facts.size));
  PutFacts(head + 40, identity.facts);
  PutLittleEndian64(head + 72, identity.digest);
}

// The record file of a pair, and the digest of its real paths; empty when
// either cannot be resolved.
std::string RecordPath(const RecordOptions& options, const std::string& archivePath,
                       const std::string& folder, Encoding encoding, uint64_t* pair) {
  const std::string archive = platform::RealPath(SystemPath(archivePath, encoding));
  const std::string below = platform::RealPath(folder.empty() ? "." : SystemPath(folder, encoding));
  if (options.folder.empty() || archive.empty() || below.empty()) return "";
  *pair = DigestOf(archive + '\0' + below);
  static const char kHex[] = "0123456789abcdef";
  std::string name(16, '0');
  for (int i = 0; i < 16; ++i) name[i] = kHex[(*pair >> (60 - 4 * i)) & 15];
  return options.folder + "/" + name + ".rec";
}

}  // namespace

bool IdentityOf(Archive& archive, ArchiveIdentity* identity) {
  Cbuffer block;
  uint64_t digests[2];
  if (!platform::FactsOf(archive.file.handle, &identity->facts) ||
      !journal::Digests(archive.file, archive.location, {}, digests, block)) {
    return false;
  }
  identity->digest = digests[0];
  return true;
}

uint32_t PathDigest(const std::string& storedPath) { return static_cast<uint32_t>(DigestOf(storedPath)); }

bool Proves(const RecordEntry& entry, const platform::FileFacts& now, int64_t written) {
  const platform::FileFacts& seen = entry.facts;
  // A file system that keeps no change time cannot show a change.
  return SameFacts(seen, now) && now.size == static_cast<int64_t>(entry.size) && seen.changed != 0 &&
         Newest(seen) < written - TickOf(seen);
}

RecordReader::RecordReader(const RecordOptions& options, Archive& archive, const std::string& folder,
                           ArchiveIdentity* identity) {
  uint64_t pair = 0;
  const std::string path = RecordPath(options, archive.file.path, folder, archive.encoding, &pair);
  Cfile file;
  if (path.empty() || file.Open(path, platform::Access::kRead, Encoding::kUtf8) != 0 ||
      !platform::PrivateFile(file.handle) || file.fileSize < static_cast<int64_t>(kHeadSize)) {
    return;
  }
  uint8_t head[kHeadSize];
  if (file.ReadAt(0, head, kHeadSize) != static_cast<int64_t>(kHeadSize)) return;
  const uint64_t count = LittleEndian(head + 24, 8);
  const auto written = static_cast<int64_t>(LittleEndian(head + 16, 8));
  if (std::memcmp(head, kRecordMagic, 8) != 0 || LittleEndian(head + 8, 8) != pair || count > kMostEntries ||
      file.fileSize != static_cast<int64_t>(kHeadSize + count * kEntrySize) || written > Now() ||
      !IdentityOf(archive, identity)) {
    return;
  }
  // The archive as the record saw it, and not changed within a tick of it.
  uint8_t expected[kHeadSize];
  PutHead(expected, pair, written, count, *identity);
  if (std::memcmp(head, expected, kChecksumAt) != 0 ||
      Newest(identity->facts) >= written - TickOf(identity->facts)) {
    return;
  }
  // Read a block at a time: the entries alone are held.
  std::vector<uint8_t> bytes(std::min<uint64_t>(count, 1 << 14) * kEntrySize);
  journal::Checksum sum;
  entries_.resize(count);
  for (uint64_t i = 0; i < count; ++i) {
    const size_t in = i % (bytes.size() / kEntrySize);
    if (in == 0) {
      const size_t chunk = std::min<uint64_t>(count - i, bytes.size() / kEntrySize) * kEntrySize;
      if (file.ReadAt(static_cast<int64_t>(kHeadSize + i * kEntrySize), bytes.data(), chunk) !=
          static_cast<int64_t>(chunk)) {
        entries_.clear();
        return;
      }
      sum.Add(bytes.data(), chunk);
    }
    const uint8_t* at = bytes.data() + in * kEntrySize;
    RecordEntry& entry = entries_[i];
    entry.index = static_cast<uint32_t>(LittleEndian(at, 4));
    entry.pathDigest = static_cast<uint32_t>(LittleEndian(at + 4, 4));
    entry.address = LittleEndian(at + 8, 8);
    entry.size = LittleEndian(at + 16, 8);
    entry.facts = FactsAt(at + 24, static_cast<int64_t>(entry.size));
    // Out of walk order is no record of kel's.
    if (i > 0 && entry.index <= entries_[i - 1].index) {
      entries_.clear();
      return;
    }
  }
  sum.Add(head, kChecksumAt);
  if (sum.Value() != LittleEndian(head + kChecksumAt, 8)) {
    entries_.clear();
    return;
  }
  written_ = written;
}

const RecordEntry* RecordReader::Find(uint32_t index, const ArchiveEntry& entry) const {
  const auto found = std::lower_bound(entries_.begin(), entries_.end(), index,
                                      [](const RecordEntry& e, uint32_t i) { return e.index < i; });
  if (found == entries_.end() || found->index != index || found->address != entry.address ||
      found->size != entry.size || found->pathDigest != PathDigest(entry.path)) {
    return nullptr;
  }
  return &*found;
}

RecordWriter::RecordWriter(const RecordOptions& options, const std::string& archivePath,
                           const std::string& folder, Encoding encoding)
    : options_(options), archivePath_(archivePath), folder_(folder), encoding_(encoding) {
  failed_ = options.folder.empty();
}

// Made at the first entry, when the folder exists.
void RecordWriter::Open() {
  target_ = RecordPath(options_, archivePath_, folder_, encoding_, &pair_);
  failed_ = target_.empty();
  if (failed_) return;
  // The folders above the record, as far as they are missing.
  const std::string& cache = options_.folder;
  for (size_t at = cache.find('/', 1); at != std::string::npos; at = cache.find('/', at + 1)) {
    platform::MakeFolder(cache.substr(0, at));
  }
  platform::MakeFolder(cache);
  spare_ = target_ + ".new";
  platform::RemoveLeftover(spare_);
  failed_ = platform::CreateUnnamed(target_, spare_, &handle_) != 0;
  pending_.resize(kHeadSize);
}

RecordWriter::~RecordWriter() {
  if (handle_ >= 0) platform::DiscardFile(handle_, spare_);
}

void RecordWriter::Add(const RecordEntry& entry) {
  if (!failed_ && handle_ < 0) Open();
  if (failed_ || count_ == kMostEntries || entry.size != static_cast<uint64_t>(entry.facts.size)) return;
  const size_t at = pending_.size();
  pending_.resize(at + kEntrySize);
  uint8_t* bytes = pending_.data() + at;
  for (int i = 0; i < 4; ++i) {
    bytes[i] = static_cast<uint8_t>(entry.index >> (8 * i));
    bytes[4 + i] = static_cast<uint8_t>(entry.pathDigest >> (8 * i));
  }
  PutLittleEndian64(bytes + 8, entry.address);
  PutLittleEndian64(bytes + 16, entry.size);
  PutFacts(bytes + 24, entry.facts);
  sum_.Add(bytes, kEntrySize);
  ++count_;
  if (TickOf(entry.facts) == kFineTick) newest_ = std::max(newest_, Newest(entry.facts));
  if (pending_.size() >= (1 << 16)) Flush();
}

void RecordWriter::Flush() {
  // The head's place is kept until the end.
  const size_t from = at_ == 0 ? kHeadSize : 0;
  if (!failed_ && pending_.size() > from) {
    const int64_t position = at_ == 0 ? static_cast<int64_t>(kHeadSize) : at_;
    failed_ = !platform::WriteAt(handle_, position, pending_.data() + from, pending_.size() - from);
    at_ = position + static_cast<int64_t>(pending_.size() - from);
  }
  pending_.clear();
}

void RecordWriter::Finish(Archive& archive) {
  ArchiveIdentity identity;
  if (!failed_ && count_ > 0 && IdentityOf(archive, &identity)) Finish(identity);
}

void RecordWriter::Finish(const ArchiveIdentity& identity) {
  if (failed_ || count_ == 0) return;
  Flush();
  // What was seen within the last tick is given that tick to pass first.
  int64_t newest = newest_;
  if (TickOf(identity.facts) == kFineTick) newest = std::max(newest, Newest(identity.facts));
  const int64_t wait = newest + kFineTick + 1 - Now();
  if (wait > 0 && wait <= kFineTick + 1) std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
  uint8_t head[kHeadSize];
  PutHead(head, pair_, Now(), count_, identity);
  sum_.Add(head, kChecksumAt);
  PutLittleEndian64(head + kChecksumAt, sum_.Value());
  if (failed_ || !platform::WriteAt(handle_, 0, head, kHeadSize)) return;
  // Over the record there now, if any, and only while it is still there.
  int held = -1;
  platform::OpenFile(SystemPath(target_, Encoding::kUtf8), platform::Access::kRead, &held);
  platform::PlaceFile(handle_, spare_, target_, held);
  handle_ = -1;
}

}  // namespace kel
