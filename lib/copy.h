// The copy loop that every job moving bytes shares, and the range copier
// that extraction builds on it: a stored file's bytes (XORed with the data
// key) into a file, a block at a time, through one block for a whole run.
#ifndef KEL_LIB_COPY_H_
#define KEL_LIB_COPY_H_

#include <cstdint>
#include <functional>
#include <string>

#include "events.h"
#include "file.h"
#include "status.h"

namespace kel {

/// Reads `count` bytes at `done` (counted from the first byte of the run);
/// false when they cannot be had.
using ChunkRead = std::function<bool(int64_t done, uint8_t* bytes, size_t count)>;
/// Writes `count` bytes at `done`; false when they cannot be put.
using ChunkWrite = std::function<bool(int64_t done, const uint8_t* bytes, size_t count)>;
enum class CopyEnd { kDone, kReadFailed, kWriteFailed, kCancelled };
/// The one copy loop: `count` bytes from `read` to `write` through `block`,
/// a block at a time, first byte first. Before each block it stops when
/// `context` (may be null) is cancelled.
CopyEnd CopyChunks(int64_t count, Cbuffer& block, const ChunkRead& read, const ChunkWrite& write,
                   const Context* context = nullptr);

/// Copies byte ranges of one open archive into files, through one block for
/// the whole run. The block keeps the plain bytes it last read, so that
/// small stored files that lie one after the other cost one read together.
class RangeCopier {
 public:
  RangeCopier(Cfile& archive, Encoding encoding) : archive_(archive), encoding_(encoding) {}

  /// Copies `size` bytes from `address` (size -1: to the archive's end) into
  /// a new `destFile`, XORing each with DataKey and reporting a PROGRESS
  /// event for every started MiB (when `marks`). An output that the archive
  /// names is made as `name` below the held `folder` (OpenFileIn), and
  /// removed when it cannot be written whole; one that the user names
  /// (`folder` -1) is opened as kWriteNew and keeps the bytes written.
  /// Cancelled, it removes the output and returns CANCELLED with its path.
  /// Any thread, one copier each; `report` takes the marks.
  Status CopyRange(const std::string& destFile, int64_t address, int64_t size, bool marks,
                   const Context& context, const std::function<void(const Event&)>& report, int folder = -1,
                   const std::string& name = "");
  /// Why the output of the last copy that failed could not be written.
  platform::Failure Failure() const { return failure_; }
  /// What the file system told of the last output copied whole, right
  /// after its last write (id 0 when it could not tell).
  const platform::FileFacts& Written() const { return written_; }
  /// Reads ahead no further than `end`, where the data still to be copied
  /// end (several copiers share out one run of small stored files).
  void ReadUpTo(int64_t end) { readEnd_ = end; }
  /// An output that the archive names and that exists is kept: the copy
  /// returns EXISTS and writes nothing.
  bool keep = false;
  /// The facts of each whole output are taken for Written() (a record is
  /// kept): one more system call an output.
  bool noteWritten = false;

 private:
  Cfile& archive_;
  const Encoding encoding_;
  platform::Failure failure_ = platform::Failure::kOther;
  platform::FileFacts written_;
  Cbuffer block_;
  int64_t windowStart_ = 0;  ///< the archive bytes the block holds, plain
  int64_t windowEnd_ = 0;
  int64_t readEnd_ = INT64_MAX;
};

/// Refuses what cannot be copied before any output exists: BAD_ADDRESS,
/// BAD_SIZE, or ADDRESS_PAST_END for a size -1 from past the end.
Status CheckRange(const Cfile& archive, int64_t address, int64_t size);
/// The status of an output that could not be made or written: in words of
/// its own for the reasons the system tells, else `otherwise`.
Status OutputFailure(const std::string& path, platform::Failure failure, Code otherwise);
/// The same for the system's error number `error`, which it keeps.
Status SystemFailure(const std::string& path, int error, Code otherwise);

}  // namespace kel

#endif  // KEL_LIB_COPY_H_
