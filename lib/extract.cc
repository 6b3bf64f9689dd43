// Extraction's decisions, and the extraction of one range or stored file.
#include "extract.h"

#include <algorithm>

#include "paths.h"

namespace kel {
namespace {

// Data that end past 2^63 (a size or an address beyond the signed range) is
// damage: no file holds such data, and such a size must not be taken for
// the -1 that means "to the archive's end".
bool StoredSizeFits(const ArchiveEntry& entry) { return DataEnd(entry) <= static_cast<uint64_t>(INT64_MAX); }

Event Done(const Status& status) {
  Event done;
  done.kind = KEL_EVENT_FILE_DONE;
  done.code = status.code;
  done.systemError = status.systemError;
  done.path = status.path;
  done.other = status.other;
  done.number = status.number;
  return done;
}

Status ExtractOpenRange(Cfile& archive, Encoding encoding, int64_t address, int64_t size,
                        const std::string& destFile, const Context& context, int folder = -1,
                        const std::string& name = "", bool keep = false) {
  // Refused operands get no head line; size -1 shows the count it stands for.
  if (Status checked = CheckRange(archive, address, size); !checked) return checked;
  Event head;
  head.kind = KEL_EVENT_FILE;
  head.path = destFile;
  head.address = static_cast<uint64_t>(address);
  head.size = static_cast<uint64_t>(size == -1 ? archive.fileSize - address : size);
  context.Report(head);
  RangeCopier copier(archive, encoding);
  copier.keep = keep;
  return copier.CopyRange(
      destFile, address, size, false, context, [](const Event&) {}, folder, name);
}

Status ExtractFound(Archive& archive, const std::string& destDir, int64_t address, const ArchiveEntry* found,
                    const Context& context, bool keep) {
  const Encoding encoding = archive.encoding;
  if (found == nullptr) return Fail(KEL_ERR_NOT_START_ADDRESS, "", static_cast<uint64_t>(address));
  // A bare name may still hold a slash: its folder is reached below destDir
  // as extract-all's are, but never made.
  const std::string name = LastPathComponent(found->path, encoding);
  if (!IsSafeEntryPath(name, encoding)) return Fail(KEL_ERR_UNSAFE_PATH, name);
  if (!StoredSizeFits(*found)) return Fail(KEL_ERR_DATA_PAST_END, found->path);
  int destination = -1;
  const int error = platform::OpenFolder(SystemPath(destDir, encoding), &destination);
  std::optional<OutputFolders> folders;
  size_t cut = name.size();
  OutputFolders::Result reached = OutputFolders::kFailed;
  // Its folders are checked as the walk's are, and never made.
  const OutputFolders::MayMake makeNone = [](const std::string&) { return false; };
  if (error == 0) {
    folders.emplace(destination, encoding);
    reached = folders->Reach(name, &makeNone, &cut);
  }
  Status result;
  if (reached == OutputFolders::kLink) {
    result = Fail(KEL_ERR_UNSAFE_PATH, name);
  } else if (reached != OutputFolders::kReady) {
    Event head;
    head.kind = KEL_EVENT_FILE;
    head.path = destDir + name;
    head.address = static_cast<uint64_t>(address);
    head.size = found->size;
    context.Report(head);
    result = OutputFailure(destDir + name.substr(0, cut),
                           error != 0 ? platform::FailureOf(error) : folders->Failure(), KEL_ERR_OPEN);
  } else {
    std::string relative;
    const int in = folders->OutputIn(name, &relative);
    result = ExtractOpenRange(archive.file, encoding, address, static_cast<int64_t>(found->size),
                              destDir + name, context, in, relative, keep);
  }
  folders.reset();
  if (destination >= 0) platform::CloseFolder(destination);
  return result;
}

}  // namespace

Status ExtractRange(Cfile& archive, Encoding encoding, int64_t address, int64_t size,
                    const std::string& destFile, const Context& context) {
  return ExtractOpenRange(archive, encoding, address, size, destFile, context);
}

Status ExtractByAddress(Archive& archive, const std::string& destDir, int64_t address, const Context& context,
                        bool keep) {
  // An empty stored file has the address of the one after it: the first
  // stored file there that holds bytes is the one meant, else the first.
  std::optional<ArchiveEntry> found;
  Status walked = WalkDirectory(archive, [&found, address](const ArchiveEntry& entry) {
    if (entry.address != static_cast<uint64_t>(address)) return true;
    if (!found || (found->size == 0 && entry.size != 0)) found = entry;
    return found->size == 0;
  });
  if (!walked) return walked;
  Status result = ExtractFound(archive, destDir, address, found ? &*found : nullptr, context, keep);
  Status cut = CutStatus(archive);
  if (cut.ok()) return result;
  // Both are told, the cut last.
  if (!result.ok()) context.Report(Done(result));
  return cut;
}

// A slot holds the upper 37 bits of the hash of the name's OutputKey and the
// index of its stored file in the walk, 8 bytes; the name itself is found by
// walking the directory again, which only a hit needs. A directory block of
// 4 GiB holds fewer than 2^27 stored files.
uint64_t RunNames::Find(const std::string& key, std::string* path) const {
  if (slots_.empty()) return 0;
  const uint64_t tag = Tag(key);
  for (size_t at = Home(tag); slots_[at] != 0; at = Next(at)) {
    if ((slots_[at] & ~kIndexMask) != tag) continue;
    *path = PathAt(slots_[at] & kIndexMask, false);
    if (OutputKey(*path, archive_.encoding) == key) return slots_[at] & kIndexMask;
  }
  return 0;
}

void RunNames::Add(const std::string& key, uint64_t index) {
  if (index + 1 > kIndexMask) return;
  if ((used_ + 1) * 4 > slots_.size() * 3) Grow();
  Put(Tag(key) | (index + 1));
  ++used_;
}

std::string RunNames::PathAt(uint64_t oneBased, bool stored) const {
  std::string path;
  uint64_t index = 0;
  WalkDirectory(
      archive_,
      [&](const ArchiveEntry& entry) {
        if (++index != oneBased) return true;
        path = entry.path;
        return false;
      },
      stored);
  return path;
}

uint64_t RunNames::Tag(const std::string& key) { return std::hash<std::string>{}(key) & ~kIndexMask; }

void RunNames::Put(uint64_t slot) {
  size_t at = Home(slot & ~kIndexMask);
  while (slots_[at] != 0) at = Next(at);
  slots_[at] = slot;
}

void RunNames::Grow() {
  std::vector<uint64_t> old(std::max<size_t>(slots_.size() * 2, 1024), 0);
  old.swap(slots_);
  for (uint64_t slot : old) {
    if (slot != 0) Put(slot);
  }
}

Extraction::Extraction(Archive& archive, const std::string& destDir, const Context& context)
    : archive_(archive),
      destDir_(destDir),
      context_(context),
      names_(archive),
      // No folder is made where a file of this run is to be.
      mayMake_([this](const std::string& folder) {
        std::string path;
        return names_.Find(OutputKey(folder, archive_.encoding), &path) == 0;
      }) {}

Extraction::~Extraction() {
  folders_.reset();
  if (destination_ >= 0) platform::CloseFolder(destination_);
}

void Extraction::Prepare(const ArchiveEntry& entry, uint64_t index, Task& task, const Sink& sink) {
  const Encoding encoding = archive_.encoding;
  task.address = entry.address;
  task.size = entry.size;
  task.index = index;
  if (!IsSafeEntryPath(entry.path, encoding)) return sink(Done(Fail(KEL_ERR_UNSAFE_PATH, entry.path)));
  // One name on disk is one stored path's (the same path again is written again).
  const std::string key = OutputKey(entry.path, encoding);
  task.key = std::hash<std::string>{}(key);
  std::string earlier;
  const uint64_t earlierAt = names_.Find(key, &earlier);
  if (earlierAt != 0 &&
      (earlier != entry.path || names_.PathAt(earlierAt, true) != names_.PathAt(index + 1, true))) {
    Status same = Fail(KEL_ERR_SAME_NAME, entry.path);
    same.other = earlier;
    return sink(Done(same));
  }
  task.outputName = destDir_ + entry.path;
  const bool fits = entry.size <= static_cast<uint64_t>(INT64_MAX);
  // A stored size that cannot be copied makes no folders.
  if (fits && !folders_ && !OpenDestination(task)) return;
  size_t cut = entry.path.size();
  const auto reached = fits ? folders_->Reach(entry.path, &mayMake_, &cut) : OutputFolders::kReady;
  if (reached == OutputFolders::kLink) return sink(Done(Fail(KEL_ERR_UNSAFE_PATH, entry.path)));
  if (reached == OutputFolders::kFailed && FailsEveryOutput(folders_->Failure())) {
    task.stop = OutputFailure(destDir_ + entry.path.substr(0, cut), folders_->Failure(), KEL_ERR_OPEN);
    return;
  }
  Event head;
  head.kind = KEL_EVENT_FILE;
  head.path = entry.path;
  head.address = entry.address;
  head.size = entry.size;
  sink(head);
  if (reached != OutputFolders::kReady) {
    sink(Done(OutputFailure(destDir_ + entry.path.substr(0, cut), folders_->Failure(), KEL_ERR_OPEN)));
  } else if (StoredSizeFits(entry)) {
    task.copies = true;
    if (earlierAt == 0) names_.Add(key, index);
  } else {
    sink(Done(Fail(KEL_ERR_DATA_PAST_END, entry.path)));
  }
}

void Extraction::Copy(Task& task, RangeCopier& copier, OutputFolders* folders, const Sink& sink) {
  task.started = true;
  OutputFolders& reach = folders != nullptr ? *folders : *folders_;
  const std::string path = task.outputName.substr(destDir_.size());
  size_t cut = path.size();
  const auto reached = reach.Reach(path, nullptr, &cut);
  std::string relative;
  const int in = reached == OutputFolders::kReady ? reach.OutputIn(path, &relative) : -1;
  Status result;
  platform::Failure failure = platform::Failure::kOther;
  if (reached == OutputFolders::kLink) {
    // Another process put a link in the way since the walk made the folder.
    result = Fail(KEL_ERR_UNSAFE_PATH, path);
  } else if (reached != OutputFolders::kReady) {
    failure = reach.Failure();
    result = OutputFailure(destDir_ + path.substr(0, cut), failure, KEL_ERR_OPEN);
  } else {
    copier.keep = keep;
    copier.noteWritten = recording;
    result = copier.CopyRange(task.outputName, static_cast<int64_t>(task.address),
                              static_cast<int64_t>(task.size), true, context_, sink, in, relative);
    failure = copier.Failure();
  }
  task.written = result.ok() || (keep && result.code == KEL_ERR_EXISTS);
  // A kept output is the user's, never proof of the stored bytes.
  task.recorded = result.ok();
  if (task.recorded) task.facts = copier.Written();
  if (!result.ok() && FailsEveryOutput(failure)) {
    task.stop = result;
  } else {
    sink(Done(result));
  }
}

// Makes the destination and the folders above it (a link among them is
// the user's choice) and holds it open. A destination that is a file, or
// that cannot be made, fails every stored file alike: once said is enough.
bool Extraction::OpenDestination(Task& task) {
  const Encoding encoding = archive_.encoding;
  for (size_t at = FindSeparator(destDir_, encoding); at != std::string::npos;
       at = FindSeparator(destDir_, encoding, at + 1)) {
    // The empty prefix in front of a leading separator is the root.
    const platform::FolderResult made =
        at == 0 ? platform::FolderResult::kExists
                : platform::MakeFolder(SystemPath(destDir_.substr(0, at), encoding));
    const bool missing = made == platform::FolderResult::kMissingParent;
    const auto failure =
        missing ? platform::Failure::kMissingFolder : platform::FailureOf(platform::LastError());
    if ((missing || made == platform::FolderResult::kFailed) && FailsEveryOutput(failure)) {
      task.stop = OutputFailure(destDir_.substr(0, at), failure, KEL_ERR_OPEN);
      return false;
    }
  }
  if (platform::OpenFolder(SystemPath(destDir_, encoding), &destination_) != 0) {
    task.stop = Fail(KEL_ERR_DESTINATION, destDir_);
    return false;
  }
  folders_.emplace(destination_, encoding);
  return true;
}

}  // namespace kel
