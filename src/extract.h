// Listing and extraction: the table of stored files, the copy engine that
// unscrambles a byte range into a file, and the commands built on it.
#ifndef KEL_EXTRACT_H_
#define KEL_EXTRACT_H_

#include <cstdint>
#include <string>

#include "support.h"

namespace kel {

class Selection;

/// The -l command: every chosen stored file with its address and grouped
/// size, and the totals; or one JSON object per line for programs.
int ListEntries(const std::string& archivePath, Selection& selection, bool json = false);

/// The -t command: reads the header and the directory, never the stored
/// data, and reports stored files whose data lie past the archive's end,
/// ranges that overlap without being the same, names that extraction would
/// refuse, and the bytes nothing claims. 0 when nothing is wrong.
int TestArchive(const std::string& archivePath);

/// Copies byte ranges of one open archive into files, through one block for
/// the whole run. The block keeps the plain bytes it last read, so that
/// small stored files that lie one after the other cost one read together.
class RangeCopier {
 public:
  explicit RangeCopier(Cfile& archive) : archive_(archive) {}

  /// Copies `size` bytes from `address` (size -1: to the archive's end) into
  /// a new `destFile`, XORing each with DataKey and printing `progressMark`
  /// for every started MiB. 0, or -1 after its message. An output that the
  /// archive names is made as `name` below the held `folder` (OpenFileIn),
  /// and removed when it cannot be written whole; one that the user names
  /// (`folder` -1) is opened as kWriteNew and keeps the bytes written.
  /// Interrupted, it removes the output, names it and returns -1; the
  /// caller ends the process. Any thread, one copier each.
  int CopyRange(const std::string& destFile, int64_t address, int64_t size, const std::string& progressMark,
                int folder = -1, const std::string& name = "");
  /// Why the output of the last copy that failed could not be written.
  platform::Failure Failure() const { return failure_; }
  /// Reads ahead no further than `end`, where the data still to be copied
  /// end (several copiers share out one run of small stored files).
  void ReadUpTo(int64_t end) { readEnd_ = end; }

 private:
  Cfile& archive_;
  platform::Failure failure_ = platform::Failure::kOther;
  Cbuffer block_;
  int64_t windowStart_ = 0;  ///< the archive bytes the block holds, plain
  int64_t windowEnd_ = 0;
  int64_t readEnd_ = INT64_MAX;
};

/// The -e command with a size: any byte range of the archive into a file.
int ExtractRange(const std::string& archivePath, int64_t address, int64_t size, const std::string& destFile);

/// Every chosen stored file below `destDir` (empty, or ending in a
/// backslash), on `threads` threads (0: one per core, at most 8), printing
/// what one thread prints. Goes on after a stored file fails, and then
/// returns -1 at the end.
int ExtractAll(const std::string& archivePath, const std::string& destDir, Selection& selection,
               int threads = 0);

/// The stored file that starts at `address` (the first there that holds
/// bytes), under its bare name in `destDir`.
int ExtractByAddress(const std::string& archivePath, const std::string& destDir, int64_t address);

/// Whether a name taken from the archive stays below the folder it is
/// written into (not absolute, no drive prefix, no ".." component) and the
/// file system can hold each of its names.
bool IsSafeEntryPath(const std::string& path);

/// The name a stored path has for the file system below the destination:
/// its names without empty and "." ones, each followed by a backslash, and
/// folded where the file system takes letters of either case for one.
std::string OutputKey(const std::string& path);

}  // namespace kel

#endif  // KEL_EXTRACT_H_
