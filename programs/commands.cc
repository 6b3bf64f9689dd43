// The commands. Signals are noted (console.h) from the moment each command
// noted them before it became a client: the writes from before the archive
// is opened, extract-all once its head line is out.
#include "commands.h"

#include <algorithm>

#include "compact.h"
#include "console.h"
#include "extract.h"
#include "listing.h"
#include "messages.h"
#include "names.h"
#include "update.h"
#include "workers.h"
#include "write.h"

namespace kel {
namespace {

Encoding names = Encoding::kShiftJis;

enum class Job { kRead, kRange, kExtract, kMerge, kReplace, kUpdate, kCompact };

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

  void UpdateTotal() {
    totalShown = true;
    messages::UpdateTotal(counts_->changed, counts_->unchanged, counts_->notFound, counts_->skipped,
                          counts_->nothingWritten);
  }

 private:
  bool Tell(const Event& event) {
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
      case KEL_EVENT_FILE_DONE:
      case KEL_EVENT_PROBLEM: {
        Status status = Fail(event.code, event.path, event.number);
        status.other = event.other;
        messages::Failure(status);
        messages::EndLine();
        break;
      }
      case KEL_EVENT_UPDATE:
        messages::UpdateHead(static_cast<int64_t>(event.address), event.path,
                             static_cast<int64_t>(event.oldSize), static_cast<int64_t>(event.size));
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

int Merged(const std::string& archivePath, const std::string& printedName, const Matcher& matches,
           const std::string& mergeFile) {
  Teller teller(Job::kMerge);
  console::CatchInterrupts();
  Archive archive;
  Status status = OpenArchive(archivePath, Opening(platform::Access::kReadWrite), teller.context, &archive);
  if (status) status = Merge(archive, printedName, matches, mergeFile, teller.context);
  return Outcome(status, archivePath);
}

int Replaced(const std::string& archivePath, const std::string& printedName, const Matcher& matches,
             const std::string& file) {
  Teller teller(Job::kReplace);
  console::CatchInterrupts();
  Archive archive;
  Status status = OpenArchive(archivePath, Opening(platform::Access::kReadWrite), teller.context, &archive);
  if (status) status = Replace(archive, printedName, matches, file, teller.context);
  return Outcome(status, archivePath);
}

}  // namespace

void SetNameEncoding(Encoding encoding) { names = encoding; }
Encoding NameEncoding() { return names; }

int ListEntries(const std::string& archivePath, const std::vector<std::string>& patterns, bool json) {
  Teller teller(Job::kRead);
  Archive archive;
  if (Status opened = OpenArchive(archivePath, Opening(platform::Access::kRead), teller.context, &archive);
      !opened) {
    return Said(opened);
  }
  if (!json) messages::ListingHead();
  Selection selection(patterns, names);
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

int TestArchive(const std::string& archivePath) {
  Teller teller(Job::kRead);
  Archive archive;
  Status status = OpenArchive(archivePath, Opening(platform::Access::kRead), teller.context, &archive);
  TestSummary summary;
  if (status) status = TestArchive(archive, teller.context, &summary);
  if (!status && status.code != KEL_ERR_DAMAGED) return Said(status);
  messages::TestTotal(summary.files, summary.bytes, summary.problems, summary.unclaimed, summary.fileSize);
  return status ? 0 : -1;
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
               const std::vector<std::string>& patterns, int threads) {
  Teller teller(Job::kExtract);
  Archive archive;
  if (Status opened = OpenArchive(archivePath, Opening(platform::Access::kRead), teller.context, &archive);
      !opened) {
    return Said(opened);
  }
  messages::ExtractAllHead(destDir);
  console::CatchInterrupts();
  Selection selection(patterns, names);
  RecordOptions record;
  record.folder = console::RecordFolder();
  return Outcome(kel::ExtractAll(archive, destDir, selection, threads, teller.context, &record), archivePath);
}

int ExtractByAddress(const std::string& archivePath, const std::string& destDir, int64_t address) {
  Teller teller(Job::kRange);
  console::CatchInterrupts();
  Archive archive;
  Status status = OpenArchive(archivePath, Opening(platform::Access::kRead), teller.context, &archive);
  if (status) status = kel::ExtractByAddress(archive, destDir, address, teller.context);
  return Outcome(status, archivePath);
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
                     const std::vector<std::string>& patterns, bool dryRun, bool full) {
  UpdateCounts counts;
  Teller teller(Job::kUpdate, &counts);
  if (!dryRun) console::CatchInterrupts();
  FolderListing listing;
  if (Status listed = ListFolder(folder, names, &listing); !listed) return Said(listed);
  Archive archive;
  Status status =
      OpenArchive(archivePath, Opening(dryRun ? platform::Access::kRead : platform::Access::kReadWrite),
                  teller.context, &archive);
  Selection selection(patterns, names);
  RecordOptions record;
  record.folder = console::RecordFolder();
  record.ignore = full;
  if (status) status = Update(archive, listing, selection, dryRun, teller.context, &counts, &record);
  // The total goes out before a change, or once nothing is to be written.
  if (!teller.totalShown && (status || status.code == KEL_ERR_NOT_WHOLE)) teller.UpdateTotal();
  return Outcome(status, archivePath);
}

int CompactArchive(const std::string& archivePath, const std::string& newFile) {
  Teller teller(Job::kCompact);
  console::CatchInterrupts();
  Archive archive;
  const platform::Access access = newFile.empty() ? platform::Access::kReadWrite : platform::Access::kRead;
  Status status = OpenArchive(archivePath, Opening(access), teller.context, &archive);
  if (status) status = Compact(archive, archivePath, newFile, teller.context, nullptr);
  return Outcome(status, archivePath);
}

}  // namespace kel
