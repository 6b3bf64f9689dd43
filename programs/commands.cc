// The commands. Signals are noted (console.h) from the moment each command
// noted them before it became a client: the writes from before the archive
// is opened, extract-all once its head line is out.
#include "commands.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "compact.h"
#include "console.h"
#include "extract.h"
#include "format.h"
#include "listing.h"
#include "messages.h"
#include "names.h"
#include "platform.h"
#include "update.h"
#include "workers.h"
#include "write.h"

namespace kel {
namespace {

Encoding names = Encoding::kShiftJis;

enum class Job { kRead, kRange, kExtract, kMerge, kReplace, kUpdate, kCompact };

// How far a long job is, told on a terminal's status line from the
// library's events: files and bytes done of the total, the rate and the time
// left. Extraction's worker threads tell their bytes (COPIED) while they
// work, and the lines of their stored files after; the count is the larger.
class Meter {
 public:
  bool on = false;
  uint64_t totalFiles = 0;
  uint64_t totalBytes = 0;

  void Take(const Event& event) {
    switch (event.kind) {
      case KEL_EVENT_FILE:
        fileSize_ = event.size;
        within_ = 0;
        break;
      case KEL_EVENT_PROGRESS:
        within_ = event.done;
        break;
      case KEL_EVENT_FILE_DONE:
        ++files_;
        filesBytes_ += fileSize_;
        fileSize_ = within_ = 0;
        break;
      case KEL_EVENT_COPIED:
        copied_ += event.number;
        break;
      case KEL_EVENT_UPDATE:
        totalBytes += event.size;
        break;
      default:
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - shown_ < std::chrono::milliseconds(200)) return;
    shown_ = now;
    Show(std::chrono::duration<double>(now - start_).count());
  }

 private:
  void Show(double seconds) {
    const uint64_t bytes = std::min(std::max(filesBytes_ + within_, copied_), totalBytes);
    const double rate = seconds > 0 ? static_cast<double>(bytes) / seconds : 0;
    char text[160];
    const int left = rate > 0 ? static_cast<int>(static_cast<double>(totalBytes - bytes) / rate) : 0;
    snprintf(text, sizeof text, "%.1f of %.1f MiB, %.1f MiB/s, %d:%02d left", Mebibytes(bytes),
             Mebibytes(totalBytes), Mebibytes(static_cast<uint64_t>(rate)), left / 60, left % 60);
    messages::ShowStatus(totalFiles == 0
                             ? text
                             : messages::FormatGroupedUnsigned(files_) + " of " +
                                   messages::FormatGroupedUnsigned(totalFiles) + " files, " + text);
  }
  static double Mebibytes(uint64_t bytes) { return static_cast<double>(bytes) / (1 << 20); }

  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point shown_ = start_;
  uint64_t files_ = 0, filesBytes_ = 0, fileSize_ = 0, within_ = 0, copied_ = 0;
};

// Turns the events of one command into its lines.
class Teller {
 public:
  explicit Teller(Job job, const UpdateCounts* counts = nullptr) : job_(job), counts_(counts) {
    context.cancel = console::CancelFlag();
    context.onEvent = [this](const Event& event) { return Tell(event); };
  }
  Teller(const Teller&) = delete;
  Teller& operator=(const Teller&) = delete;

  Context context;
  bool totalShown = false;
  /// -k: an output that exists is kept, which is no failure.
  bool keep = false;
  bool dryRun = false;
  Meter meter;
  /// Problems of stored files that -x leaves out are not told, only counted.
  Selection* shown = nullptr;
  uint64_t hidden = 0;

  void UpdateTotal() {
    totalShown = true;
    messages::UpdateTotal(counts_->changed, counts_->unchanged, counts_->notFound, counts_->skipped,
                          counts_->nothingWritten);
  }

