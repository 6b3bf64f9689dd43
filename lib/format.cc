// Front header check, the scan for the directory block, and the directory
// walk that gives each stored file as it is found.
//
// The walk reads the block in fixed windows, so memory does not grow with
// the directory. It keeps a folder stack: a record that follows a record
// makes the earlier name a folder level, an end marker that follows an end
// marker drops one level. The stack holds the joined path prefix and, per
// level, the prefix length to return to, so no path is rebuilt from the
// whole stack. Runs of empty names, which add nothing to the prefix (a block
// of zero records is such a run), share one level with a repeat count.
#include "format.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace kel {

const uint8_t ScrambleKey[24] = {'m', 'r', 'o', 't', 'k', '8', 'q', 'a', 'w', 'e', 'n', 'p',
                                 'v', 'b', 'z', 'g', 'y', 'x', 'h', 'u', 'i', 'c', 'f', 0};

namespace {

constexpr uint32_t kBlockTag = 0x31305444;  // "DT01"
constexpr uint32_t kEndMarker = 0xFFFFFFFF;
constexpr size_t kScanWindow = 1 << 17;
constexpr size_t kBlockHeadSize = 16;
constexpr uint64_t kRecordFixedSize = 40;
constexpr size_t kWalkWindow = 1 << 20;
constexpr size_t kNamePiece = 256;

// The bytes of a directory block, read through a window of fixed size as the
// walk needs them; nothing is read past `size`.
class BlockWindow {
 public:
  BlockWindow(BlockReader read, uint64_t size) : read_(std::move(read)), size_(size) {}

  bool Holds(uint64_t offset, uint64_t count) const { return offset <= size_ && count <= size_ - offset; }
  // `count` bytes from `offset` (at most a window's worth, inside `size`),
  // or null when they cannot be read.
  const uint8_t* Bytes(uint64_t offset, size_t count) {
    if (offset < start_ || offset + count > start_ + held_) {
      start_ = offset;
      held_ = 0;
      const auto wanted = static_cast<size_t>(std::min<uint64_t>(size_ - offset, kWalkWindow));
      if (read_(offset, window_.get(), wanted) < 0) return nullptr;
      held_ = wanted;
    }
    return window_.get() + (offset - start_);
  }
  // The name proper of the scrambled name field at `offset`: the bytes
  // before the first one that unscrambles to zero. Only those are read.
  bool Name(uint64_t offset, uint64_t fieldLength, std::string* name) {
    name->clear();
    size_t keyIndex = 0;
    for (uint64_t done = 0; done < fieldLength;) {
      const auto piece = static_cast<size_t>(std::min<uint64_t>(fieldLength - done, kNamePiece));
      const uint8_t* bytes = Bytes(offset + done, piece);
      if (bytes == nullptr) return false;
      for (size_t i = 0; i < piece; ++i) {
        const auto c = static_cast<char>(bytes[i] ^ ScrambleKey[keyIndex]);
        if (c == 0) return true;
        name->push_back(c);
        keyIndex = keyIndex == 23 ? 0 : keyIndex + 1;
      }
      done += piece;
    }
    return true;
  }

 private:
  const BlockReader read_;
  const uint64_t size_;
  // A small directory needs no more than its own length.
  // Every byte is read before it is used: no need to zero the window.
  std::unique_ptr<uint8_t[]> window_{
      new uint8_t[static_cast<size_t>(std::min<uint64_t>(size_, kWalkWindow))]};
  uint64_t start_ = 0;
  size_t held_ = 0;
};

class FolderStack {
 public:
  void Push(const std::string& name) {
    if (name.empty() && !levels_.empty() && levels_.back().prefixLength == prefix_.size()) {
      ++levels_.back().repeats;
      return;
    }
    levels_.push_back({prefix_.size(), 1});
    if (!name.empty()) prefix_ += name + '\\';
  }
  void Pop() {
    if (levels_.empty()) return;
    prefix_.resize(levels_.back().prefixLength);
    if (--levels_.back().repeats == 0) levels_.pop_back();
  }
  const std::string& Prefix() const { return prefix_; }

 private:
  struct Level {
    size_t prefixLength;  ///< of the prefix to return to
    uint64_t repeats;     ///< levels of empty names this one stands for
  };
  std::vector<Level> levels_;
  std::string prefix_;
};

}  // namespace

void ApplyDataKey(uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) bytes[i] ^= DataKey;
}

void Unscramble(uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) bytes[i] ^= ScrambleKey[i % sizeof ScrambleKey];
}

Status CheckFrontHeader(uint8_t* header, size_t size, uint32_t* directoryEnd) {
  Unscramble(header, kFrontHeaderSize);
  // Values are taken only from bytes the file has.
  auto magic = static_cast<uint16_t>(LittleEndian(header, 2));
  if (size >= 2 && magic != kMagic) return Fail(KEL_ERR_NOT_KEL, "", magic);
  if (size < kFrontHeaderSize) return Fail(KEL_ERR_HEADER_CUT, "", kFrontHeaderSize - size);
  *directoryEnd = static_cast<uint32_t>(LittleEndian(header + 26, 4));
  return {};
}

