// Listing and extraction. Stored data are the plain bytes XORed with
// DataKey; the copy moves them through one fixed block for the whole run,
// so memory grows neither with the sizes of what is copied nor with the
// number of stored files, which the directory walk hands over one by one.
#include "extract.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "archive.h"
#include "journal.h"
#include "messages.h"
#include "select.h"

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
// for the -1 that means "to the archive's end": no file holds such data.
bool StoredSizeFits(const ArchiveEntry& entry) {
  if (entry.size <= static_cast<uint64_t>(INT64_MAX)) return true;
  messages::StoredPastEnd(entry.path);
  return false;
}

int ExtractOpenRange(Cfile& archive, int64_t address, int64_t size, const std::string& destFile,
                     platform::Access access) {
  // Refused operands get no head line; size -1 shows the count it stands for.
  if (!RangeIsValid(archive, address, size)) return -1;
  messages::ExtractRangeHead(address, size == -1 ? archive.fileSize - address : size, destFile);
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

// Says why an output could not be made or written: in words of its own for
// the reasons the system tells, else with `otherwise`.
void ReportOutput(const std::string& path, platform::Failure failure, void (*otherwise)(const std::string&)) {
  switch (failure) {
    case platform::Failure::kMissingFolder:
      return messages::MissingFolder(path);
    case platform::Failure::kNameTooLong:
      return messages::NameTooLong(path);
    case platform::Failure::kNoSpace:
      return messages::NoSpace(path);
    case platform::Failure::kReadOnly:
      return messages::ReadOnly(path);
    case platform::Failure::kOther:
      break;
  }
  otherwise(path);
}

// The outputs written so far where the file system takes names that differ
// in case for one file (Windows): a second spelling must never overwrite
// the first. A slot holds the upper 37 bits of the folded name's hash and
// the index of its stored file in the walk, 8 bytes; the name itself is
// found by walking the directory again, which only a hit needs.
class WrittenNames {
 public:
  explicit WrittenNames(Directory& directory) : directory_(directory) {}

  /// The path of an earlier output whose name folds to `folded`, or "".
  std::string Find(const std::string& folded) const {
    if (slots_.empty()) return "";
    const uint64_t key = Key(folded);
    for (size_t at = Home(key); slots_[at] != 0; at = Next(at)) {
      if ((slots_[at] & ~kIndexMask) != key) continue;
      std::string path = PathAt(slots_[at] & kIndexMask);
      if (platform::FoldedName(path) == folded) return path;
    }
    return "";
  }

  void Add(const std::string& folded, uint64_t index) {
    if (index + 1 > kIndexMask) return;
    if ((used_ + 1) * 4 > slots_.size() * 3) Grow();
    Put(Key(folded) | (index + 1));
    ++used_;
  }

 private:
  // A directory block of 4 GiB holds fewer than 2^27 stored files.
  static constexpr int kIndexBits = 27;
  static constexpr uint64_t kIndexMask = (uint64_t{1} << kIndexBits) - 1;

  static uint64_t Key(const std::string& folded) { return std::hash<std::string>{}(folded) & ~kIndexMask; }
  size_t Home(uint64_t key) const { return static_cast<size_t>(key >> kIndexBits) & (slots_.size() - 1); }
  size_t Next(size_t at) const { return (at + 1) & (slots_.size() - 1); }
  void Put(uint64_t slot) {
    size_t at = Home(slot & ~kIndexMask);
    while (slots_[at] != 0) at = Next(at);
    slots_[at] = slot;
  }
  void Grow() {
    std::vector<uint64_t> old(std::max<size_t>(slots_.size() * 2, 1024), 0);
    old.swap(slots_);
    for (uint64_t slot : old) {
      if (slot != 0) Put(slot);
    }
  }
  // The path of the stored file `oneBased` in the walk.
  std::string PathAt(uint64_t oneBased) const {
    std::string path;
    uint64_t index = 0;
    WalkDirectory(directory_, [&](const ArchiveEntry& entry) {
      if (++index != oneBased) return true;
      path = entry.path;
      return false;
    });
    return path;
  }

  Directory& directory_;
  std::vector<uint64_t> slots_;
  size_t used_ = 0;
};

enum class Outcome { kWritten, kFailed, kStop };

// Extract-all: each stored file's line, its folders and its bytes, with
// what the run has made so far.
class Extraction {
 public:
  Extraction(Directory& directory, const std::string& destDir)
      : destDir_(destDir), folders_(destDir), copier_(directory.archive), written_(directory) {}

  /// `index`: the stored file's place in the walk.
  Outcome Extract(const ArchiveEntry& entry, uint64_t index) {
    if (!IsSafeEntryPath(entry.path)) {
      messages::UnsafePath(entry.path);
      return Outcome::kFailed;
    }
    const std::string folded = platform::FoldedName(entry.path);
    const std::string earlier = folded.empty() ? "" : written_.Find(folded);
    if (!earlier.empty() && earlier != entry.path) {
      messages::SameNameWritten(entry.path, earlier);
      return Outcome::kFailed;
    }
    std::string outputName = destDir_ + entry.path;
    const bool fits = entry.size <= static_cast<uint64_t>(INT64_MAX);
    // A stored size that cannot be copied makes no folders.
    const auto made = fits ? folders_.CreateFolders(outputName) : OutputFolders::kReady;
    if (made == OutputFolders::kOutside) {
      messages::UnsafePath(entry.path);
      return Outcome::kFailed;
    }
    if (made == OutputFolders::kFailed && FailsEveryOutput(folders_.Failure())) {
      ReportOutput(outputName, folders_.Failure(), messages::OpenFailed);
      return Outcome::kStop;
    }
    // A destination that is a file, or that could not be made, fails every
    // stored file alike: once said is enough.
    if (!destinationChecked_ && fits) {
      destinationChecked_ = true;
      if (!platform::IsFolder(destDir_)) {
        messages::CannotMakeDestination(destDir_);
        return Outcome::kStop;
      }
    }
    messages::ExtractEntryHead(entry.path, entry.size);
    Outcome outcome = Outcome::kFailed;
    if (made != OutputFolders::kReady) {
      ReportOutput(outputName, folders_.Failure(), messages::OpenFailed);
    } else if (StoredSizeFits(entry)) {
      if (copier_.CopyRange(outputName, static_cast<int64_t>(entry.address), static_cast<int64_t>(entry.size),
                            ".", platform::Access::kWriteEntry) == 0) {
        if (!folded.empty() && earlier.empty()) written_.Add(folded, index);
        outcome = Outcome::kWritten;
      } else if (FailsEveryOutput(copier_.Failure())) {
        outcome = Outcome::kStop;
      }
    }
    messages::EndLine();
    return outcome;
  }

 private:
  const std::string destDir_;
  OutputFolders folders_;
  RangeCopier copier_;
  WrittenNames written_;
  bool destinationChecked_ = false;
};

constexpr uint64_t kOverlapsShown = 10;
// Places in the walk that stand for the header and the directory block.
constexpr uint32_t kHeader = UINT32_MAX, kBlock = UINT32_MAX - 1;

// Names the pairs of stored files (by their place in the walk; the header
// and the directory block have none) whose ranges overlap.
void ReportOverlaps(Directory& directory, const std::vector<std::pair<uint32_t, uint32_t>>& pairs,
                    uint64_t overlapping) {
  std::vector<std::string> names(pairs.size() * 2);
  uint32_t index = 0;
  WalkDirectory(directory, [&](const ArchiveEntry& entry) {
    for (size_t i = 0; i < pairs.size(); ++i) {
      if (pairs[i].first == index) names[2 * i] = entry.path;
      if (pairs[i].second == index) names[2 * i + 1] = entry.path;
    }
    ++index;
    return true;
  });
  // The header and the directory block, which a stored file may reach into,
  // in brackets no stored name holds on Windows.
  const auto name = [&names](uint32_t at, size_t i) {
    return at == kHeader ? std::string("<header>") : at == kBlock ? std::string("<directory>") : names[i];
  };
  for (size_t i = 0; i < pairs.size(); ++i) {
    messages::StoredOverlap(name(pairs[i].first, 2 * i), name(pairs[i].second, 2 * i + 1));
  }
  if (overlapping > pairs.size()) messages::MoreOverlaps(overlapping - pairs.size());
}

}  // namespace

