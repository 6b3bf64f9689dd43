// Extract-all on worker threads. The walk prepares the stored files in its
// order and hands them over in batches of neighbours, about one transfer
// block of data each, so that one read still serves many small files; the
// batches are told and finished in walk order as they are done, so the
// events are those of one thread. At most four batches per thread are out
// at a time.
#include "workers.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "extract.h"

namespace kel {
namespace {

// Records an output that the walk's thread hears written whole.
void Note(RecordWriter* writer, const Task& task) {
  if (writer != nullptr && task.recorded) {
    writer->Add({static_cast<uint32_t>(task.index), task.pathDigest, task.address, task.size, task.facts});
  }
}

class SideBySide {
 public:
  SideBySide(Extraction& extraction, Cfile& archive, int threads, const Context& context,
             RecordWriter* writer)
      : extraction_(extraction), context_(context), writer_(writer) {
    limit_ = 4 * static_cast<size_t>(threads);
    // Fewer threads than asked for, when the system has no more to give.
    try {
      for (int i = 0; i < threads; ++i) workers_.emplace_back([this, &archive] { Work(archive); });
    } catch (const std::system_error&) {
    }
  }
  ~SideBySide() {
    Stop();
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      closing_ = true;
    }
    workReady_.notify_all();
    for (std::thread& worker : workers_) worker.join();
  }
  SideBySide(const SideBySide&) = delete;
  SideBySide& operator=(const SideBySide&) = delete;

  /// Takes the next chosen stored file; false when the run stops.
  bool Add(const ArchiveEntry& entry, uint64_t index) {
    if (context_.Cancelled()) return false;
    Task task;
    task.pathDigest = PathDigest(entry.path);
    extraction_.Prepare(entry, index, task, [&task](const Event& event) { task.events.push_back(event); });
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
    const bool stops = task.stop.has_value();
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
    return !failed_;
  }
  /// The failure that stopped the run, if one did.
  const std::optional<Status>& Stopped() const { return stop_; }
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
  static constexpr std::chrono::milliseconds kTellEvery{200};

  void Submit() {
    if (!open_ || open_->tasks.empty()) return;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      batches_.push_back(std::move(open_));
    }
    workReady_.notify_one();
    // Tells what is done; waits while too much is out.
    while (!batches_.empty() && FinishFront(batches_.size() >= limit_)) {
    }
  }

  // Hands out the batches in turn; the rest of a batch is skipped once the
  // run stops or is cancelled.
  void Work(Cfile& archive) {
    RangeCopier copier(archive, extraction_.NameEncoding());
    std::optional<OutputFolders> folders;  // once a stored file is copied: the destination is open then
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
      workReady_.wait(lock, [this] { return closing_ || taken_ < batches_.size(); });
      if (taken_ == batches_.size()) return;
      Batch& batch = *batches_[taken_++];
      lock.unlock();
      copier.ReadUpTo(static_cast<int64_t>(std::min<uint64_t>(batch.dataEnd, INT64_MAX)));
      for (Task& task : batch.tasks) {
        if (cancelled_ || context_.Cancelled()) break;
        if (!task.copies) continue;
        if (!folders) folders.emplace(extraction_.Destination(), extraction_.NameEncoding());
        // The bytes written are counted as they go, for the walk's thread to tell.
        uint64_t counted = 0;
        extraction_.Copy(task, copier, &*folders, [this, &task, &counted](const Event& event) {
          if (event.kind == KEL_EVENT_PROGRESS) copied_ += event.done - std::exchange(counted, event.done);
          task.events.push_back(event);
        });
        if (task.written) copied_ += task.size - counted;
      }
      lock.lock();
      batch.done = true;
      batchDone_.notify_one();
    }
  }

  // Tells and finishes the oldest batch once it is done, waiting for it
  // when `wait`; false when it is not done.
  bool FinishFront(bool wait) {
    std::unique_ptr<Batch> batch;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (!wait && !batches_.front()->done) return false;
      // While it waits, the walk's thread tells how far the workers are.
      while (!batchDone_.wait_for(lock, kTellEvery, [this] { return batches_.front()->done; })) {
        lock.unlock();
        TellCopied();
        lock.lock();
      }
      batch = std::move(batches_.front());
      batches_.pop_front();
      --taken_;
    }
    for (const Task& task : batch->tasks) {
      if (task.copies) inFlight_.erase(task.key);
      // After a stop nothing is told; after a cancel, only what began.
      if (stopped_ || (task.copies && !task.started)) continue;
      for (const Event& event : task.events) context_.Report(event);
      Note(writer_, task);
      if (!task.written) failed_ = true;
      if (task.stop) {
        stop_ = task.stop;
        stopped_ = true;
        cancelled_ = true;
      }
    }
    return true;
  }

  void TellCopied() {
    const uint64_t copied = copied_;
    if (copied == told_) return;
    Event event;
    event.kind = KEL_EVENT_COPIED;
    event.number = copied - std::exchange(told_, copied);
    context_.Report(event);
  }

  // Hands over what is left and waits for all of it.
  void Stop() {
    if (context_.Cancelled()) cancelled_ = true;
    Submit();
    while (!batches_.empty()) FinishFront(true);
  }

  Extraction& extraction_;
  const Context& context_;
  RecordWriter* const writer_;
  std::vector<std::thread> workers_;
  size_t limit_ = 0;
  std::mutex mutex_;
  std::condition_variable workReady_;
  std::condition_variable batchDone_;
  std::deque<std::unique_ptr<Batch>> batches_;  ///< handed over, in walk order
  size_t taken_ = 0;                            ///< of batches_, by the workers
  bool closing_ = false;
  std::atomic<bool> cancelled_{false};
  std::atomic<uint64_t> copied_{0};  ///< bytes written by the workers
  uint64_t told_ = 0;                ///< of copied_, in COPIED events
  // Only the walk's thread uses these.
  std::unique_ptr<Batch> open_;
  std::unordered_set<size_t> inFlight_;  ///< the keys of the stored files copied
  bool stopped_ = false;
  bool failed_ = false;
  std::optional<Status> stop_;
};