 private:
  bool Tell(const Event& event) {
    if (meter.on) meter.Take(event);
    switch (event.kind) {
      case KEL_EVENT_WAITING:
        messages::WaitingFor(event.path);
        break;
      case KEL_EVENT_ROLLED_BACK:
        messages::RolledBack(event.path);
        break;
      case KEL_EVENT_READ_BEFORE:
        messages::ReadingAsBefore(event.path);
        break;
      case KEL_EVENT_FILE:
        return Head(event);
      case KEL_EVENT_PROGRESS:
        messages::Progress(".");
        break;
      case KEL_EVENT_COPIED:
        break;
      case KEL_EVENT_FILE_DONE:
      case KEL_EVENT_PROBLEM: {
        if (keep && event.code == KEL_ERR_EXISTS) {
          messages::Kept();
          break;
        }
        if (shown != nullptr && !event.path.empty() && !shown->Chooses(event.path)) {
          ++hidden;
          break;
        }
        Status status = Fail(event.code, event.path, event.number);
        status.other = event.other;
        messages::Failure(status);
        messages::EndLine();
        break;
      }
      case KEL_EVENT_UPDATE:
        messages::UpdateHead(static_cast<int64_t>(event.address), event.path,
                             static_cast<int64_t>(event.oldSize), static_cast<int64_t>(event.size), dryRun);
        break;
      case KEL_EVENT_NOT_FOUND:
        messages::NotInArchive(event.path);
        break;
      case KEL_EVENT_CHANGE:
        // The lines go out before the first write: a change whose outcome
        // cannot be told is not made.
        if (job_ == Job::kUpdate) UpdateTotal();
        if (job_ == Job::kCompact) {
          messages::CompactTotal(static_cast<int64_t>(event.oldSize), static_cast<int64_t>(event.size));
        }
        return messages::Flush();
    }
    return true;
  }

  bool Head(const Event& event) {
    const auto address = static_cast<int64_t>(event.address);
    const auto size = static_cast<int64_t>(event.size);
    switch (job_) {
      case Job::kRange:
        messages::ExtractRangeHead(address, size, event.path);
        // The output may be standard output's own (/dev/stdout): the head goes first.
        console::FlushOutput();
        break;
      case Job::kExtract:
        messages::ExtractEntryHead(event.path, event.size);
        break;
      case Job::kMerge:
        messages::MergeHead(address, event.path);
        break;
      case Job::kReplace:
        messages::ReplaceHead(address, event.path, static_cast<int64_t>(event.oldSize), size, event.other);
        break;
      default:
        break;
    }
    return true;
  }

