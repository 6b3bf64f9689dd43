// Opening an archive. A writer notes a cancel from the start: while it
// waits for the lock it holds nothing, so it stops at once.
#include "archive.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "copy.h"
#include "recovery.h"

namespace kel {
namespace {

constexpr int kTimedOut = -1;
constexpr int kCancelled = -2;
constexpr auto kWaitLimit = std::chrono::seconds(60);
constexpr auto kWaitStep = std::chrono::milliseconds(50);

// Opens the archive, waiting while another program holds it: 0, the
// system's error, kTimedOut or kCancelled.
int OpenWaiting(const std::string& path, platform::Access access, const OpenOptions& options,
                const Context& context, Cfile& file) {
  const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
  bool told = false;
  while (true) {
    const int error = file.Open(path, access, options.encoding);
    if (error == 0 || !platform::HeldElsewhere(error)) return error;
    if (!options.wait || std::chrono::steady_clock::now() >= deadline) return kTimedOut;
    if (!told) {
      Event waiting;
      waiting.kind = KEL_EVENT_WAITING;
      waiting.path = path;
      context.Report(waiting);
    }
    told = true;
    if (context.Cancelled()) return kCancelled;
    std::this_thread::sleep_for(kWaitStep);
  }
}

// The same, saying why it failed.
Status OpenOrSay(const std::string& path, platform::Access access, const OpenOptions& options,
                 const Context& context, Cfile& file) {
  const int error = OpenWaiting(path, access, options, context, file);
  if (error == 0) return {};
  if (error == kTimedOut) return Fail(KEL_ERR_IN_USE, path);
  if (error == kCancelled) return Fail(KEL_ERR_CANCELLED);
  // A write names what the system refused; a missing archive is no missing output folder.
  const bool missing = platform::FailureOf(error) == platform::Failure::kMissingFolder;
  Status failed = access != platform::Access::kRead && !missing ? SystemFailure(path, error, KEL_ERR_OPEN)
                                                                : Fail(KEL_ERR_OPEN, path);
  failed.systemError = error;
  return failed;
}

}  // namespace

Status OpenArchiveFile(const std::string& path, const OpenOptions& options, const Context& context,
                       Cfile& file) {
  const platform::Access access = options.access;
  if (Status opened = OpenOrSay(path, access, options, context, file); !opened) return opened;
  Proof proof;
  if (!Prove(file, &proof)) return {};
  if (access == platform::Access::kReadWrite) return Settle(file, proof, context);
  if (proof.trailer.state != journal::kDone) {
    // A reader that may write the archive undoes the write; one that may
    // not reads the archive as it was before it.
    const int error = OpenWaiting(path, platform::Access::kReadWrite, options, context, file);
    if (error == kTimedOut) return Fail(KEL_ERR_IN_USE, path);
    if (error == kCancelled) return Fail(KEL_ERR_CANCELLED);
    if (error == 0) {
      if (Prove(file, &proof)) {
        if (Status settled = Settle(file, proof, context); !settled) return settled;
      }
      return OpenArchiveFile(path, options, context, file);
    }
    if (Status opened = OpenOrSay(path, access, options, context, file); !opened) return opened;
    if (!Prove(file, &proof)) return {};
    if (proof.trailer.state != journal::kDone) {
      file.ReadAs(proof.patches, proof.trailer.oldLength);
      Event before;
      before.kind = KEL_EVENT_READ_BEFORE;
      before.path = path;
      context.Report(before);
      return {};
    }
  }
  // A write that took effect: its journal is no part of the archive.
  file.ReadAs({}, proof.trailer.finalLength);
  return {};
}

Status OpenArchive(const std::string& path, const OpenOptions& options, const Context& context,
                   Archive* archive) {
  archive->encoding = options.encoding;
  if (Status opened = OpenArchiveFile(path, options, context, archive->file); !opened) return opened;
  return FindDirectory(archive);
}

Status FindDirectory(Archive* archive) {
  Cfile& file = archive->file;
  uint8_t header[kFrontHeaderSize] = {};
  const int64_t got = file.ReadAt(0, header, sizeof header);
  if (got < 0) return Fail(KEL_ERR_READ, file.path);
  uint32_t directoryEnd = 0;
  if (Status checked = CheckFrontHeader(header, static_cast<size_t>(got), &directoryEnd); !checked) {
    return checked;
  }
  if (Status found = FindDirectoryBlock(file, directoryEnd, &archive->location); !found) return found;
  // A file that ends inside the block is cut: only the records it holds
  // whole are walked, and the jobs report the cut after their work.
  archive->missingBytes =
      file.fileSize < directoryEnd ? directoryEnd - static_cast<uint64_t>(file.fileSize) : 0;
  return {};
}

bool IsKelFile(Cfile& file) {
  uint8_t header[kFrontHeaderSize] = {};
  file.ReadAt(0, header, sizeof header);
  Unscramble(header, sizeof header);
  return LittleEndian(header, 2) == kMagic;
}

DirectoryWalk WalkOf(Archive& archive, bool stored) {
  Cfile& file = archive.file;
  const uint64_t blockPosition = archive.location.blockPosition;
  const BlockReader read = [&file, blockPosition](uint64_t offset, uint8_t* destination, size_t count) {
    // The file holds these bytes: fewer of them is a failure.
    const int64_t got = file.ReadAt(static_cast<int64_t>(blockPosition + offset), destination, count);
    return got == static_cast<int64_t>(count) ? got : int64_t{-1};
  };
  return DirectoryWalk(read, archive.location.blockLength - archive.missingBytes,
                       stored ? Encoding::kShiftJis : archive.encoding);
}

Status WalkDirectory(Archive& archive, const EntryVisitor& visit, bool stored) {
  DirectoryWalk walk = WalkOf(archive, stored);
  ArchiveEntry entry;
  DirectoryWalk::Step step;
  while ((step = walk.Next(&entry)) == DirectoryWalk::kEntry) {
    if (!visit(entry)) return {};
  }
  return step == DirectoryWalk::kFailed ? Fail(KEL_ERR_READ, archive.file.path) : Status();
}

Status CutStatus(const Archive& archive, uint64_t dataEnd) {
  const auto fileSize = static_cast<uint64_t>(archive.file.fileSize);
  const uint64_t end = std::max(fileSize + archive.missingBytes, dataEnd);
  if (end <= fileSize) return {};
  return Fail(KEL_ERR_ARCHIVE_CUT, "", end - fileSize);
}

}  // namespace kel
