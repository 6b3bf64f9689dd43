// Front header check, the scan for the directory block, and the directory
// walk that hands each stored file to the command as it is found.
//
// The walk reads the block in fixed windows, so memory does not grow with
// the directory. It keeps a folder stack: a record that follows a record
// makes the earlier name a folder level, an end marker that follows an end
// marker drops one level. The stack holds the joined path prefix and, per
// level, the prefix length to return to, so no path is rebuilt from the
// whole stack. Runs of empty names, which add nothing to the prefix (a block
// of zero records is such a run), share one level with a repeat count.
#include "archive.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "journal.h"
#include "messages.h"

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
  BlockWindow(const BlockReader& read, uint64_t size) : read_(read), size_(size) {}

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
  const BlockReader& read_;
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

int CheckFrontHeader(uint8_t* header, size_t size, uint32_t* directoryEnd) {
  Unscramble(header, kFrontHeaderSize);
  // Values are taken only from bytes the file has.
  auto magic = static_cast<uint16_t>(LittleEndian(header, 2));
  if (size >= 2 && magic != kMagic) {
    messages::NotKelFile(magic);
    return -1;
  }
  if (size < kFrontHeaderSize) {
    messages::HeaderCut(static_cast<int64_t>(kFrontHeaderSize - size));
    return -1;
  }
  *directoryEnd = static_cast<uint32_t>(LittleEndian(header + 26, 4));
  return 0;
}

int FindDirectoryBlock(Cfile& archive, uint32_t directoryEnd, DirectoryLocation* location, bool quiet) {
  // A small archive needs a window no longer than its region to scan.
  const uint64_t region = directoryEnd > kFrontHeaderSize ? directoryEnd - kFrontHeaderSize : 0;
  const size_t windowSize = static_cast<size_t>(std::min<uint64_t>(region, kScanWindow)) + kBlockHeadSize;
  Cbuffer window;
  if (window.Allocate(windowSize) == nullptr) {
    if (!quiet) messages::MemoryFailed(static_cast<int64_t>(windowSize));
    return -1;
  }
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
      return 0;
    }
    // Past the end of the file the region is zeros, which hold no head.
    if (static_cast<size_t>(got) < wanted) break;
  }
  if (!quiet) messages::DirectoryNotFound(directoryEnd);
  return -1;
}

int WalkDirectory(const BlockReader& read, uint64_t size, const EntryVisitor& visit, bool storedNames) {
  BlockWindow block(read, size);
  FolderStack folders;
  bool afterEnd = false;
  std::string currentName;
  ArchiveEntry entry;
  for (uint64_t offset = kBlockHeadSize; block.Holds(offset, 4);) {
    const uint8_t* head = block.Bytes(offset, block.Holds(offset, 8) ? 8 : 4);
    if (head == nullptr) return -1;
    if (LittleEndian(head, 4) == kEndMarker) {
      if (afterEnd) folders.Pop();
      afterEnd = true;
      offset += 4;
      continue;
    }
    if (!block.Holds(offset, 8)) break;
    const uint64_t nameLength = LittleEndian(head + 4, 4);
    if (!block.Holds(offset, kRecordFixedSize + nameLength)) break;
    if (!afterEnd) folders.Push(currentName);
    if (!block.Name(offset + 8, nameLength, &currentName)) return -1;
    if (!storedNames) currentName = platform::NameFromArchive(currentName);
    const uint8_t* tail = block.Bytes(offset + 16 + nameLength, 20);
    if (tail == nullptr) return -1;
    if (LittleEndian(tail, 4) == 0) {
      entry.sizeFieldOffset = offset + 20 + nameLength;
      entry.size = LittleEndian(tail + 4, 8);
      entry.address = LittleEndian(tail + 12, 8);
      entry.path = folders.Prefix();
      entry.path += currentName;
      if (!visit(entry)) return 0;
    }
    afterEnd = false;
    offset += kRecordFixedSize + nameLength;
  }
  return 0;
}

int LoadDirectory(const std::string& archivePath, Directory* directory, platform::Access access) {
  if (OpenArchive(archivePath, access, directory->archive) != 0) return -1;
  return FindDirectory(directory);
}