int ListEntries(const std::string& archivePath, Selection& selection, bool json) {
  Directory directory;
  if (LoadDirectory(archivePath, &directory) != 0) return -1;
  if (!json) messages::ListingHead();
  // JSON converts the stored names itself, whatever the locale.
  directory.storedNames = json;
  uint32_t count = 0;
  uint64_t total = 0;
  uint64_t dataEnd = 0;
  const int walked = WalkDirectory(directory, [&](const ArchiveEntry& entry) {
    // Patterns are in the process code page.
    if (!selection.Chooses(json ? platform::NameFromArchive(entry.path) : entry.path)) return true;
    json ? messages::ListingJson(entry.address, entry.size, entry.path)
         : messages::ListingLine(entry.address, entry.size, entry.path);
    ++count;
    total += entry.size;
    dataEnd = std::max(dataEnd, DataEnd(entry));
    return true;
  });
  if (!json) messages::ListingTotal(count, total);
  if (walked != 0) return -1;
  const int unmatched = selection.ReportUnmatched();
  return ReportCut(directory, dataEnd) != 0 ? -1 : unmatched;
}

int TestArchive(const std::string& archivePath) {
  Directory directory;
  if (LoadDirectory(archivePath, &directory) != 0) return -1;
  const auto fileSize = static_cast<uint64_t>(directory.archive.fileSize);
  struct Range {
    uint64_t start, end;
    uint32_t index;
  };
  // 24 bytes a stored file: 24 MB for a million of them.
  std::vector<Range> ranges = {{0, kFrontHeaderSize, kHeader},
                               {directory.location.blockPosition,
                                directory.location.blockPosition + directory.location.blockLength, kBlock}};
  uint32_t files = 0;
  uint64_t total = 0, cut = 0, unsafe = 0;
  const int walked = WalkDirectory(directory, [&](const ArchiveEntry& entry) {
    total += entry.size;
    if (DataEnd(entry) > fileSize) {
      messages::StoredPastEnd(entry.path);
      ++cut;
    }
    if (!IsSafeEntryPath(entry.path)) {
      messages::UnsafePath(entry.path);
      ++unsafe;
    }
    if (entry.size > 0) ranges.push_back({entry.address, DataEnd(entry), files});
    ++files;
    return true;
  });
  if (walked != 0) return -1;
  std::sort(ranges.begin(), ranges.end(), [](const Range& a, const Range& b) {
    return a.start != b.start ? a.start < b.start : a.end < b.end;
  });
  // One sweep: each range against the one reaching furthest before it.
  // Ranges that are the same are stored files sharing their bytes.
  std::vector<std::pair<uint32_t, uint32_t>> overlaps;
  uint64_t overlapping = 0, claimed = 0;
  Range reach = {0, 0, UINT32_MAX};
  for (const Range& range : ranges) {
    if (range.start < reach.end && (range.start != reach.start || range.end != reach.end)) {
      if (++overlapping <= kOverlapsShown) overlaps.emplace_back(reach.index, range.index);
    }
    const uint64_t from = std::max(range.start, reach.end);
    if (range.end > from) claimed += std::min(range.end, fileSize) - std::min(from, fileSize);
    if (range.end > reach.end) reach = range;
  }
  ReportOverlaps(directory, overlaps, overlapping);
  const int cutDirectory = ReportCut(directory);
  messages::TestTotal(files, total, cut + overlapping + unsafe + (cutDirectory != 0 ? 1 : 0),
                      fileSize - claimed, fileSize);
  return cut + overlapping + unsafe == 0 && cutDirectory == 0 ? 0 : -1;
}

