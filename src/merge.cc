// Merging. The first-bytes check compares plain bytes: the replacement's
// own, and the archive's XORed with DataKey. The replacement is read whole
// before anything is written, so a refusal never leaves a partial merge.
#include "merge.h"

#include <algorithm>
#include <functional>

#include "archive.h"
#include "messages.h"
#include "support.h"

namespace kel {
namespace {

constexpr int kCheckedBytes = 4;
constexpr int64_t kLargestReplacement = (int64_t{1} << 31) - 1;

int Resolve(const std::string& archivePath, const std::string& printedName,
            const std::function<bool(const ArchiveEntry&)>& matches,
            const std::string& mergeFile) {
  if (LoadDirectory(archivePath) != 0 || ReportCut() != 0) return -1;
  const ArchiveEntry* found = nullptr;
  for (uint32_t index = 0; index < EntryCount(); ++index) {
    const ArchiveEntry& entry = EntryAt(index);
    if (entry.folderFlag != 0 || !matches(entry)) continue;
    if (found != nullptr) {
      messages::SeveralInArchive(printedName);
      return -1;
    }
    found = &entry;
  }
  if (found == nullptr) {
    messages::NotInArchive(printedName);
    return -1;
  }
  int64_t fileSize = 0;
  if (!platform::FindFile(mergeFile, &fileSize)) {
    messages::FileNotFound(mergeFile);
    return -1;
  }
  if (static_cast<uint64_t>(fileSize) != found->size) {
    messages::SizeDiffers(static_cast<int64_t>(found->size), fileSize);
    return -1;
  }
  return MergeAt(mergeFile, archivePath, static_cast<int64_t>(found->address), fileSize);
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
  if (replacement.fileSize > kLargestReplacement) {
    messages::ReplacementTooLarge(replacement.fileSize);
    return -1;
  }
  auto count = static_cast<size_t>(replacement.fileSize);
  if (block.Allocate(count) == nullptr) {
    messages::MemoryFailed(replacement.fileSize);
    return -1;
  }
  if (replacement.ReadAt(0, block.data, count) != static_cast<int64_t>(count)) {
    messages::ReadFailed(mergeFile);
    return -1;
  }
  // A replacement shorter than the check compares the bytes it has; fewer
  // archive bytes than that at the address is a mismatch.
  size_t checked = std::min<size_t>(count, kCheckedBytes);
  uint8_t sample[kCheckedBytes] = {};
  if (archive.ReadAt(address, sample, checked) != static_cast<int64_t>(checked)) {
    messages::FirstBytesDiffer(kCheckedBytes);
    return -1;
  }
  for (size_t i = 0; i < checked; ++i) {
    if (block.data[i] != (sample[i] ^ DataKey)) {
      messages::FirstBytesDiffer(kCheckedBytes);
      return -1;
    }
  }
  ApplyDataKey(block.data, count);
  if (!archive.WriteAt(address, block.data, count) || !archive.Close()) {
    messages::WriteFailed(archivePath);
    return -1;
  }
  return 0;
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
