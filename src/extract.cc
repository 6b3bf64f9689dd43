// Listing and extraction. Stored data are the plain bytes XORed with
// DataKey; each copying thread moves them through one fixed block for the
// whole run, so memory grows neither with the sizes of what is copied nor
// with the number of stored files, which the directory walk hands over a
// bounded number at a time.
#include "extract.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <vector>

#include "archive.h"
#include "journal.h"
#include "messages.h"
#include "select.h"

namespace kel {
namespace {

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

// Data that end past 2^63 (a size or an address beyond the signed range) is
// damage: no file holds such data, and such a size must not be taken for
// the -1 that means "to the archive's end".
bool StoredSizeFits(const ArchiveEntry& entry) {
  if (DataEnd(entry) <= static_cast<uint64_t>(INT64_MAX)) return true;
  messages::StoredPastEnd(entry.path);
  return false;
}

int ExtractOpenRange(Cfile& archive, int64_t address, int64_t size, const std::string& destFile,
                     int folder = -1, const std::string& name = "") {
  // Refused operands get no head line; size -1 shows the count it stands for.
  if (!RangeIsValid(archive, address, size)) return -1;
  messages::ExtractRangeHead(address, size == -1 ? archive.fileSize - address : size, destFile);
  const int result = RangeCopier(archive).CopyRange(destFile, address, size, "", folder, name);
  platform::EndIfInterrupted();
  return result;
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

int ExtractFound(Cfile& archive, const std::string& destDir, int64_t address, const ArchiveEntry* found) {
  if (found == nullptr) {
    messages::NotStartAddress(address);
    return -1;
  }
  // A bare name may still hold a slash: its folder is reached below destDir
  // as extract-all's are, but never made.
  const std::string name = LastPathComponent(found->path);
  if (!IsSafeEntryPath(name)) {
    messages::UnsafePath(name);
    return -1;
  }
  if (!StoredSizeFits(*found)) return -1;
  int destination = -1;
  const int error = platform::OpenFolder(destDir, &destination);
  std::optional<OutputFolders> folders;
  size_t cut = name.size();
  OutputFolders::Result reached = OutputFolders::kFailed;
  // Its folders are checked as the walk's are, and never made.
  const OutputFolders::MayMake makeNone = [](const std::string&) { return false; };
  if (error == 0) {
    folders.emplace(destination);
    reached = folders->Reach(name, &makeNone, &cut);
  }
  int result = -1;
  if (reached == OutputFolders::kLink) {
    messages::UnsafePath(name);
  } else if (reached != OutputFolders::kReady) {
    messages::ExtractRangeHead(address, static_cast<int64_t>(found->size), destDir + name);
    ReportOutput(destDir + name.substr(0, cut), error != 0 ? platform::FailureOf(error) : folders->Failure(),
                 messages::OpenFailed);
  } else {
    std::string relative;
    const int in = folders->OutputIn(name, &relative);
    result =
        ExtractOpenRange(archive, address, static_cast<int64_t>(found->size), destDir + name, in, relative);
  }
  folders.reset();
  if (destination >= 0) platform::CloseFolder(destination);
  return result;
}

// The output names this run writes below the destination, as the walk
// decides them before any worker copies: a stored file whose output name is
// that of an earlier one of another stored path is refused, and no folder
// is made where a file of this run is to be, whatever the thread count. A
// slot holds the upper 37 bits of the hash of the name's OutputKey and the
// index of its stored file in the walk, 8 bytes; the name itself is found by
// walking the directory again, which only a hit needs.
class RunNames {
 public:
  explicit RunNames(Directory& directory) : directory_(directory) {}

  /// The place in the walk, plus one, of the stored file that made `key` a
  /// file name of this run, with its path; 0 when none did.
  uint64_t Find(const std::string& key, std::string* path) const {
    if (slots_.empty()) return 0;
    const uint64_t tag = Tag(key);
    for (size_t at = Home(tag); slots_[at] != 0; at = Next(at)) {
      if ((slots_[at] & ~kIndexMask) != tag) continue;
      *path = PathAt(slots_[at] & kIndexMask, false);
      if (OutputKey(*path) == key) return slots_[at] & kIndexMask;
    }
    return 0;
  }

  void Add(const std::string& key, uint64_t index) {
    if (index + 1 > kIndexMask) return;
    if ((used_ + 1) * 4 > slots_.size() * 3) Grow();
    Put(Tag(key) | (index + 1));
    ++used_;
  }

  /// The path of the stored file `oneBased` in the walk, converted to the
  /// process code page or as stored.
  std::string PathAt(uint64_t oneBased, bool stored) const {
    std::string path;
    uint64_t index = 0;
    const bool was = directory_.storedNames;
    directory_.storedNames = stored;
    WalkDirectory(directory_, [&](const ArchiveEntry& entry) {
      if (++index != oneBased) return true;
      path = entry.path;
      return false;
    });
    directory_.storedNames = was;
    return path;
  }

 private:
  // A directory block of 4 GiB holds fewer than 2^27 stored files.
  static constexpr int kIndexBits = 27;
  static constexpr uint64_t kIndexMask = (uint64_t{1} << kIndexBits) - 1;

  static uint64_t Tag(const std::string& key) { return std::hash<std::string>{}(key) & ~kIndexMask; }
  size_t Home(uint64_t tag) const { return static_cast<size_t>(tag >> kIndexBits) & (slots_.size() - 1); }
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

  Directory& directory_;
  std::vector<uint64_t> slots_;
  size_t used_ = 0;
};

enum class Outcome { kWritten, kFailed, kStop };

// A chosen stored file: what the walk decided for it and how its copy went.
struct Task {
  uint64_t address = 0;
  uint64_t size = 0;
  std::string outputName;
  bool copies = false;  ///< the checks passed: its bytes are to be copied
  bool started = false;
  size_t key = 0;  ///< the hash of its OutputKey
  Outcome outcome = Outcome::kFailed;
  std::string text;  ///< what it prints, while threads work side by side
};

// Extract-all: each stored file's checks, folders and line head, made in
// walk order, then its bytes.
class Extraction {
 public:
  Extraction(Directory& directory, const std::string& destDir) : destDir_(destDir), names_(directory) {}
  ~Extraction() {
    folders_.reset();
    if (destination_ >= 0) platform::CloseFolder(destination_);
  }
  Extraction(const Extraction&) = delete;
  Extraction& operator=(const Extraction&) = delete;

  /// Decides `task` for the stored file `entry`, `index` in the walk, and
  /// makes its folders; leaves `task.copies` set when its bytes are next.
  void Prepare(const ArchiveEntry& entry, uint64_t index, Task& task) {
    task.address = entry.address;
    task.size = entry.size;
    task.outcome = Outcome::kFailed;
    if (!IsSafeEntryPath(entry.path)) return messages::UnsafePath(entry.path);
    // One name on disk is one stored path's (the same path again is written again).
    const std::string key = OutputKey(entry.path);
    task.key = std::hash<std::string>{}(key);
    std::string earlier;
    const uint64_t earlierAt = names_.Find(key, &earlier);
    if (earlierAt != 0 &&
        (earlier != entry.path || names_.PathAt(earlierAt, true) != names_.PathAt(index + 1, true))) {
      return messages::SameNameWritten(entry.path, earlier);
    }
    task.outputName = destDir_ + entry.path;
    const bool fits = entry.size <= static_cast<uint64_t>(INT64_MAX);
    // A stored size that cannot be copied makes no folders.
    if (fits && !folders_ && !OpenDestination()) {
      task.outcome = Outcome::kStop;
      return;
    }
    size_t cut = entry.path.size();
    const auto reached = fits ? folders_->Reach(entry.path, &mayMake_, &cut) : OutputFolders::kReady;
    if (reached == OutputFolders::kLink) return messages::UnsafePath(entry.path);
    if (reached == OutputFolders::kFailed && FailsEveryOutput(folders_->Failure())) {
      task.outcome = Outcome::kStop;
      return ReportOutput(destDir_ + entry.path.substr(0, cut), folders_->Failure(), messages::OpenFailed);
    }
    messages::ExtractEntryHead(entry.path, entry.size);
    if (reached != OutputFolders::kReady) {
      ReportOutput(destDir_ + entry.path.substr(0, cut), folders_->Failure(), messages::OpenFailed);
    } else if (StoredSizeFits(entry)) {
      task.copies = true;
      if (earlierAt == 0) names_.Add(key, index);
      return;
    }
    messages::EndLine();
  }

  /// Copies the bytes of a prepared stored file into its folder, reached
  /// through `folders`: any thread, each with folders of its own; null on
  /// the walk's thread, which has its folder open already.
  void Copy(Task& task, RangeCopier& copier, OutputFolders* folders) {
    task.started = true;
    OutputFolders& reach = folders != nullptr ? *folders : *folders_;
    const std::string path = task.outputName.substr(destDir_.size());
    size_t cut = path.size();
    const auto reached = reach.Reach(path, nullptr, &cut);
    std::string relative;
    const int in = reached == OutputFolders::kReady ? reach.OutputIn(path, &relative) : -1;
    if (reached == OutputFolders::kLink) {
      // Another process put a link in the way since the walk made the folder.
      messages::UnsafePath(path);
    } else if (reached != OutputFolders::kReady) {
      ReportOutput(destDir_ + path.substr(0, cut), reach.Failure(), messages::OpenFailed);
      if (FailsEveryOutput(reach.Failure())) task.outcome = Outcome::kStop;
    } else if (copier.CopyRange(task.outputName, static_cast<int64_t>(task.address),
                                static_cast<int64_t>(task.size), ".", in, relative) == 0) {
      task.outcome = Outcome::kWritten;
    } else if (FailsEveryOutput(copier.Failure())) {
      task.outcome = Outcome::kStop;
    }
    messages::EndLine();
  }

  /// The destination folder, held open once a stored file needed it.
  int Destination() const { return destination_; }

 private:
  // Makes the destination and the folders above it (a link among them is
  // the user's choice) and holds it open. A destination that is a file, or
  // that cannot be made, fails every stored file alike: once said is enough.
  bool OpenDestination() {
    for (size_t at = FindSeparator(destDir_); at != std::string::npos; at = FindSeparator(destDir_, at + 1)) {
      // The empty prefix in front of a leading separator is the root.
      const platform::FolderResult made =
          at == 0 ? platform::FolderResult::kExists : platform::MakeFolder(destDir_.substr(0, at));
      const bool missing = made == platform::FolderResult::kMissingParent;
      const auto failure =
          missing ? platform::Failure::kMissingFolder : platform::FailureOf(platform::LastError());
      if ((missing || made == platform::FolderResult::kFailed) && FailsEveryOutput(failure)) {
        ReportOutput(destDir_.substr(0, at), failure, messages::OpenFailed);
        return false;
      }
    }
    if (platform::OpenFolder(destDir_, &destination_) != 0) {
      messages::CannotMakeDestination(destDir_);
      return false;
    }
    folders_.emplace(destination_);
    return true;
  }

  const std::string destDir_;
  int destination_ = -1;
  std::optional<OutputFolders> folders_;  ///< the walk's, once the destination is open
  RunNames names_;
  // No folder is made where a file of this run is to be.
  const OutputFolders::MayMake mayMake_ = [this](const std::string& folder) {
    std::string path;
    return names_.Find(OutputKey(folder), &path) == 0;
  };
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

// Extract-all on worker threads. The walk prepares the stored files in its
// order and hands them over in batches of neighbours, about one transfer
// block of data each, so that one read still serves many small files; the
// batches are printed and finished in walk order as they are done, so the
// output is what one thread prints. At most four batches per thread are
// out at a time.
class SideBySide {
 public:
  SideBySide(Extraction& extraction, Cfile& archive, int threads) : extraction_(extraction) {
    limit_ = 4 * static_cast<size_t>(threads);
    // Fewer threads than asked for, when the system has no more to give.
    try {
      for (int i = 0; i < threads; ++i) workers_.emplace_back([this, &archive] { Work(archive); });
    } catch (const std::system_error&) {
    }
    // What the walk itself prints (a failed read) comes after the files before it.
    messages::Capture(&tail_);
  }
  ~SideBySide() {
    Stop();
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      closing_ = true;
    }
    workReady_.notify_all();
    for (std::thread& worker : workers_) worker.join();
    messages::Capture(nullptr);
  }
  SideBySide(const SideBySide&) = delete;
  SideBySide& operator=(const SideBySide&) = delete;

  /// Takes the next chosen stored file; false when the run stops.
  bool Add(const ArchiveEntry& entry, uint64_t index) {
    if (platform::CaughtInterrupt() != 0) return false;
    Task task;
    // Room for the line and its marks, which a worker adds to.
    task.text.reserve(entry.path.size() + 64);
    messages::Capture(&task.text);
    extraction_.Prepare(entry, index, task);
    messages::Capture(&tail_);
    // A stored file whose name one still in flight has waits until that
    // one is done, and then overwrites it, as in order. Equal hashes of two
    // names only cost a wait.
    if (task.copies && inFlight_.count(task.key) != 0) {
      Submit();
      while (inFlight_.count(task.key) != 0 && !stopped_) FinishFront(true);
    }
    if (stopped_) return false;
    if (!open_) open_ = std::make_unique<Batch>();
    if (task.copies) {
      const uint64_t start = entry.address, end = DataEnd(entry);
      if (!open_->tasks.empty() &&
          std::max(end, open_->dataEnd) - std::min(start, open_->dataStart) > kBatchBytes) {
        Submit();
        open_ = std::make_unique<Batch>();
      }
      open_->dataStart = std::min(open_->dataStart, start);
      open_->dataEnd = std::max(open_->dataEnd, end);
      inFlight_.insert(task.key);
    }
    const bool stops = task.outcome == Outcome::kStop;
    open_->tasks.push_back(std::move(task));
    if (stops || open_->tasks.size() >= kBatchFiles ||
        (open_->dataEnd > open_->dataStart && open_->dataEnd - open_->dataStart >= kBatchBytes)) {
      Submit();
    }
    return !stops && !stopped_;
  }

  /// Waits for every stored file handed over; whether each was written.
  bool Finish() {
    Stop();
    messages::Capture(nullptr);
    messages::PrintCaptured(tail_);
    return !failed_;
  }
  bool Stopped() const { return stopped_; }
  bool Working() const { return !workers_.empty(); }

 private:
  struct Batch {
    Batch() { tasks.reserve(kBatchFiles); }
    std::vector<Task> tasks;
    // Addresses are unsigned: a stored file may claim any of them.
    uint64_t dataStart = UINT64_MAX;
    uint64_t dataEnd = 0;
    bool done = false;
  };
  static constexpr size_t kBatchFiles = 256;
  static constexpr uint64_t kBatchBytes = kCopyBlockSize;

  void Submit() {
    if (!open_ || open_->tasks.empty()) return;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      batches_.push_back(std::move(open_));
    }
    workReady_.notify_one();
    // Prints what is done; waits while too much is out.
    while (!batches_.empty() && FinishFront(batches_.size() >= limit_)) {
    }
  }

  // Hands out the batches in turn; the rest of a batch is skipped once the
  // run stops or is interrupted.
  void Work(Cfile& archive) {
    RangeCopier copier(archive);
    std::optional<OutputFolders> folders;  // once a stored file is copied: the destination is open then
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
      workReady_.wait(lock, [this] { return closing_ || taken_ < batches_.size(); });
      if (taken_ == batches_.size()) return;
      Batch& batch = *batches_[taken_++];
      lock.unlock();
      copier.ReadUpTo(static_cast<int64_t>(std::min<uint64_t>(batch.dataEnd, INT64_MAX)));
      for (Task& task : batch.tasks) {
        if (cancelled_ || platform::CaughtInterrupt() != 0) break;
        if (!task.copies) continue;
        if (!folders) folders.emplace(extraction_.Destination());
        messages::Capture(&task.text);
        extraction_.Copy(task, copier, &*folders);
      }
      messages::Capture(nullptr);
      lock.lock();
      batch.done = true;
      batchDone_.notify_one();
    }
  }

