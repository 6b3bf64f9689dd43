// Merging. The first-bytes check compares plain bytes: the replacement's
// own, and the archive's XORed with DataKey. Every check, and securing the
// disk space, comes before the first byte is written, and signals wait for
// the last one: a merge is all or nothing. The replacement is copied in
// fixed chunks, so memory does not grow with it.
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

// Copies the replacement's `count` bytes, scrambled, over the archive's from
// `address` on, and closes the archive. 0, or -1 after its message.
int CopyScrambled(Cfile& replacement, Cfile& archive, int64_t address, int64_t count, uint8_t* block) {
  const std::string archivePath = archive.path;
  for (int64_t done = 0; done < count; done += static_cast<int64_t>(kChunkSize)) {
    const auto chunk = static_cast<size_t>(std::min<int64_t>(count - done, kChunkSize));
    if (replacement.ReadAt(done, block, chunk) != static_cast<int64_t>(chunk)) {
      messages::ReadFailed(replacement.path);
      return -1;
    }
    ApplyDataKey(block, chunk);
    if (!archive.WriteAt(address + done, block, chunk)) {
      messages::WriteFailed(archivePath);
      return -1;
    }
  }
  if (archive.Close()) return 0;
  messages::WriteFailed(archivePath);
  return -1;
}

int Resolve(const std::string& archivePath, const std::string& printedName,
            const std::function<bool(const ArchiveEntry&)>& matches,
            const std::string& mergeFile) {
  ArchiveEntry found;
  {
    Directory directory;
    if (LoadDirectory(archivePath, &directory) != 0 || ReportCut(directory) != 0) return -1;
    int matched = 0;
    const int walked = WalkDirectory(directory, [&](const ArchiveEntry& entry) {
      if (!matches(entry)) return true;
      if (++matched == 1) found = entry;
      return matched == 1;  // a second match ends the search
    });
    if (walked != 0) return -1;
    if (matched != 1) {
      matched == 0 ? messages::NotInArchive(printedName) : messages::SeveralInArchive(printedName);
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

}  // namespace

int MergeAt(const std::string& mergeFile, const std::string& archivePath, int64_t address,
            int64_t expectedSize) {
  if (address < 0) {
    messages::BadAddress(address);
    return -1;
  }
  Cbuffer block;
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
  const int result = CopyScrambled(replacement, archive, address, count, block.data);
  platform::EndIfInterrupted();
  return result;
}

int MergeByFile(const std::string& archivePath, const std::string& mergeFile) {
  size_t last = FindLastSeparator(mergeFile);
  std::string searchName = last == std::string::npos ? mergeFile : mergeFile.substr(last + 1);
  return Resolve(
      archivePath, searchName,
      [&searchName](const ArchiveEntry& entry) {
        return platform::EqualIgnoringCase(LastPathComponent(entry.path), searchName);
      },
      mergeFile);
}

int MergeByName(const std::string& archivePath, const std::string& mergeName,
                const std::string& mergeFile) {
  std::string name = mergeName;
  std::replace(name.begin(), name.end(), '/', '\\');
  bool hasFolderPart = platform::FindCharacter(name, '\\') != std::string::npos;
  return Resolve(
      archivePath, mergeName,
      [&name, hasFolderPart](const ArchiveEntry& entry) {
        return hasFolderPart ? entry.path.find(name) != std::string::npos
                             : platform::EqualIgnoringCase(LastPathComponent(entry.path), name);
      },
      mergeFile);
}

}  // namespace kel
