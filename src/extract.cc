// Listing and extraction. Stored data are the plain bytes XORed with
// DataKey; the copy moves them through one fixed block for the whole run,
// so memory grows neither with the sizes of what is copied nor with the
// number of stored files, which the directory walk hands over one by one.
#include "extract.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "archive.h"
#include "journal.h"
#include "messages.h"

namespace kel {
namespace {

constexpr int64_t kBlockSize = 1 << 20;
constexpr int64_t kMinBlockSize = 1 << 12;
constexpr int64_t kMarkEvery = 1 << 20;  // one progress mark per started MiB

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

int ExtractOpenRange(Cfile& archive, int64_t address, int64_t size, const std::string& destFile,
                     platform::Access access) {
  messages::ExtractRangeHead(address, size, destFile);
  return RangeCopier(archive).CopyRange(destFile, address, size, "", access);
}

int ExtractFound(Cfile& archive, const std::string& destDir, int64_t address, const ArchiveEntry* found) {
  if (found == nullptr) {
    messages::NotStartAddress(address);
    return -1;
  }
  std::string name = LastPathComponent(found->path);
  // A bare name may still hold a slash: its folder must lie inside destDir.
  const size_t folderEnd = FindLastSeparator(name);
  if (!IsSafeEntryPath(name) || (folderEnd != std::string::npos &&
                                 platform::LeadsOutside(destDir + name.substr(0, folderEnd), destDir))) {
    messages::UnsafePath(name);
    return -1;
  }
  if (!StoredSizeFits(*found)) return -1;
  return ExtractOpenRange(archive, address, static_cast<int64_t>(found->size), destDir + name,
                          platform::Access::kWriteEntry);
}

// One stored file of extract-all: its line, its folders, its bytes.
int ExtractEntry(const ArchiveEntry& entry, const std::string& destDir, OutputFolders& folders,
                 RangeCopier& copier) {
  std::string outputName = destDir + entry.path;
  const bool safe = IsSafeEntryPath(entry.path);
  // A stored size that cannot be copied makes no folders.
  const auto made = safe && entry.size <= static_cast<uint64_t>(INT64_MAX) ? folders.CreateFolders(outputName)
                                                                           : OutputFolders::kReady;
  if (!safe || made == OutputFolders::kOutside) {
    messages::UnsafePath(entry.path);
    return -1;
  }
  messages::ExtractEntryHead(entry.path, entry.size);
  int result = 0;
  if (!StoredSizeFits(entry)) {
    result = -1;
  } else if (made == OutputFolders::kMissingParent) {
    messages::OpenFailed(outputName);
    result = -1;
  } else {
    result = copier.CopyRange(outputName, static_cast<int64_t>(entry.address),
                              static_cast<int64_t>(entry.size), ".", platform::Access::kWriteEntry);
  }
  messages::Print("\n");
  return result;
}

}  // namespace

int ListEntries(const std::string& archivePath) {
  Directory directory;
  if (LoadDirectory(archivePath, &directory) != 0) return -1;
  messages::ListingHead();
  uint32_t count = 0;
  uint64_t total = 0;
  uint64_t dataEnd = 0;
  const int walked = WalkDirectory(directory, [&](const ArchiveEntry& entry) {
    messages::ListingLine(entry.address, entry.size, entry.path);
    ++count;
    total += entry.size;
    dataEnd = std::max(dataEnd, DataEnd(entry));
    return true;
  });
  messages::ListingTotal(count, total);
  return walked != 0 ? -1 : ReportCut(directory, dataEnd);
}

int RangeCopier::CopyRange(const std::string& destFile, int64_t address, int64_t size,
                           const std::string& progressMark, platform::Access access) {
  if (!RangeIsValid(archive_, address, size)) return -1;
  // An archive file smaller than the block needs no more than its length (a
  // device or a pipe, which has none, gets the whole block).
  const int64_t blockSize =
      archive_.fileSize > 0 ? std::clamp<int64_t>(archive_.fileSize, kMinBlockSize, kBlockSize) : kBlockSize;
  if (block_.data == nullptr && block_.Allocate(static_cast<size_t>(blockSize)) == nullptr) return -1;
  const auto blockLength = static_cast<int64_t>(block_.length);
  Cfile output;
  if (output.Open(destFile, access) != 0) {
    messages::OpenFailed(destFile);
    return -1;
  }
  if (size == -1) size = archive_.fileSize - address;
  int64_t marks = 0;
  auto markUpTo = [&marks, &progressMark](int64_t count) {
    for (; marks < count; ++marks) messages::Progress(progressMark);
  };
  for (int64_t done = 0; done < size;) {
    // An interrupted copy leaves no half-written file under its name.
    if (platform::CaughtInterrupt() != 0) {
      const bool regular = platform::IsRegularFile(output.handle);
      output.Close();
      if (regular) platform::RemoveFile(destFile);
      messages::Interrupted(destFile);
      platform::EndIfInterrupted();
    }
    const int64_t position = address + done;
    if (position < windowStart_ || position >= windowEnd_) {
      // A position so far out that it cannot be read at is past the end.
      const int64_t got = position > INT64_MAX - blockLength
                              ? 0
                              : archive_.ReadAt(position, block_.data, static_cast<size_t>(blockLength));
      if (got < 0) {
        windowEnd_ = windowStart_;
        messages::ReadFailed(archive_.path);
        return -1;
      }
      ApplyDataKey(block_.data, static_cast<size_t>(got));
      windowStart_ = position;
      windowEnd_ = position + got;
      if (got == 0) {
        // The mark of the MiB that found no bytes comes before the message.
        markUpTo(done / kMarkEvery + 1);
        messages::RangePastEnd(size - done);
        return -1;
      }
    }
    const int64_t count = std::min(windowEnd_ - position, size - done);
    if (!output.Write(block_.data + (position - windowStart_), static_cast<size_t>(count))) {
      messages::WriteFailed(destFile);
      return -1;
    }
    done += count;
    markUpTo((done + kMarkEvery - 1) / kMarkEvery);
  }
  if (!output.Close()) {
    messages::WriteFailed(destFile);
    return -1;
  }
  return 0;
}

int ExtractRange(const std::string& archivePath, int64_t address, int64_t size, const std::string& destFile) {
  platform::CatchInterrupts();
  Cfile archive;
  if (OpenArchive(archivePath, platform::Access::kRead, archive) != 0) return -1;
  return ExtractOpenRange(archive, address, size, destFile, platform::Access::kWriteNew);
}

int ExtractAll(const std::string& archivePath, const std::string& destDir) {
  Directory directory;
  if (LoadDirectory(archivePath, &directory) != 0) return -1;
  messages::ExtractAllHead(destDir);
  platform::CatchInterrupts();
  int result = 0;
  OutputFolders folders(destDir);
  RangeCopier copier(directory.archive);
  const int walked = WalkDirectory(directory, [&](const ArchiveEntry& entry) {
    platform::EndIfInterrupted();
    if (ExtractEntry(entry, destDir, folders, copier) != 0) result = -1;
    return true;
  });
  if (walked != 0 || ReportCut(directory) != 0) return -1;
  return result;
}

int ExtractByAddress(const std::string& archivePath, const std::string& destDir, int64_t address) {
  platform::CatchInterrupts();
  Directory directory;
  if (LoadDirectory(archivePath, &directory) != 0) return -1;
  // An empty stored file has the address of the one after it: the first
  // stored file there that holds bytes is the one meant, else the first.
  std::optional<ArchiveEntry> found;
  const int walked = WalkDirectory(directory, [&found, address](const ArchiveEntry& entry) {
    if (entry.address != static_cast<uint64_t>(address)) return true;
    if (!found || (found->size == 0 && entry.size != 0)) found = entry;
    return found->size == 0;
  });
  if (walked != 0) return -1;
  const int result = ExtractFound(directory.archive, destDir, address, found ? &*found : nullptr);
  return ReportCut(directory) != 0 ? -1 : result;
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