int RangeCopier::CopyRange(const std::string& destFile, int64_t address, int64_t size,
                           const std::string& progressMark, platform::Access access) {
  failure_ = platform::Failure::kOther;
  if (!RangeIsValid(archive_, address, size)) return -1;
  // An archive file smaller than the block needs no more than its length (a
  // device or a pipe, which has none, gets the whole block).
  const int64_t blockSize =
      archive_.fileSize > 0 ? std::clamp<int64_t>(archive_.fileSize, kMinBlockSize, kBlockSize) : kBlockSize;
  if (block_.data == nullptr && block_.Allocate(static_cast<size_t>(blockSize)) == nullptr) return -1;
  const auto blockLength = static_cast<int64_t>(block_.length);
  Cfile output;
  if (const int error = output.Open(destFile, access)) {
    failure_ = platform::FailureOf(error);
    ReportOutput(destFile, failure_, messages::OpenFailed);
    return -1;
  }
  // Leaves no half-written file under the output's name.
  auto discard = [&output, &destFile] {
    const bool regular = platform::IsRegularFile(output.handle);
    output.Close();
    if (regular) platform::RemoveFile(destFile);
  };
  // A file that the archive names and that is not written whole is no file
  // of the archive's; an output that the user names keeps what was
  // written, as dd's does.
  auto fail = [&discard, access] {
    if (access == platform::Access::kWriteEntry) discard();
    return -1;
  };
  auto writeFailed = [this, &destFile, &fail] {
    failure_ = platform::FailureOf(platform::LastError());
    ReportOutput(destFile, failure_, messages::WriteFailed);
    return fail();
  };
  if (size == -1) size = archive_.fileSize - address;
  int64_t marks = 0;
  auto markUpTo = [&marks, &progressMark](int64_t count) {
    for (; marks < count; ++marks) messages::Progress(progressMark);
  };
  for (int64_t done = 0; done < size;) {
    // An interrupted copy leaves no half-written file under its name.
    if (platform::CaughtInterrupt() != 0) {
      discard();
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
        return fail();
      }
      ApplyDataKey(block_.data, static_cast<size_t>(got));
      windowStart_ = position;
      windowEnd_ = position + got;
      if (got == 0) {
        // The mark of the MiB that found no bytes comes before the message.
        markUpTo(done / kMarkEvery + 1);
        // A stored file's line may not be shown (-q): its error names it.
        if (access == platform::Access::kWriteEntry) {
          messages::StoredPastEnd(destFile);
        } else {
          messages::RangePastEnd(size - done);
        }
        return fail();
      }
    }
    const int64_t count = std::min(windowEnd_ - position, size - done);
    if (!output.Write(block_.data + (position - windowStart_), static_cast<size_t>(count))) {
      return writeFailed();
    }
    done += count;
    markUpTo((done + kMarkEvery - 1) / kMarkEvery);
  }
  if (output.Close()) return 0;
  // Closed, the output can no longer tell whether it is a file: one that the
  // archive names goes by its name.
  const bool named = access == platform::Access::kWriteEntry;
  writeFailed();
  if (named) platform::RemoveFile(destFile);
  return -1;
}