  // Prints and finishes the oldest batch once it is done, waiting for it
  // when `wait`; false when it is not done.
  bool FinishFront(bool wait) {
    std::unique_ptr<Batch> batch;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (!wait && !batches_.front()->done) return false;
      batchDone_.wait(lock, [this] { return batches_.front()->done; });
      batch = std::move(batches_.front());
      batches_.pop_front();
      --taken_;
    }
    for (const Task& task : batch->tasks) {
      if (task.copies) inFlight_.erase(task.key);
      // After a stop nothing is printed; after an interrupt, only what began.
      if (stopped_ || (task.copies && !task.started)) continue;
      messages::PrintCaptured(task.text);
      if (task.outcome != Outcome::kWritten) failed_ = true;
      if (task.outcome == Outcome::kStop) {
        stopped_ = true;
        cancelled_ = true;
      }
    }
    return true;
  }

  // Hands over what is left and waits for all of it.
  void Stop() {
    if (platform::CaughtInterrupt() != 0) cancelled_ = true;
    Submit();
    while (!batches_.empty()) FinishFront(true);
    platform::EndIfInterrupted();
  }

  Extraction& extraction_;
  std::vector<std::thread> workers_;
  size_t limit_ = 0;
  std::mutex mutex_;
  std::condition_variable workReady_;
  std::condition_variable batchDone_;
  std::deque<std::unique_ptr<Batch>> batches_;  ///< handed over, in walk order
  size_t taken_ = 0;                            ///< of batches_, by the workers
  bool closing_ = false;
  std::atomic<bool> cancelled_{false};
  // Only the walk's thread uses these.
  std::unique_ptr<Batch> open_;
  std::unordered_set<size_t> inFlight_;  ///< the keys of the stored files copied
  std::string tail_;
  bool stopped_ = false;
  bool failed_ = false;
};