int DefaultThreads() { return static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 8u)); }

}  // namespace

Status ExtractAll(Archive& archive, const std::string& destDir, Selection& selection, int threads,
                  const Context& context, bool keep, const RecordOptions* record) {
  bool failed = false;
  std::optional<RecordWriter> writer;
  if (record != nullptr) writer.emplace(*record, archive.file.path, destDir, archive.encoding);
  RecordWriter* const noted = writer ? &*writer : nullptr;
  std::optional<Status> stop;
  Extraction extraction(archive, destDir, context);
  extraction.keep = keep;
  extraction.recording = record != nullptr && !record->folder.empty();
  uint64_t index = 0;
  Status walked;
  const int count = threads == 0 ? DefaultThreads() : threads;
  auto sideBySide =
      count > 1 ? std::make_unique<SideBySide>(extraction, archive.file, count, context, noted) : nullptr;
  if (sideBySide && !sideBySide->Working()) sideBySide.reset();
  if (!sideBySide) {
    RangeCopier copier(archive.file, archive.encoding);
    const Sink report = [&context](const Event& event) { context.Report(event); };
    walked = WalkDirectory(archive, [&](const ArchiveEntry& entry) {
      if (context.Cancelled()) return false;
      if (!selection.Chooses(entry.path)) return ++index, true;
      Task task;
      task.pathDigest = PathDigest(entry.path);
      extraction.Prepare(entry, index++, task, report);
      if (task.copies) extraction.Copy(task, copier, nullptr, report);
      Note(noted, task);
      if (!task.written) failed = true;
      stop = task.stop;
      return !stop;
    });
  } else {
    walked = WalkDirectory(archive, [&](const ArchiveEntry& entry) {
      if (!selection.Chooses(entry.path)) return ++index, true;
      return sideBySide->Add(entry, index++);
    });
    if (!sideBySide->Finish()) failed = true;
    stop = sideBySide->Stopped();
  }
  if (context.Cancelled()) return Fail(KEL_ERR_CANCELLED);
  if (writer) writer->Finish(archive);
  if (!walked) return walked;
  if (stop) return *stop;
  for (const std::string& pattern : selection.Unmatched()) {
    Event notFound;
    notFound.kind = KEL_EVENT_NOT_FOUND;
    notFound.code = KEL_ERR_NOT_FOUND;
    notFound.path = pattern;
    context.Report(notFound);
    failed = true;
  }
  if (Status cut = CutStatus(archive); !cut) return cut;
  return failed ? Fail(KEL_ERR_NOT_WHOLE) : Status();
}

}  // namespace kel