int ExtractRange(const std::string& archivePath, int64_t address, int64_t size, const std::string& destFile) {
  platform::CatchInterrupts();
  Cfile archive;
  if (OpenArchive(archivePath, platform::Access::kRead, archive) != 0) return -1;
  return ExtractOpenRange(archive, address, size, destFile, platform::Access::kWriteNew);
}

int ExtractAll(const std::string& archivePath, const std::string& destDir, Selection& selection,
               int threads) {
  (void)threads;
  Directory directory;
  if (LoadDirectory(archivePath, &directory) != 0) return -1;
  messages::ExtractAllHead(destDir);
  platform::CatchInterrupts();
  int result = 0;
  Extraction extraction(directory, destDir);
  Outcome outcome = Outcome::kWritten;
  uint64_t index = 0;
  const int walked = WalkDirectory(directory, [&](const ArchiveEntry& entry) {
    platform::EndIfInterrupted();
    if (!selection.Chooses(entry.path)) return ++index, true;
    outcome = extraction.Extract(entry, index++);
    if (outcome != Outcome::kWritten) result = -1;
    return outcome != Outcome::kStop;
  });
  if (walked != 0 || outcome == Outcome::kStop) return -1;
  if (selection.ReportUnmatched() != 0) result = -1;
  return ReportCut(directory) != 0 ? -1 : result;
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
    const std::string name = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (name == ".." || !platform::CanHoldName(name)) return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

}  // namespace kel
