// Merging and replacing. A merge overwrites a stored file's bytes in place
// with a replacement of the same size, once its first plain bytes match the
// stored ones. A replacement (-r) may have any size: its bytes go where no
// record points, then the record's size and address are changed, so that
// the archive reads as the old one or the new one at every moment.
//
// Every check, and securing the disk space, comes before the first byte is
// written, and SIGINT, SIGTERM and SIGHUP wait for the last one. The
// replacement is copied in fixed chunks, so memory does not grow with it.
#include "merge.h"

#include <algorithm>
#include <functional>

#include "archive.h"
#include "messages.h"
#include "support.h"

namespace kel {
namespace {

constexpr int kCheckedBytes = 4;
constexpr size_t kChunkSize = 1 << 20;

using Matcher = std::function<bool(const ArchiveEntry&)>;

// Writes the replacement's `count` bytes, scrambled, into the archive from
// `position` on. 0, or -1 after its message.
int WriteScrambled(Cfile& replacement, Cfile& archive, int64_t position, int64_t count, uint8_t* block) {
  for (int64_t done = 0; done < count; done += static_cast<int64_t>(kChunkSize)) {
    const auto chunk = static_cast<size_t>(std::min<int64_t>(count - done, kChunkSize));
    if (replacement.ReadAt(done, block, chunk) != static_cast<int64_t>(chunk)) {
      messages::ReadFailed(replacement.path);
      return -1;
    }
    ApplyDataKey(block, chunk);
    if (!archive.WriteAt(position + done, block, chunk)) {
      messages::WriteFailed(archive.path);
      return -1;
    }
  }
  return 0;
}

// The one stored file of the open directory that `matches`. 0, or -1 after
// the not-found or several-matches message.
int FindOne(Directory& directory, const std::string& printedName, const Matcher& matches,
            ArchiveEntry* found) {
  if (ReportCut(directory) != 0) return -1;
  int matched = 0;
  const int walked = WalkDirectory(directory, [&](const ArchiveEntry& entry) {
    if (!matches(entry)) return true;
    if (++matched == 1) *found = entry;
    return matched == 1;  // a second match ends the search
  });
  if (walked != 0) return -1;
  if (matched == 1) return 0;
  matched == 0 ? messages::NotInArchive(printedName) : messages::SeveralInArchive(printedName);
  return -1;
}

// The stored file named by the replacement's own name: what follows its
// last separator, compared with stored names ignoring the case of A-Z.
Matcher ByFileName(const std::string& file, std::string* searchName) {
  const size_t last = FindLastSeparator(file);
  *searchName = last == std::string::npos ? file : file.substr(last + 1);
  return [name = *searchName](const ArchiveEntry& entry) {
    return platform::EqualIgnoringCase(LastPathComponent(entry.path), name);
  };
}

// A bare name compares as ByFileName does; a name with a folder part (either
// separator) must stand in the stored path, case-sensitive.
Matcher ByName(std::string name) {
  std::replace(name.begin(), name.end(), '/', '\\');
  const bool hasFolderPart = platform::FindCharacter(name, '\\') != std::string::npos;
  return [name, hasFolderPart](const ArchiveEntry& entry) {
    return hasFolderPart ? entry.path.find(name) != std::string::npos
                         : platform::EqualIgnoringCase(LastPathComponent(entry.path), name);
  };
}

int Resolve(const std::string& archivePath, const std::string& printedName, const Matcher& matches,
            const std::string& mergeFile) {
  ArchiveEntry found;
  {
    Directory directory;
    if (LoadDirectory(archivePath, &directory) != 0 ||
        FindOne(directory, printedName, matches, &found) != 0) {
      return -1;
    }
  }  // the archive is closed again before the merge opens it to write
  int64_t fileSize = 0;
  if (!platform::FindFile(mergeFile, &fileSize)) {
    messages::FileNotFound(mergeFile);
    return -1;
  }
  if (static_cast<uint64_t>(fileSize) != found.size) {
    messages::SizeDiffers(static_cast<int64_t>(found.size), fileSize);
    return -1;
  }
  return MergeAt(mergeFile, archivePath, static_cast<int64_t>(found.address), fileSize);
}

bool Overlap(uint64_t start, uint64_t count, uint64_t otherStart, uint64_t otherCount) {
  return count > 0 && otherCount > 0 && start < otherStart + otherCount && otherStart < start + count;
}

// Whether `count` new bytes may go over the stored file's own: they fit, and
// no other record, the header or the directory block lies there.
bool FitsInPlace(Directory& directory, const ArchiveEntry& target, uint64_t count) {
  const DirectoryLocation& block = directory.location;
  if (count > target.size || Overlap(target.address, count, 0, kFrontHeaderSize) ||
      Overlap(target.address, count, block.blockPosition, block.blockLength)) {
    return false;
  }
  bool shared = false;
  const int walked = WalkDirectory(directory, [&](const ArchiveEntry& entry) {
    shared = entry.sizeFieldOffset != target.sizeFieldOffset &&
             Overlap(target.address, count, entry.address, entry.size);
    return !shared;
  });
  return walked == 0 && !shared;
}

// Points the record at `count` bytes at `address`, with one write, and
// flushes it to the disk.
int WriteRecord(Directory& directory, const ArchiveEntry& target, uint64_t address, uint64_t count) {
  uint8_t fields[16];
  for (int i = 0; i < 8; ++i) {
    fields[i] = static_cast<uint8_t>(count >> (8 * i));
    fields[8 + i] = static_cast<uint8_t>(address >> (8 * i));
  }
  Cfile& archive = directory.archive;
  const auto position = static_cast<int64_t>(directory.location.blockPosition + target.sizeFieldOffset);
  if (archive.WriteAt(position, fields, sizeof fields) && platform::SyncFile(archive.handle)) return 0;
  messages::WriteFailed(archive.path);
  return -1;
}

// The writes of a replacement, in the order that keeps the archive whole:
// the new bytes behind the archive's end, then the record pointing at them.
// When they fit in the stored file's place, they are then copied there
// (where nothing points any more), the record is pointed back, and the copy
// at the end is cut off again.
int WriteReplacement(Directory& directory, const ArchiveEntry& target, Cfile& replacement, bool inPlace,
                     uint8_t* block) {
  Cfile& archive = directory.archive;
  const int64_t end = archive.fileSize;
  const int64_t count = replacement.fileSize;
  const auto written = [&archive](int result) {
    if (result == 0 && !platform::SyncFile(archive.handle)) {
      messages::WriteFailed(archive.path);
      return -1;
    }
    return result;
  };
  if (written(WriteScrambled(replacement, archive, end, count, block)) != 0 ||
      WriteRecord(directory, target, static_cast<uint64_t>(end), static_cast<uint64_t>(count)) != 0) {
    platform::ResizeFile(archive.handle, end);
    return -1;
  }
  if (!inPlace) return 0;
  if (written(WriteScrambled(replacement, archive, static_cast<int64_t>(target.address), count, block)) !=
          0 ||
      WriteRecord(directory, target, target.address, static_cast<uint64_t>(count)) != 0) {
    return -1;
  }
  platform::ResizeFile(archive.handle, end);
  return 0;
}

int Replace(const std::string& archivePath, const std::string& printedName, const Matcher& matches,
            const std::string& file) {
  // Held for writing from the walk to the last write: nobody changes the
  // directory in between.
  Directory directory;
  ArchiveEntry target;
  if (LoadDirectory(archivePath, &directory, platform::Access::kReadWrite) != 0 ||
      FindOne(directory, printedName, matches, &target) != 0) {
    return -1;
  }
  Cfile replacement;
  if (replacement.Open(file, platform::Access::kRead) != 0 || !platform::IsRegularFile(replacement.handle)) {
    messages::OpenFailed(file);
    return -1;
  }
  const auto count = static_cast<uint64_t>(replacement.fileSize);
  const bool inPlace = FitsInPlace(directory, target, count);
  Cfile& archive = directory.archive;
  messages::ReplaceHead(inPlace ? static_cast<int64_t>(target.address) : archive.fileSize, file,
                        static_cast<int64_t>(target.size), replacement.fileSize);
  Cbuffer block;
  if (block.Allocate(kChunkSize) == nullptr) {
    messages::MemoryFailed(kChunkSize);
    return -1;
  }
  if (!platform::ReserveSpace(archive.handle, archive.fileSize, replacement.fileSize)) {
    messages::WriteFailed(archivePath);
    return -1;
  }
  platform::CatchInterrupts();
  const int result = WriteReplacement(directory, target, replacement, inPlace, block.data);
  platform::EndIfInterrupted();
  return result;
}

}  // namespace

int MergeAt(const std::string& mergeFile, const std::string& archivePath, int64_t address,
            int64_t expectedSize) {
  if (address < 0) {
    messages::BadAddress(address);
    return -1;
  }
  Cfile archive;
  if (archive.Open(archivePath, platform::Access::kReadWrite) != 0) {
    messages::OpenFailed(archivePath);
    return -1;
  }
  if (RefuseCut(archive) != 0) return -1;
  Cfile replacement;
  // A pipe or a device has no size to merge; it would merge nothing.
  if (replacement.Open(mergeFile, platform::Access::kRead) != 0 ||
      !platform::IsRegularFile(replacement.handle)) {
    messages::OpenFailed(mergeFile);
    return -1;
  }
  if (expectedSize >= 0 && replacement.fileSize != expectedSize) {
    messages::SizeDiffers(expectedSize, replacement.fileSize);
    return -1;
  }
  messages::MergeHead(address, mergeFile);
  const int64_t count = replacement.fileSize;
  // A replacement shorter than the check compares the bytes it has; fewer
  // archive bytes than that at the address is a mismatch.
  const auto checked = static_cast<size_t>(std::min<int64_t>(count, kCheckedBytes));
  uint8_t head[kCheckedBytes] = {};
  uint8_t sample[kCheckedBytes] = {};
  if (replacement.ReadAt(0, head, checked) != static_cast<int64_t>(checked)) {
    messages::ReadFailed(mergeFile);
    return -1;
  }
  bool same = archive.ReadAt(address, sample, checked) == static_cast<int64_t>(checked);
  for (size_t i = 0; same && i < checked; ++i) same = head[i] == (sample[i] ^ DataKey);
  if (!same) {
    messages::FirstBytesDiffer(kCheckedBytes);
    return -1;
  }
  Cbuffer block;
  if (block.Allocate(kChunkSize) == nullptr) {
    messages::MemoryFailed(kChunkSize);
    return -1;
  }
  // A full disk refuses here, not half-way through the stored file.
  if (!platform::ReserveSpace(archive.handle, address, count)) {
    messages::WriteFailed(archivePath);
    return -1;
  }
  platform::CatchInterrupts();
  int result = WriteScrambled(replacement, archive, address, count, block.data);
  if (result == 0 && !archive.Close()) {
    messages::WriteFailed(archivePath);
    result = -1;
  }
  platform::EndIfInterrupted();
  return result;
}

int MergeByFile(const std::string& archivePath, const std::string& mergeFile) {
  std::string searchName;
  const Matcher matches = ByFileName(mergeFile, &searchName);
  return Resolve(archivePath, searchName, matches, mergeFile);
}

int MergeByName(const std::string& archivePath, const std::string& mergeName, const std::string& mergeFile) {
  return Resolve(archivePath, mergeName, ByName(mergeName), mergeFile);
}

int ReplaceByFile(const std::string& archivePath, const std::string& file) {
  std::string searchName;
  const Matcher matches = ByFileName(file, &searchName);
  return Replace(archivePath, searchName, matches, file);
}

int ReplaceByName(const std::string& archivePath, const std::string& storedName, const std::string& file) {
  return Replace(archivePath, storedName, ByName(storedName), file);
}

}  // namespace kel
