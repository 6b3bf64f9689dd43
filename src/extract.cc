// Listing and extraction. Stored data are the plain bytes XORed with
// DataKey; the copy moves them in 1 MiB chunks through one fixed block, so
// memory does not grow with the size of what is copied.
#include "extract.h"

#include <algorithm>
#include <cstdint>

#include "archive.h"
#include "messages.h"

namespace kel {
namespace {

constexpr size_t kChunkSize = 1 << 20;

// Refuses what cannot be copied before any output exists.
bool RangeIsValid(const Cfile& archiveFile, int64_t address, int64_t size) {
  if (address < 0) {
    messages::BadAddress(address);
    return false;
  }
  if (size < -1) {
    messages::BadSize(size);
    return false;
  }
  if (size == -1 && address > archiveFile.fileSize) {
    messages::AddressPastEnd(address);
    return false;
  }
  return true;
}

// A stored size beyond the signed range is damage, and must not be taken
// for the -1 that means "to the archive's end".
bool StoredSizeFits(const ArchiveEntry& entry) {
  if (entry.size <= static_cast<uint64_t>(INT64_MAX)) return true;
  messages::BadSize(static_cast<int64_t>(entry.size));
  return false;
}

int ExtractFound(const std::string& archivePath, const std::string& destDir, int64_t address,
                 const ArchiveEntry* found) {
  if (found == nullptr) {
    messages::NotStartAddress(address);
    return -1;
  }
  std::string name = LastPathComponent(found->path);
  // A bare name may still hold a slash: its folder must lie inside destDir.
  const size_t folderEnd = FindLastSeparator(name);
  if (!IsSafeEntryPath(name) ||
      (folderEnd != std::string::npos && platform::LeadsOutside(destDir + name.substr(0, folderEnd), destDir))) {
    messages::UnsafePath(name);
    return -1;
  }
  if (!StoredSizeFits(*found)) return -1;
  return ExtractRange(archivePath, address, static_cast<int64_t>(found->size), destDir + name,
                      platform::Access::kWriteEntry);
}

}  // namespace

int ListEntries() {
  messages::ListingHead();
  uint64_t total = 0;
  for (uint32_t index = 0; index < EntryCount(); ++index) {
    const ArchiveEntry& entry = EntryAt(index);
    if (entry.folderFlag != 0) continue;
    messages::ListingLine(entry.address, entry.size, entry.path);
    total += entry.size;
  }
  messages::ListingTotal(EntryCount(), total);
  return ReportCut();
}

int CopyRange(Cfile& archiveFile, const std::string& destFile, int64_t address, int64_t size,
              const std::string& progressMark, platform::Access access) {
  if (!RangeIsValid(archiveFile, address, size)) return -1;
  Cbuffer block;
  if (block.Allocate(kChunkSize) == nullptr) return -1;
  Cfile output;
  if (output.Open(destFile, access) != 0) {
    messages::OpenFailed(destFile);
    return -1;
  }
  if (size == -1) size = archiveFile.fileSize - address;
  int64_t position = address;
  int64_t remaining = size;
  while (remaining > 0) {
    // An interrupted copy leaves no half-written file under its name.
    if (platform::CaughtInterrupt() != 0) {
      const bool regular = platform::IsRegularFile(output.handle);
      output.Close();
      if (regular) platform::RemoveFile(destFile);
      messages::Interrupted(destFile);
      platform::EndIfInterrupted();
    }
    auto wanted = static_cast<size_t>(std::min<int64_t>(remaining, kChunkSize));
    // A position so far out that it cannot be read at is past the end.
    int64_t got = position > INT64_MAX - static_cast<int64_t>(wanted)
                      ? 0
                      : archiveFile.ReadAt(position, block.data, wanted);
    if (got < 0) {
      messages::ReadFailed(archiveFile.path);
      return -1;
    }
    ApplyDataKey(block.data, static_cast<size_t>(got));
    if (!output.Write(block.data, static_cast<size_t>(got))) {
      messages::WriteFailed(destFile);
      return -1;
    }
    messages::Progress(progressMark);
    position += got;
    remaining -= got;
    if (static_cast<size_t>(got) < wanted) {
      messages::RangePastEnd(remaining);
      return -1;
    }
  }
  if (!output.Close()) {
    messages::WriteFailed(destFile);
    return -1;
  }
  return 0;
}

int ExtractRange(const std::string& archivePath, int64_t address, int64_t size,
                 const std::string& destFile, platform::Access access) {
  platform::CatchInterrupts();
  Cfile archive;
  if (archive.Open(archivePath, platform::Access::kRead) != 0) {
    messages::OpenFailed(archivePath);
    return -1;
  }
  messages::ExtractRangeHead(address, size, destFile);
  return CopyRange(archive, destFile, address, size, "", access);
}

int ExtractAll(const std::string& archivePath, const std::string& destDir) {
  if (LoadDirectory(archivePath) != 0) return -1;
  Cfile archive;
  if (archive.Open(archivePath, platform::Access::kRead) != 0) {
    messages::OpenFailed(archivePath);
    return -1;
  }
  messages::ExtractAllHead(destDir);
  platform::CatchInterrupts();
  int result = 0;
  OutputFolders folders(destDir);
  for (uint32_t index = 0; index < EntryCount(); ++index) {
    platform::EndIfInterrupted();
    const ArchiveEntry& entry = EntryAt(index);
    if (entry.folderFlag != 0) continue;
    std::string outputName = destDir + entry.path;
    const bool safe = IsSafeEntryPath(entry.path);
    // A stored size that cannot be copied makes no folders.
    const auto made = safe && entry.size <= static_cast<uint64_t>(INT64_MAX)
                          ? folders.CreateFolders(outputName)
                          : OutputFolders::kReady;
    if (!safe || made == OutputFolders::kOutside) {
      messages::UnsafePath(entry.path);
      result = -1;
      continue;
    }
    messages::ExtractEntryHead(entry.path, entry.size);
    if (!StoredSizeFits(entry)) {
      result = -1;
    } else if (made == OutputFolders::kMissingParent) {
      messages::OpenFailed(outputName);
      result = -1;
    } else if (CopyRange(archive, outputName, static_cast<int64_t>(entry.address),
                         static_cast<int64_t>(entry.size), ".", platform::Access::kWriteEntry) != 0) {
      result = -1;
    }
    messages::Print("\n");
  }
  return ReportCut() != 0 ? -1 : result;
}

int ExtractByAddress(const std::string& archivePath, const std::string& destDir, int64_t address) {
  if (LoadDirectory(archivePath) != 0) return -1;
  // An empty stored file has the address of the one after it: the first
  // stored file there that holds bytes is the one meant, else the first.
  const ArchiveEntry* found = nullptr;
  for (uint32_t index = 0; index < EntryCount(); ++index) {
    const ArchiveEntry& entry = EntryAt(index);
    if (entry.folderFlag != 0 || entry.address != static_cast<uint64_t>(address)) continue;
    if (found == nullptr || (found->size == 0 && entry.size != 0)) found = &entry;
    if (found->size != 0) break;
  }
  int result = ExtractFound(archivePath, destDir, address, found);
  return ReportCut() != 0 ? -1 : result;
}

bool IsSafeEntryPath(const std::string& path) {
  if (!path.empty() && (path[0] == '\\' || path[0] == '/')) return false;
  if (path.size() >= 2 && path[1] == ':' &&
      ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'))) {
    return false;
  }
  size_t start = 0;
  while (true) {
    size_t end = FindSeparator(path, start);
    if (path.compare(start, end == std::string::npos ? std::string::npos : end - start, "..") == 0) {
      return false;
    }
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

}  // namespace kel