Status FindDirectoryBlock(Cfile& archive, uint32_t directoryEnd, DirectoryLocation* location) {
  // A small archive needs a window no longer than its region to scan.
  const uint64_t region = directoryEnd > kFrontHeaderSize ? directoryEnd - kFrontHeaderSize : 0;
  const size_t windowSize = static_cast<size_t>(std::min<uint64_t>(region, kScanWindow)) + kBlockHeadSize;
  Cbuffer window;
  if (window.Allocate(windowSize) == nullptr) return Fail(KEL_ERR_MEMORY, "", windowSize);
  // Each window covers kScanWindow candidate positions plus the rest of the
  // head of the last one; the region ends at directoryEnd.
  for (uint64_t start = kFrontHeaderSize; start < directoryEnd; start += kScanWindow) {
    uint64_t regionLeft = directoryEnd - start;
    size_t wanted = static_cast<size_t>(std::min<uint64_t>(regionLeft, kScanWindow + 12));
    int64_t got = std::max<int64_t>(archive.ReadAt(static_cast<int64_t>(start), window.data, wanted), 0);
    std::memset(window.data + got, 0, window.length - static_cast<size_t>(got));
    size_t candidates = static_cast<size_t>(std::min<uint64_t>(regionLeft, kScanWindow));
    size_t words = (candidates + 3) / 4;
    for (size_t word = 0;; ++word) {
      word += platform::FindWord(window.data + 4 * word, words - word, "DT01");
      if (word >= words) break;
      const uint8_t* head = window.data + 4 * word;
      uint64_t position = start + 4 * word;
      uint64_t blockLength = LittleEndian(head + 8, 8);
      if (blockLength != directoryEnd - position) continue;
      location->blockTag = kBlockTag;
      location->blockWord = static_cast<uint32_t>(LittleEndian(head + 4, 4));
      location->blockLength = blockLength;
      location->blockPosition = static_cast<uint32_t>(position);
      return {};
    }
    // Past the end of the file the region is zeros, which hold no head.
    if (static_cast<size_t>(got) < wanted) break;
  }
  return Fail(KEL_ERR_NO_DIRECTORY, "", directoryEnd);
}

struct DirectoryWalk::State {
  State(BlockReader read, uint64_t size, Encoding names) : block(std::move(read), size), encoding(names) {}
  BlockWindow block;
  FolderStack folders;
  const Encoding encoding;
  uint64_t offset = kBlockHeadSize;
  bool afterEnd = false;
  bool ended = false;
  std::string currentName;
};

DirectoryWalk::DirectoryWalk(BlockReader read, uint64_t size, Encoding encoding)
    : state_(std::make_unique<State>(std::move(read), size, encoding)) {}
DirectoryWalk::~DirectoryWalk() = default;
DirectoryWalk::DirectoryWalk(DirectoryWalk&&) noexcept = default;
DirectoryWalk& DirectoryWalk::operator=(DirectoryWalk&&) noexcept = default;

DirectoryWalk::Step DirectoryWalk::Next(ArchiveEntry* entry) {
  State& s = *state_;
  BlockWindow& block = s.block;
  while (!s.ended && block.Holds(s.offset, 4)) {
    const uint8_t* head = block.Bytes(s.offset, block.Holds(s.offset, 8) ? 8 : 4);
    if (head == nullptr) return kFailed;
    if (LittleEndian(head, 4) == kEndMarker) {
      if (s.afterEnd) s.folders.Pop();
      s.afterEnd = true;
      s.offset += 4;
      continue;
    }
    if (!block.Holds(s.offset, 8)) break;
    const uint64_t nameLength = LittleEndian(head + 4, 4);
    if (!block.Holds(s.offset, kRecordFixedSize + nameLength)) break;
    if (!s.afterEnd) s.folders.Push(s.currentName);
    if (!block.Name(s.offset + 8, nameLength, &s.currentName)) return kFailed;
    if (s.encoding != Encoding::kShiftJis) s.currentName = NameFromArchive(s.currentName, s.encoding);
    const uint8_t* tail = block.Bytes(s.offset + 16 + nameLength, 20);
    if (tail == nullptr) return kFailed;
    const bool file = LittleEndian(tail, 4) == 0;
    if (file) {
      entry->folderFlag = 0;
      entry->sizeFieldOffset = s.offset + 20 + nameLength;
      entry->size = LittleEndian(tail + 4, 8);
      entry->address = LittleEndian(tail + 12, 8);
      entry->path = s.folders.Prefix();
      entry->path += s.currentName;
    }
    s.afterEnd = false;
    s.offset += kRecordFixedSize + nameLength;
    if (file) return kEntry;
  }
  s.ended = true;
  return kEnd;
}

DirectoryWalk::Step WalkDirectory(const BlockReader& read, uint64_t size, const EntryVisitor& visit,
                                  Encoding encoding) {
  DirectoryWalk walk(read, size, encoding);
  ArchiveEntry entry;
  DirectoryWalk::Step step;
  while ((step = walk.Next(&entry)) == DirectoryWalk::kEntry) {
    if (!visit(entry)) return DirectoryWalk::kEnd;
  }
  return step;
}

uint64_t DataEnd(const ArchiveEntry& entry) {
  return entry.size > UINT64_MAX - entry.address ? UINT64_MAX : entry.address + entry.size;
}

bool InDataArea(const DirectoryLocation& location, uint64_t claimsEnd, uint64_t position, uint64_t count) {
  const uint64_t blockEnd = uint64_t{location.blockPosition} + location.blockLength;
  return position >= kFrontHeaderSize && count <= claimsEnd && position <= claimsEnd - count &&
         (position + count <= location.blockPosition || position >= blockEnd);
}

}  // namespace kel
