// Merging and replacing. A merge overwrites a stored file's bytes in place
// with a replacement of the same size, once its first plain bytes match the
// stored ones. A replacement (-r) may have any size: its bytes go where
// nothing is claimed, then the record's size and address are switched.
//
// Both hold the archive for writing from the directory walk to the last
// write, check everything before the first byte is written, and change
// claimed bytes (the merged range, the record) only through the journal, so
// that whatever stops them leaves the old archive or the new one. An
// interrupt cancels the change while its bytes are being written; the
// switch itself is short and is finished first. The replacement is copied
// in chunks, so memory does not grow with it.
#include "merge.h"

#include <algorithm>
#include <functional>
#include <vector>

#include "archive.h"
#include "journal.h"
#include "messages.h"
#include "support.h"

namespace kel {
namespace {

constexpr int kCheckedBytes = 4;
constexpr int64_t kChunkSize = 1 << 20;
constexpr int64_t kRecordFieldsSize = 16;

using Matcher = std::function<bool(const ArchiveEntry&)>;

// A block for copying `count` bytes: no larger than the work.
bool AllocateFor(Cbuffer& block, int64_t count) {
  if (block.Allocate(static_cast<size_t>(std::clamp<int64_t>(count, 64, kChunkSize))) != nullptr) return true;
  messages::MemoryFailed(kChunkSize);
  return false;
}

// Writes the replacement's `count` bytes, scrambled, into the archive from
// `position` on. 0, or -1 after its message; an interrupt stops it.
int WriteScrambled(Cfile& replacement, Cfile& archive, int64_t position, int64_t count, Cbuffer& block) {
  for (int64_t done = 0; done < count;) {
    if (platform::CaughtInterrupt() != 0) {
      messages::Interrupted(archive.path);
      return -1;
    }
    const auto chunk =
        static_cast<size_t>(std::min<int64_t>(count - done, static_cast<int64_t>(block.length)));
    if (replacement.ReadAt(done, block.data, chunk) != static_cast<int64_t>(chunk)) {
      messages::ReadFailed(replacement.path);
      return -1;
    }
    ApplyDataKey(block.data, chunk);
    if (!archive.WriteAt(position + done, block.data, chunk)) {
      messages::WriteFailed(archive.path);
      return -1;
    }
    done += static_cast<int64_t>(chunk);
  }
  return 0;
}

// One walk of the directory: the one stored file that `matches` (when
// there is a matcher), the space that everything claims, and the refusal
// of a cut archive. 0, or -1 after its message.
int Survey(Directory& directory, const std::string& printedName, const Matcher& matches, ArchiveEntry* found,
           ClaimedSpace* space) {
  int matched = 0;
  uint64_t dataEnd = 0;
  const int walked = WalkDirectory(directory, [&](const ArchiveEntry& entry) {
    dataEnd = std::max(dataEnd, DataEnd(entry));
    space->Claim(entry.address, entry.size);
    if (matches && matches(entry) && ++matched == 1) *found = entry;
    return true;
  });
  if (walked != 0 || ReportCut(directory, dataEnd) != 0) return -1;
  space->Claim(0, kFrontHeaderSize);
  space->Claim(directory.location.blockPosition, directory.location.blockLength);
  if (!matches || matched == 1) return 0;
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

std::string WithBackslashes(std::string name) {
  std::replace(name.begin(), name.end(), '/', '\\');
  return name;
}

// A bare name compares as ByFileName does; a name with a folder part (either
// separator) must stand in the stored path, case-sensitive.
Matcher ByName(const std::string& mergeName) {
  const std::string name = WithBackslashes(mergeName);
  const bool hasFolderPart = platform::FindCharacter(name, '\\') != std::string::npos;
  return [name, hasFolderPart](const ArchiveEntry& entry) {
    return hasFolderPart ? entry.path.find(name) != std::string::npos
                         : platform::EqualIgnoringCase(LastPathComponent(entry.path), name);
  };
}

// Whole path components at the end of the stored path, ignoring the case of
// A-Z: with no first-bytes check to catch a slip, a fragment names nothing.
Matcher ByLastComponents(const std::string& storedName) {
  return [name = WithBackslashes(storedName)](const ArchiveEntry& entry) {
    if (entry.path.size() < name.size()) return false;
    const size_t start = entry.path.size() - name.size();
    const bool boundary =
        start == 0 || platform::FindLastCharacter(entry.path.substr(0, start), '\\') == start - 1;
    return boundary && platform::EqualIgnoringCase(entry.path.substr(start), name);
  };
}

// Opens the replacement: a pipe or a device has no size to write.
int OpenReplacement(const std::string& file, Cfile& replacement) {
  if (replacement.Open(file, platform::Access::kRead) != 0 || !platform::IsRegularFile(replacement.handle)) {
    messages::OpenFailed(file);
    return -1;
  }
  return 0;
}

// The change of a merge: the range from `address` saved in the journal,
// then overwritten; where it runs past the archive's end, the archive grows.
int WriteMerge(Cfile& archive, Cfile& replacement, int64_t address, Cbuffer& block) {
  const int64_t count = replacement.fileSize;
  const int64_t oldLength = archive.fileSize;
  const int64_t newLength = std::max(oldLength, address + count);
  const std::vector<ByteRange> saved = {{address, std::min(count, oldLength - address)}};
  if (count == 0) return 0;
  // A full disk refuses here, not half-way through the stored file.
  if (!platform::ReserveSpace(archive.handle, oldLength, newLength - oldLength) ||
      !platform::ReserveSpace(archive.handle, newLength, Journal::SizeFor(saved))) {
    platform::ResizeFile(archive.handle, oldLength);
    messages::WriteFailed(archive.path);
    return -1;
  }
  Journal journal(archive, newLength, oldLength);
  if (journal.Protect(saved, block) != 0) return -1;
  if (WriteScrambled(replacement, archive, address, count, block) != 0) {
    journal.RollBack();
    return -1;
  }
  return journal.Commit(newLength);
}

int MergeOpen(Directory& directory, const std::string& mergeFile, int64_t address, int64_t expectedSize) {
  Cfile& archive = directory.archive;
  Cfile replacement;
  if (OpenReplacement(mergeFile, replacement) != 0) return -1;
  if (expectedSize >= 0 && replacement.fileSize != expectedSize) {
    messages::SizeDiffers(expectedSize, replacement.fileSize);
    return -1;
  }
  messages::MergeHead(address, mergeFile);
  const int64_t count = replacement.fileSize;
  // A replacement shorter than the check compares the bytes it has. Fewer
  // archive bytes than that at the address is no match but a range past
  // the archive's end, and so is any address behind it.
  const auto checked = static_cast<size_t>(std::min<int64_t>(count, kCheckedBytes));
  if (address > archive.fileSize || static_cast<int64_t>(checked) > archive.fileSize - address) {
    messages::AddressPastEnd(address);
    return -1;
  }
  uint8_t head[kCheckedBytes] = {};
  uint8_t sample[kCheckedBytes] = {};
  if (replacement.ReadAt(0, head, checked) != static_cast<int64_t>(checked)) {
    messages::ReadFailed(mergeFile);
    return -1;
  }
  if (archive.ReadAt(address, sample, checked) != static_cast<int64_t>(checked)) {
    messages::ReadFailed(archive.path);
    return -1;
  }
  if (!std::equal(head, head + checked, sample,
                  [](uint8_t plain, uint8_t stored) { return plain == (stored ^ DataKey); })) {
    messages::FirstBytesDiffer(kCheckedBytes);
    return -1;
  }
  Cbuffer block;
  if (!AllocateFor(block, count)) return -1;
  platform::CatchInterrupts();
  const int result = WriteMerge(archive, replacement, address, block);
  platform::EndIfInterrupted();
  return result;
}

int Resolve(const std::string& archivePath, const std::string& printedName, const Matcher& matches,
            const std::string& mergeFile) {
  // Held for writing from the walk to the last write: nobody moves the
  // stored file in between.
  Directory directory;
  ClaimedSpace space;
  ArchiveEntry found;
  if (LoadDirectory(archivePath, &directory, platform::Access::kReadWrite) != 0 ||
      Survey(directory, printedName, matches, &found, &space) != 0) {
    return -1;
  }
  int64_t fileSize = 0;
  if (!platform::FindFile(mergeFile, &fileSize)) {
    messages::FileNotFound(mergeFile);
    return -1;
  }
  if (static_cast<uint64_t>(fileSize) != found.size) {
    messages::SizeDiffers(static_cast<int64_t>(found.size), fileSize);
    return -1;
  }
  return MergeOpen(directory, mergeFile, static_cast<int64_t>(found.address), fileSize);
}

// The change of a replacement: the new bytes where nothing is claimed, then
// the record switched to them through the journal, then the archive cut
// back to the end of what is claimed.
int WriteReplacement(Directory& directory, const ArchiveEntry& target, Cfile& replacement, int64_t position,
                     int64_t length, Cbuffer& block) {
  Cfile& archive = directory.archive;
  const int64_t count = replacement.fileSize;
  const int64_t oldLength = archive.fileSize;
  const auto record = static_cast<int64_t>(directory.location.blockPosition + target.sizeFieldOffset);
  const std::vector<ByteRange> saved = {{record, kRecordFieldsSize}};
  const int64_t journalStart = std::max(oldLength, position + count);
  if (!platform::ReserveSpace(archive.handle, position, count) ||
      !platform::ReserveSpace(archive.handle, journalStart, Journal::SizeFor(saved))) {
    platform::ResizeFile(archive.handle, oldLength);
    messages::WriteFailed(archive.path);
    return -1;
  }
  // Until the record switches, nothing claims these bytes: a stop leaves
  // them unclaimed, and a failure or an interrupt cuts them off.
  if (WriteScrambled(replacement, archive, position, count, block) != 0) {
    platform::ResizeFile(archive.handle, oldLength);
    return -1;
  }
  Journal journal(archive, journalStart, oldLength);
  if (journal.Protect(saved, block) != 0) return -1;
  uint8_t fields[kRecordFieldsSize];
  for (int i = 0; i < 8; ++i) {
    fields[i] = static_cast<uint8_t>(static_cast<uint64_t>(count) >> (8 * i));
    fields[8 + i] = static_cast<uint8_t>(static_cast<uint64_t>(position) >> (8 * i));
  }
  if (!archive.WriteAt(record, fields, sizeof fields)) {
    messages::WriteFailed(archive.path);
    journal.RollBack();
    return -1;
  }
  return journal.Commit(length);
}

int Replace(const std::string& archivePath, const std::string& printedName, const Matcher& matches,
            const std::string& file) {
  Directory directory;
  ClaimedSpace space;
  ArchiveEntry target;
  Cfile replacement;
  if (LoadDirectory(archivePath, &directory, platform::Access::kReadWrite) != 0 ||
      Survey(directory, printedName, matches, &target, &space) != 0 ||
      OpenReplacement(file, replacement) != 0) {
    return -1;
  }
  const auto count = static_cast<uint64_t>(replacement.fileSize);
  const uint64_t position = space.Place(count);
  const uint64_t length = space.EndWithout({{target.address, DataEnd(target)}});
  messages::ReplaceHead(static_cast<int64_t>(position), file, static_cast<int64_t>(target.size),
                        replacement.fileSize, target.path);
  Cbuffer block;
  if (!AllocateFor(block, replacement.fileSize)) return -1;
  platform::CatchInterrupts();
  const int result = WriteReplacement(directory, target, replacement, static_cast<int64_t>(position),
                                      static_cast<int64_t>(length), block);
  platform::EndIfInterrupted();
  return result;
}

}  // namespace

int MergeAt(const std::string& mergeFile, const std::string& archivePath, int64_t address) {
  if (address < 0) {
    messages::BadAddress(address);
    return -1;
  }
  // Any file may be patched at an address; a kel archive is first checked
  // whole, with the lock held to the last write.
  Directory directory;
  ClaimedSpace space;
  if (OpenArchive(archivePath, platform::Access::kReadWrite, directory.archive) != 0 ||
      (IsKelFile(directory.archive) &&
       (FindDirectory(&directory) != 0 || Survey(directory, "", nullptr, nullptr, &space) != 0))) {
    return -1;
  }
  return MergeOpen(directory, mergeFile, address, -1);
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
  return Replace(archivePath, storedName, ByLastComponents(storedName), file);
}

}  // namespace kel