  const Job job_;
  const UpdateCounts* const counts_;
};

OpenOptions Opening(platform::Access access) {
  OpenOptions options;
  options.access = access;
  options.encoding = names;
  return options;
}

// Its line for a failure; -1.
int Said(const Status& status, const std::string& archivePath = "") {
  messages::Failure(status, archivePath);
  return -1;
}

int Outcome(const Status& status, const std::string& archivePath) {
  return status ? 0 : Said(status, archivePath);
}

// One write (merge or replace) on the archive, opened for writing.
template <typename Write>
int Written(Job job, const std::string& archivePath, Write write) {
  Teller teller(job);
  console::CatchInterrupts();
  Archive archive;
  Status status = OpenArchive(archivePath, Opening(platform::Access::kReadWrite), teller.context, &archive);
  if (status) status = write(archive, teller.context);
  return Outcome(status, archivePath);
}

int Merged(const std::string& archivePath, const std::string& printedName, const Matcher& matches,
           const std::string& mergeFile) {
  return Written(Job::kMerge, archivePath, [&](Archive& archive, const Context& context) {
    return Merge(archive, printedName, matches, mergeFile, context);
  });
}

int Replaced(const std::string& archivePath, const std::string& printedName, const Matcher& matches,
             const std::string& file) {
  return Written(Job::kReplace, archivePath, [&](Archive& archive, const Context& context) {
    return Replace(archive, printedName, matches, file, context);
  });
}

}  // namespace

void SetNameEncoding(Encoding encoding) { names = encoding; }
Encoding NameEncoding() { return names; }

void NoteUtf8Names(const std::vector<std::string>& given) {
  static bool told = false;
  if (told || names != Encoding::kShiftJis) return;
  std::string converted;
  told = std::any_of(given.begin(), given.end(), [&converted](const std::string& name) {
    return std::any_of(name.begin(), name.end(), [](char c) { return (c & 0x80) != 0; }) &&
           platform::Utf8ToCp932(name, &converted);
  });
  if (told) messages::Utf8Names();
}

int ListEntries(const std::string& archivePath, const std::vector<std::string>& patterns,
                const std::vector<std::string>& excluded, bool json) {
  Teller teller(Job::kRead);
  Archive archive;
  if (Status opened = OpenArchive(archivePath, Opening(platform::Access::kRead), teller.context, &archive);
      !opened) {
    return Said(opened);
  }
  if (!json) messages::ListingHead();
  Selection selection(patterns, names, excluded);
  uint32_t count = 0;
  uint64_t total = 0;
  uint64_t dataEnd = 0;
  // JSON converts the stored names itself, whatever the locale.
  DirectoryWalk walk = WalkOf(archive, json);
  ArchiveEntry entry;
  DirectoryWalk::Step step;
  while ((step = walk.Next(&entry)) == DirectoryWalk::kEntry) {
    // Patterns are in the process code page.
    if (!selection.ChoosesAll() &&
        !selection.Chooses(json ? NameFromArchive(entry.path, names) : entry.path)) {
      continue;
    }
    json ? messages::ListingJson(entry.address, entry.size, entry.path)
         : messages::ListingLine(entry.address, entry.size, entry.path);
    ++count;
    total += entry.size;
    dataEnd = std::max(dataEnd, DataEnd(entry));
  }
  if (step == DirectoryWalk::kFailed) messages::ReadFailed(archive.file.path);
  if (!json) messages::ListingTotal(count, total);
  if (step == DirectoryWalk::kFailed) return -1;
  const std::vector<std::string> unmatched = selection.Unmatched();
  for (const std::string& pattern : unmatched) messages::NotInArchive(pattern);
  if (Status cut = CutStatus(archive, dataEnd); !cut) return Said(cut);
  return unmatched.empty() ? 0 : -1;
}

int TestArchive(const std::string& archivePath, const std::vector<std::string>& excluded) {
  Teller teller(Job::kRead);
  Selection shown({}, names, excluded);
  // cppcheck-suppress unreadVariable
  if (!excluded.empty()) teller.shown = &shown;
  Archive archive;
  Status status = OpenArchive(archivePath, Opening(platform::Access::kRead), teller.context, &archive);
  TestSummary summary;
  if (status) status = TestArchive(archive, teller.context, &summary);
  if (!status && status.code != KEL_ERR_DAMAGED) return Said(status);
  summary.problems -= teller.hidden;
  messages::TestTotal(summary.files, summary.bytes, summary.problems, summary.unclaimed, summary.fileSize);
  return summary.problems == 0 ? 0 : -1;
}

int ExtractRange(const std::string& archivePath, int64_t address, int64_t size, const std::string& destFile) {
  Teller teller(Job::kRange);
  console::CatchInterrupts();
  Cfile archive;
  Status status = OpenArchiveFile(archivePath, Opening(platform::Access::kRead), teller.context, archive);
  if (status) status = kel::ExtractRange(archive, names, address, size, destFile, teller.context);
  return Outcome(status, archivePath);
}

int ExtractAll(const std::string& archivePath, const std::string& destDir,
               const std::vector<std::string>& patterns, const std::vector<std::string>& excluded,
               int threads, bool keep) {
  Teller teller(Job::kExtract);
  teller.keep = keep;
  Archive archive;
  if (Status opened = OpenArchive(archivePath, Opening(platform::Access::kRead), teller.context, &archive);
      !opened) {
    return Said(opened);
  }
  messages::ExtractAllHead(destDir);
  console::CatchInterrupts();
  if ((teller.meter.on = messages::StartStatus())) {
    Selection counted(patterns, names, excluded);
    WalkDirectory(archive, [&counted, &teller](const ArchiveEntry& entry) {
      if (!counted.Chooses(entry.path)) return true;
      ++teller.meter.totalFiles;
      teller.meter.totalBytes += entry.size;
      return true;
    });
  }
  Selection selection(patterns, names, excluded);
  RecordOptions record;
  record.folder = console::RecordFolder();
  const int result = Outcome(
      kel::ExtractAll(archive, destDir, selection, threads, teller.context, keep, &record), archivePath);
  messages::EndStatus();
  return result;
}

int ExtractByAddress(const std::string& archivePath, const std::string& destDir, int64_t address, bool keep) {
  Teller teller(Job::kRange);
  console::CatchInterrupts();
  Archive archive;
  Status status = OpenArchive(archivePath, Opening(platform::Access::kRead), teller.context, &archive);
  if (status) status = kel::ExtractByAddress(archive, destDir, address, teller.context, keep);
  if (keep && status.code == KEL_ERR_EXISTS) {
    messages::KeptFile(status.path);
    return 0;
  }
  return Outcome(status, archivePath);
}

int PrintStored(const std::string& archivePath, const std::vector<std::string>& patterns,
                const std::vector<std::string>& excluded) {
  Teller teller(Job::kRead);
  Archive archive;
  if (Status opened = OpenArchive(archivePath, Opening(platform::Access::kRead), teller.context, &archive);
      !opened) {
    return Said(opened);
  }
  Selection selection(patterns, names, excluded);
  Cbuffer block;
  if (block.Allocate(kCopyBlockSize) == nullptr) return Said(Fail(KEL_ERR_MEMORY, "", kCopyBlockSize));
  bool whole = true;
  const Status walked = WalkDirectory(archive, [&](const ArchiveEntry& entry) {
    if (!selection.Chooses(entry.path)) return true;
    // Bytes that are not all there are not written: no output is half a stored file.
    if (DataEnd(entry) > static_cast<uint64_t>(archive.file.fileSize)) {
      messages::StoredPastEnd(entry.path);
      whole = false;
      return true;
    }
    for (uint64_t done = 0; done < entry.size;) {
      const auto chunk = static_cast<size_t>(std::min<uint64_t>(entry.size - done, block.length));
      if (archive.file.ReadAt(static_cast<int64_t>(entry.address + done), block.data, chunk) !=
          static_cast<int64_t>(chunk)) {
        messages::ReadFailed(archive.file.path);
        whole = false;
        return false;
      }
      ApplyDataKey(block.data, chunk);
      console::WriteOutput(reinterpret_cast<const char*>(block.data), chunk);
      done += chunk;
    }
    return true;
  });
  if (!walked) return Said(walked);
  for (const std::string& pattern : selection.Unmatched()) {
    messages::NotInArchive(pattern);
    whole = false;
  }
  return whole ? 0 : -1;
}

int MergeAt(const std::string& mergeFile, const std::string& archivePath, int64_t address) {
  if (address < 0) return Said(Fail(KEL_ERR_BAD_ADDRESS, "", static_cast<uint64_t>(address)));
  Teller teller(Job::kMerge);
  console::CatchInterrupts();
  Archive archive;
  archive.encoding = names;
  Status status =
      OpenArchiveFile(archivePath, Opening(platform::Access::kReadWrite), teller.context, archive.file);
  if (status) status = kel::MergeAt(archive, mergeFile, address, teller.context);
  return Outcome(status, archivePath);
}

int MergeByFile(const std::string& archivePath, const std::string& mergeFile) {
  std::string searchName;
  const Matcher matches = ByFileName(mergeFile, &searchName, names);
  return Merged(archivePath, searchName, matches, mergeFile);
}

int MergeByName(const std::string& archivePath, const std::string& mergeName, const std::string& mergeFile) {
  return Merged(archivePath, mergeName, ByName(mergeName, names), mergeFile);
}

int ReplaceByFile(const std::string& archivePath, const std::string& file) {
  std::string searchName;
  const Matcher matches = ByFileName(file, &searchName, names);
  return Replaced(archivePath, searchName, matches, file);
}

int ReplaceByName(const std::string& archivePath, const std::string& storedName, const std::string& file) {
  return Replaced(archivePath, storedName, ByLastComponents(storedName, names), file);
}

int UpdateFromFolder(const std::string& archivePath, const std::string& folder,
                     const std::vector<std::string>& patterns, const std::vector<std::string>& excluded,
                     bool dryRun, bool full) {
  UpdateCounts counts;
  Teller teller(Job::kUpdate, &counts);
  teller.dryRun = dryRun;
  if (!dryRun) console::CatchInterrupts();
  FolderListing listing;
  if (Status listed = ListFolder(folder, names, &listing); !listed) return Said(listed);
  std::vector<std::string> files(listing.files.size());
  std::transform(listing.files.begin(), listing.files.end(), files.begin(),
                 [](const auto& file) { return file.first; });
  NoteUtf8Names(files);
  Archive archive;
  Status status =
      OpenArchive(archivePath, Opening(dryRun ? platform::Access::kRead : platform::Access::kReadWrite),
                  teller.context, &archive);
  Selection selection(patterns, names, excluded);
  RecordOptions record;
  record.folder = console::RecordFolder();
  record.ignore = full;
  teller.meter.on = !dryRun && messages::StartStatus();
  if (status) status = Update(archive, listing, selection, dryRun, teller.context, &counts, &record);
  messages::EndStatus();
  // The total goes out before a change, or once nothing is to be written;
  // once more after the error line when the change did not take effect.
  if (!teller.totalShown && (status || status.code == KEL_ERR_NOT_WHOLE)) teller.UpdateTotal();
  const int result = Outcome(status, archivePath);
  if (teller.totalShown && !status && status.code != KEL_ERR_NOT_WHOLE && !status.undoFailed &&
      !counts.nothingWritten) {
    counts.nothingWritten = true;
    teller.UpdateTotal();
  }
  return result;
}

int CompactArchive(const std::string& archivePath, const std::string& newFile) {
  Teller teller(Job::kCompact);
  console::CatchInterrupts();
  Archive archive;
  const platform::Access access = newFile.empty() ? platform::Access::kReadWrite : platform::Access::kRead;
  Status status = OpenArchive(archivePath, Opening(access), teller.context, &archive);
  // The copy holds at most the archive's bytes.
  if ((teller.meter.on = status && messages::StartStatus())) {
    teller.meter.totalBytes = static_cast<uint64_t>(archive.file.fileSize);
  }
  if (status) status = Compact(archive, archivePath, newFile, teller.context, nullptr);
  messages::EndStatus();
  return Outcome(status, archivePath);
}

}  // namespace kel