int FindDirectory(Directory* directory) {
  Cfile& archive = directory->archive;
  uint8_t header[kFrontHeaderSize] = {};
  const int64_t got = archive.ReadAt(0, header, sizeof header);
  if (got < 0) {
    messages::ReadFailed(archive.path);
    return -1;
  }
  uint32_t directoryEnd = 0;
  if (CheckFrontHeader(header, static_cast<size_t>(got), &directoryEnd) != 0) return -1;
  if (FindDirectoryBlock(archive, directoryEnd, &directory->location) != 0) return -1;
  // A file that ends inside the block is cut: only the records it holds
  // whole are walked, and the commands report the cut after their work.
  directory->missingBytes =
      archive.fileSize < directoryEnd ? directoryEnd - static_cast<uint64_t>(archive.fileSize) : 0;
  return 0;
}

bool IsKelFile(Cfile& archive) {
  uint8_t header[kFrontHeaderSize] = {};
  archive.ReadAt(0, header, sizeof header);
  Unscramble(header, sizeof header);
  return LittleEndian(header, 2) == kMagic;
}

int WalkDirectory(Directory& directory, const EntryVisitor& visit) {
  Cfile& archive = directory.archive;
  const uint64_t blockPosition = directory.location.blockPosition;
  const BlockReader read = [&archive, blockPosition](uint64_t offset, uint8_t* destination, size_t count) {
    // The file holds these bytes: fewer of them is a failure.
    const int64_t got = archive.ReadAt(static_cast<int64_t>(blockPosition + offset), destination, count);
    if (got == static_cast<int64_t>(count)) return got;
    messages::ReadFailed(archive.path);
    return int64_t{-1};
  };
  return WalkDirectory(read, directory.location.blockLength - directory.missingBytes, visit,
                       directory.storedNames);
}

uint64_t DataEnd(const ArchiveEntry& entry) {
  return entry.size > UINT64_MAX - entry.address ? UINT64_MAX : entry.address + entry.size;
}

bool InDataArea(const DirectoryLocation& location, uint64_t claimsEnd, uint64_t position, uint64_t count) {
  const uint64_t blockEnd = uint64_t{location.blockPosition} + location.blockLength;
  return position >= kFrontHeaderSize && count <= claimsEnd && position <= claimsEnd - count &&
         (position + count <= location.blockPosition || position >= blockEnd);
}

int ReportCut(const Directory& directory, uint64_t dataEnd) {
  const auto fileSize = static_cast<uint64_t>(directory.archive.fileSize);
  const uint64_t end = std::max(fileSize + directory.missingBytes, dataEnd);
  if (end <= fileSize) return 0;
  messages::ArchiveCut(end - fileSize);
  return -1;
}

void ClaimedSpace::Claim(uint64_t position, uint64_t count) {
  if (count == 0) return;
  claims_.emplace_back(position, position + count);
  end_ = std::max(end_, position + count);
}

uint64_t ClaimedSpace::Place(uint64_t count) {
  if (!settled_) {
    // Claims come in the order the data lie in, as a rule.
    if (!std::is_sorted(claims_.begin(), claims_.end())) std::sort(claims_.begin(), claims_.end());
    uint64_t reached = 0;
    for (const auto& [start, end] : claims_) {
      if (start > reached) gaps_.emplace_back(reached, start);
      reached = std::max(reached, end);
    }
    settled_ = true;
  }
  if (count == 0) return end_;
  const auto gap = std::find_if(gaps_.begin(), gaps_.end(),
                                [count](const auto& free) { return free.second - free.first >= count; });
  const uint64_t position = gap != gaps_.end() ? gap->first : end_;
  if (gap != gaps_.end()) {
    gap->first += count;
  } else {
    end_ += count;
  }
  claims_.emplace_back(position, position + count);
  return position;
}

std::string LastPathComponent(const std::string& path) {
  size_t last = platform::FindLastCharacter(path, '\\');
  return last == std::string::npos ? path : path.substr(last + 1);
}

}  // namespace kel
