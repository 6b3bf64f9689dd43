// Front header check, the scan for the directory block, and the directory
// walk that fills EntryTable.
//
// The walk keeps a folder stack: a record that follows a record makes the
// earlier name a folder level, an end marker that follows an end marker
// drops one level. The stack holds the joined path prefix and, per level,
// the prefix length to return to, so no path is rebuilt from the whole
// stack. Runs of empty names, which add nothing to the prefix (the zero
// records of directory bytes the file does not hold are such a run), share
// one level with a repeat count.
#include "archive.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "messages.h"

namespace kel {

const uint8_t ScrambleKey[24] = {'m', 'r', 'o', 't', 'k', '8', 'q', 'a', 'w', 'e', 'n', 'p',
                                 'v', 'b', 'z', 'g', 'y', 'x', 'h', 'u', 'i', 'c', 'f', 0};

namespace {

std::deque<ArchiveEntry> EntryTable;
int64_t missingDirectoryBytes = 0;

constexpr uint32_t kBlockTag = 0x31305444;  // "DT01"
constexpr uint32_t kEndMarker = 0xFFFFFFFF;
constexpr size_t kScanWindow = 1 << 17;
constexpr size_t kBlockHeadSize = 16;
constexpr uint64_t kRecordFixedSize = 40;

uint64_t LittleEndian(const uint8_t* bytes, int width) {
  uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

// The bytes of a directory block that are at hand; reads never go past them.
class DirectoryBytes {
 public:
  DirectoryBytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool Holds(uint64_t offset, uint64_t count) const {
    return offset <= size_ && count <= size_ - offset;
  }
  uint8_t At(uint64_t offset) const { return data_[offset]; }
  uint64_t Integer(uint64_t offset, int width) const {
    uint8_t bytes[8] = {};
    for (int i = 0; i < width; ++i) bytes[i] = At(offset + static_cast<uint64_t>(i));
    return LittleEndian(bytes, width);
  }
  // The name proper of a scrambled name field: the bytes before the first
  // byte that unscrambles to zero.
  std::string Name(uint64_t offset, uint64_t fieldLength) const {
    std::string name;
    size_t keyIndex = 0;
    for (uint64_t i = 0; i < fieldLength; ++i) {
      auto c = static_cast<uint8_t>(At(offset + i) ^ ScrambleKey[keyIndex]);
      if (c == 0) break;
      name.push_back(static_cast<char>(c));
      keyIndex = keyIndex == 23 ? 0 : keyIndex + 1;
    }
    return name;
  }

 private:
  const uint8_t* data_;
  uint64_t size_;
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
    size_t prefixLength;
    uint64_t repeats;
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

int CheckFrontHeader(uint8_t* header, uint32_t* directoryEnd) {
  Unscramble(header, kFrontHeaderSize);
  auto magic = static_cast<uint16_t>(LittleEndian(header, 2));
  if (magic != kMagic) {
    messages::NotKelFile(magic);
    return -1;
  }
  *directoryEnd = static_cast<uint32_t>(LittleEndian(header + 26, 4));
  return 0;
}

int FindDirectoryBlock(Cfile& archive, uint32_t directoryEnd, DirectoryLocation* location) {
  Cbuffer window;
  if (window.Allocate(kScanWindow + kBlockHeadSize) == nullptr) {
    messages::MemoryFailed(static_cast<int64_t>(kScanWindow + kBlockHeadSize));
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
  messages::DirectoryNotFound(directoryEnd);
  return -1;
}

void WalkDirectory(const uint8_t* data, size_t size, std::deque<ArchiveEntry>& table) {
  DirectoryBytes block(data, size);
  FolderStack folders;
  bool afterEnd = false;
  std::string currentName;
  uint64_t offset = kBlockHeadSize;
  while (block.Holds(offset, 4)) {
    if (block.Integer(offset, 4) == kEndMarker) {
      if (afterEnd) folders.Pop();
      afterEnd = true;
      offset += 4;
      continue;
    }
    if (!block.Holds(offset, 8)) break;
    uint64_t nameLength = block.Integer(offset + 4, 4);
    if (!block.Holds(offset, kRecordFixedSize + nameLength)) break;
    if (!afterEnd) folders.Push(currentName);
    currentName = platform::NameFromArchive(block.Name(offset + 8, nameLength));
    uint64_t tail = offset + 16 + nameLength;
    auto folderFlag = static_cast<uint32_t>(block.Integer(tail, 4));
    if (folderFlag == 0) {
      table.push_back({0, block.Integer(tail + 12, 8), block.Integer(tail + 4, 8),
                       folders.Prefix() + currentName});
    }
    afterEnd = false;
    offset += kRecordFixedSize + nameLength;
  }
}

int LoadDirectory(const std::string& archivePath) {
  EntryTable.clear();
  missingDirectoryBytes = 0;
  Cfile archive;
  if (archive.Open(archivePath, platform::Access::kRead) != 0) {
    messages::OpenFailed(archivePath);
    return -1;
  }
  uint8_t header[kFrontHeaderSize] = {};
  archive.ReadAt(0, header, sizeof header);
  uint32_t directoryEnd = 0;
  if (CheckFrontHeader(header, &directoryEnd) != 0) return -1;
  DirectoryLocation location;
  if (FindDirectoryBlock(archive, directoryEnd, &location) != 0) return -1;

  // A file that ends inside the block is cut: only the records it holds
  // whole are walked, and the commands report the cut after their work.
  uint64_t blockLength = location.blockLength;
  uint64_t inFile = archive.fileSize > location.blockPosition
                        ? static_cast<uint64_t>(archive.fileSize) - location.blockPosition
                        : 0;
  auto held = static_cast<size_t>(std::min(blockLength, inFile));
  missingDirectoryBytes = static_cast<int64_t>(blockLength - held);
  Cbuffer directory;
  if (directory.Allocate(held) == nullptr) {
    messages::MemoryFailed(static_cast<int64_t>(blockLength));
    return -1;
  }
  int64_t got = std::max<int64_t>(archive.ReadAt(location.blockPosition, directory.data, held), 0);
  try {
    WalkDirectory(directory.data, static_cast<size_t>(got), EntryTable);
  } catch (const std::bad_alloc&) {
    EntryTable.clear();
    messages::MemoryFailed(static_cast<int64_t>(blockLength));
    return -1;
  }
  return 0;
}

int RefuseCut(Cfile& archive) {
  uint8_t header[kFrontHeaderSize] = {};
  archive.ReadAt(0, header, sizeof header);
  Unscramble(header, sizeof header);
  if (LittleEndian(header, 2) != kMagic) return 0;
  auto directoryEnd = static_cast<int64_t>(LittleEndian(header + 26, 4));
  if (archive.fileSize >= directoryEnd) return 0;
  messages::ArchiveCut(directoryEnd - archive.fileSize);
  return -1;
}

int ReportCut() {
  if (missingDirectoryBytes == 0) return 0;
  messages::ArchiveCut(missingDirectoryBytes);
  return -1;
}

std::string LastPathComponent(const std::string& path) {
  size_t last = platform::FindLastCharacter(path, '\\');
  return last == std::string::npos ? path : path.substr(last + 1);
}

uint32_t EntryCount() { return static_cast<uint32_t>(EntryTable.size()); }

const ArchiveEntry& EntryAt(uint32_t index) { return EntryTable[index]; }

}  // namespace kel
