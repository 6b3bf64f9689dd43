// The copy loop, and the range copier. Stored data are the plain bytes
// XORed with DataKey; a copier moves them through one fixed block for its
// whole run, so memory grows neither with the sizes of what is copied nor
// with the number of stored files.
#include "copy.h"

#include <algorithm>

#include "format.h"
#include "paths.h"

namespace kel {
namespace {

constexpr int64_t kMinBlockSize = 1 << 12;
constexpr int64_t kMarkEvery = 1 << 20;  // one progress mark per started MiB

}  // namespace

CopyEnd CopyChunks(int64_t count, Cbuffer& block, const ChunkRead& read, const ChunkWrite& write,
                   const Context* context) {
  for (int64_t done = 0; done < count;) {
    if (context != nullptr && context->Cancelled()) return CopyEnd::kCancelled;
    const auto chunk =
        static_cast<size_t>(std::min<int64_t>(count - done, static_cast<int64_t>(block.length)));
    if (!read(done, block.data, chunk)) return CopyEnd::kReadFailed;
    if (!write(done, block.data, chunk)) return CopyEnd::kWriteFailed;
    done += static_cast<int64_t>(chunk);
    if (context != nullptr) {
      Event copied;
      copied.kind = KEL_EVENT_COPIED;
      copied.number = chunk;
      context->Report(copied);
    }
  }
  return CopyEnd::kDone;
}

Status CheckRange(const Cfile& archive, int64_t address, int64_t size) {
  if (address < 0) return Fail(KEL_ERR_BAD_ADDRESS, "", static_cast<uint64_t>(address));
  if (size < -1) return Fail(KEL_ERR_BAD_SIZE, "", static_cast<uint64_t>(size));
  if (size == -1 && address > archive.fileSize) {
    return Fail(KEL_ERR_ADDRESS_PAST_END, "", static_cast<uint64_t>(address));
  }
  return {};
}

Status OutputFailure(const std::string& path, platform::Failure failure, Code otherwise) {
  switch (failure) {
    case platform::Failure::kMissingFolder:
      return Fail(KEL_ERR_MISSING_FOLDER, path);
    case platform::Failure::kNameTooLong:
      return Fail(KEL_ERR_NAME_TOO_LONG, path);
    case platform::Failure::kNoSpace:
      return Fail(KEL_ERR_NO_SPACE, path);
    case platform::Failure::kReadOnly:
      return Fail(KEL_ERR_READ_ONLY, path);
    case platform::Failure::kDenied:
      return Fail(KEL_ERR_DENIED, path);
    case platform::Failure::kOther:
      break;
  }
  return Fail(otherwise, path);
}

Status SystemFailure(const std::string& path, int error, Code otherwise) {
  Status failed = OutputFailure(path, platform::FailureOf(error), otherwise);
  failed.systemError = error;
  return failed;
}

Status RangeCopier::CopyRange(const std::string& destFile, int64_t address, int64_t size, bool marks,
                              const Context& context, const std::function<void(const Event&)>& report,
                              int folder, const std::string& name) {
  failure_ = platform::Failure::kOther;
  written_ = {};
  if (Status checked = CheckRange(archive_, address, size); !checked) return checked;
  // An archive file smaller than the block needs no more than its length (a
  // device or a pipe, which has none, gets the whole block).
  const int64_t blockSize = archive_.fileSize > 0
                                ? std::clamp<int64_t>(archive_.fileSize, kMinBlockSize, kCopyBlockSize)
                                : kCopyBlockSize;
  if (block_.data == nullptr && block_.Allocate(static_cast<size_t>(blockSize)) == nullptr) {
    return Fail(KEL_ERR_MEMORY, "", static_cast<uint64_t>(blockSize));
  }
  const auto blockLength = static_cast<int64_t>(block_.length);
  const bool named = folder >= 0;  // by the archive
  Cfile output;
  if (const int error = named ? output.OpenIn(folder, name, destFile, encoding_, keep)
                              : output.Open(destFile, platform::Access::kWriteNew, encoding_)) {
    if (named && keep && platform::Exists(error)) return Fail(KEL_ERR_EXISTS, destFile);
    failure_ = platform::FailureOf(error);
    return OutputFailure(destFile, failure_, KEL_ERR_OPEN);
  }
  // Leaves no half-written file under the output's name: while it is
  // open, only if the name is still its own.
  auto discard = [this, &output, &destFile, named, folder, &name] {
    if (named) {
      platform::RemoveFileIn(folder, SystemPath(name, encoding_), output.handle);
      output.Close();
      return;
    }
    const bool regular = platform::IsRegularFile(output.handle);
    output.Close();
    if (regular) platform::RemoveFile(SystemPath(destFile, encoding_));
  };
  // A file that the archive names and that is not written whole is no file
  // of the archive's; an output that the user names keeps what was
  // written, as dd's does.
  auto fail = [&discard, named](Status status) {
    if (named) discard();
    return status;
  };
  auto writeFailed = [this, &destFile, &fail] {
    failure_ = platform::FailureOf(platform::LastError());
    return fail(OutputFailure(destFile, failure_, KEL_ERR_WRITE));
  };
  if (size == -1) size = archive_.fileSize - address;
  int64_t marked = 0;
  auto markUpTo = [&marked, &report, marks, size](int64_t count, int64_t done) {
    for (; marked < count; ++marked) {
      if (!marks) continue;
      Event mark;
      mark.kind = KEL_EVENT_PROGRESS;
      mark.done = static_cast<uint64_t>(done);
      mark.size = static_cast<uint64_t>(size);
      report(mark);
    }
  };
  for (int64_t done = 0; done < size;) {
    // An interrupted copy leaves no half-written file under its name.
    if (context.Cancelled()) {
      discard();
      return Fail(KEL_ERR_CANCELLED, destFile);
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
        return fail(Fail(KEL_ERR_READ, archive_.path));
      }
      ApplyDataKey(block_.data, static_cast<size_t>(got));
      windowStart_ = position;
      windowEnd_ = position + got;
      if (got == 0) {
        // The mark of the MiB that found no bytes comes before the failure.
        markUpTo(done / kMarkEvery + 1, done);
        // A stored file's line may not be shown (-q): its failure names it.
        return fail(named ? Fail(KEL_ERR_DATA_PAST_END, destFile)
                          : Fail(KEL_ERR_RANGE_PAST_END, "", static_cast<uint64_t>(size - done)));
      }
    }
    const int64_t count = std::min(windowEnd_ - position, chunk);
    if (!output.Write(block_.data + (position - windowStart_), static_cast<size_t>(count))) {
      return writeFailed();
    }
    done += count;
    markUpTo((done + kMarkEvery - 1) / kMarkEvery, done);
  }
  if (!noteWritten || !platform::FactsOf(output.handle, &written_)) written_ = {};
  if (output.Close()) return {};
  written_ = {};
  // Closed, an output that the archive names is removed by its name.
  return writeFailed();
}

}  // namespace kel