int DefaultThreads() { return static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 8u)); }

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
    if (!selection.ChoosesAll() &&
        !selection.Chooses(json ? platform::NameFromArchive(entry.path) : entry.path)) {
      return true;
    }
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
                           const std::string& progressMark, int folder, const std::string& name) {
  failure_ = platform::Failure::kOther;
  if (!RangeIsValid(archive_, address, size)) return -1;
  // An archive file smaller than the block needs no more than its length (a
  // device or a pipe, which has none, gets the whole block).
  const int64_t blockSize = archive_.fileSize > 0
                                ? std::clamp<int64_t>(archive_.fileSize, kMinBlockSize, kCopyBlockSize)
                                : kCopyBlockSize;
  if (block_.data == nullptr && block_.Allocate(static_cast<size_t>(blockSize)) == nullptr) return -1;
  const auto blockLength = static_cast<int64_t>(block_.length);
  const bool named = folder >= 0;  // by the archive
  Cfile output;
  if (const int error = named ? output.OpenIn(folder, name, destFile)
                              : output.Open(destFile, platform::Access::kWriteNew)) {
    failure_ = platform::FailureOf(error);
    ReportOutput(destFile, failure_, messages::OpenFailed);
    return -1;
  }
  // Leaves no half-written file under the output's name: while it is
  // open, only if the name is still its own.
  auto discard = [&output, &destFile, named, folder, &name] {
    if (named) {
      platform::RemoveFileIn(folder, name, output.handle);
      output.Close();
      return;
    }
    const bool regular = platform::IsRegularFile(output.handle);
    output.Close();
    if (regular) platform::RemoveFile(destFile);
  };
  // A file that the archive names and that is not written whole is no file
  // of the archive's; an output that the user names keeps what was
  // written, as dd's does.
  auto fail = [&discard, named] {
    if (named) discard();
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
      return -1;
    }
    const int64_t position = address + done;
    // The output gets one write per block of its own bytes, wherever the
    // window stands, so that what it is given before a failed write, and
    // so the progress marks, are the same whichever thread copies it.
    const int64_t chunk = std::min(size - done, blockLength);
    if (position < windowStart_ || windowEnd_ - position < chunk) {
      // Ahead of what is needed, no further than readEnd_.
      const int64_t wanted = std::clamp(readEnd_ - position, chunk, blockLength);
      // A position so far out that it cannot be read at is past the end.
      const int64_t got = position > INT64_MAX - blockLength
                              ? 0
                              : archive_.ReadAt(position, block_.data, static_cast<size_t>(wanted));
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
        if (named) {
          messages::StoredPastEnd(destFile);
        } else {
          messages::RangePastEnd(size - done);
        }
        return fail();
      }
    }
    const int64_t count = std::min(windowEnd_ - position, chunk);
    if (!output.Write(block_.data + (position - windowStart_), static_cast<size_t>(count))) {
      return writeFailed();
    }
    done += count;
    markUpTo((done + kMarkEvery - 1) / kMarkEvery);
  }
  if (output.Close()) return 0;
  // Closed, an output that the archive names is removed by its name.
  return writeFailed();
}

int ExtractRange(const std::string& archivePath, int64_t address, int64_t size, const std::string& destFile) {
  platform::CatchInterrupts();
  Cfile archive;
  if (OpenArchive(archivePath, platform::Access::kRead, archive) != 0) return -1;
  return ExtractOpenRange(archive, address, size, destFile);
}

int ExtractAll(const std::string& archivePath, const std::string& destDir, Selection& selection,
               int threads) {
  Directory directory;
  if (LoadDirectory(archivePath, &directory) != 0) return -1;
  messages::ExtractAllHead(destDir);
  platform::CatchInterrupts();
  int result = 0;
  bool stopped = false;
  Extraction extraction(directory, destDir);
  uint64_t index = 0;
  int walked = 0;
  const int count = threads == 0 ? DefaultThreads() : threads;
  auto sideBySide = count > 1 ? std::make_unique<SideBySide>(extraction, directory.archive, count) : nullptr;
  if (sideBySide && !sideBySide->Working()) sideBySide.reset();
  if (!sideBySide) {
    RangeCopier copier(directory.archive);
    walked = WalkDirectory(directory, [&](const ArchiveEntry& entry) {
      platform::EndIfInterrupted();
      if (!selection.Chooses(entry.path)) return ++index, true;
      Task task;
      extraction.Prepare(entry, index++, task);
      if (task.copies) extraction.Copy(task, copier, nullptr);
      if (task.outcome != Outcome::kWritten) result = -1;
      stopped = task.outcome == Outcome::kStop;
      return !stopped;
    });
    platform::EndIfInterrupted();
  } else {
    walked = WalkDirectory(directory, [&](const ArchiveEntry& entry) {
      if (!selection.Chooses(entry.path)) return ++index, true;
      return sideBySide->Add(entry, index++);
    });
    if (!sideBySide->Finish()) result = -1;
    stopped = sideBySide->Stopped();
  }
  if (walked != 0 || stopped) return -1;
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

std::string OutputKey(const std::string& path) {
  std::string key;
  for (size_t start = 0; start <= path.size();) {
    const size_t end = std::min(FindSeparator(path, start), path.size());
    const std::string name = path.substr(start, end - start);
    if (!name.empty() && name != ".") key += name + '\\';
    start = end + 1;
  }
  const std::string folded = platform::FoldedName(key);
  return folded.empty() ? key : folded;
}

}  // namespace kel
