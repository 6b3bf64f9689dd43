// What every command stands on: the owned file and the owned zero-filled
// block, folder creation for an output path, and numbers with thousands
// separators.
#ifndef KEL_SUPPORT_H_
#define KEL_SUPPORT_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform.h"

namespace kel {

/// One open file, closed when the object goes. `fileSize` is the length
/// measured when it was opened.
class Cfile {
 public:
  Cfile() = default;
  ~Cfile();
  Cfile(const Cfile&) = delete;
  Cfile& operator=(const Cfile&) = delete;

  /// 0 on success, otherwise the system's error number (the object then
  /// holds no file). An open file is closed first.
  int Open(const std::string& path, platform::Access access);
  /// Opens the output `name` in the held `folder` as kWriteEntry, shown as `shownPath`.
  int OpenIn(int folder, const std::string& name, const std::string& shownPath);
  /// The count read (short only at the end of the file), or -1.
  int64_t ReadAt(int64_t position, void* destination, size_t count);
  /// `count` bytes at `position` that reads take from `from` in the same file.
  struct Patch {
    int64_t position, count, from;
  };
  /// From now on reads end at `length` (-1: the file's end) and see
  /// `patches` (sorted, disjoint) in place of the file's own bytes: the
  /// archive as it was before a write that did not take effect, unwritten.
  void ReadAs(std::vector<Patch> patches, int64_t length);
  bool WriteAt(int64_t position, const void* source, size_t count);
  /// Writes at the current position, which also works on pipes and devices.
  bool Write(const void* source, size_t count);
  /// Closes the file; false when written data were lost on the way.
  bool Close();

  int handle = -1;
  int64_t fileSize = 0;
  std::string path;  ///< as opened, for messages

 private:
  std::vector<Patch> patches_;
  int64_t readEnd_ = -1;  ///< where reads end; -1: the file's end
};

/// The most a copy holds in memory at once.
constexpr int64_t kCopyBlockSize = 1 << 20;

/// One zero-filled heap block, given back when the object goes.
class Cbuffer {
 public:
  Cbuffer() = default;
  ~Cbuffer();
  Cbuffer(const Cbuffer&) = delete;
  Cbuffer& operator=(const Cbuffer&) = delete;

  /// Replaces the block by a zero-filled one of `count` bytes; null (and no
  /// block) when the memory cannot be had.
  uint8_t* Allocate(size_t count);
  /// Keeps a block that holds `count` bytes (at least 64, at most
  /// kCopyBlockSize), allocating one when the present block is smaller.
  bool FitFor(int64_t count);

  uint8_t* data = nullptr;
  size_t length = 0;
};

/// The number in `width` little-endian bytes.
uint64_t LittleEndian(const uint8_t* bytes, int width);
/// Writes `value` as 8 little-endian bytes.
void PutLittleEndian64(uint8_t* at, uint64_t value);

/// Position of the first folder separator (backslash or slash) at or after
/// `from`, never the second byte of a double-byte character; npos if none.
size_t FindSeparator(const std::string& path, size_t from = 0);
/// Position of the last folder separator; npos if none.
size_t FindLastSeparator(const std::string& path);

/// The folders of outputs below a destination folder held open. Each is
/// reached from the destination's handle one name at a time, never through
/// a link, and an output is opened through a handle of the destination or
/// of its own folder: whatever another process renames or links below the
/// destination meanwhile, no output lands outside it. Stored files come
/// folder by folder: the folder last reached and the one that holds it
/// stay open, so that the next folder beside it costs one call to make.
class OutputFolders {
 public:
  enum Result { kReady, kLink, kFailed };
  /// Whether the missing folder of a path (the path up to its name) may be made.
  using MayMake = std::function<bool(const std::string&)>;

  /// Below the folder held open as `destination`, which outlives this object.
  explicit OutputFolders(int destination);
  ~OutputFolders();
  OutputFolders(const OutputFolders&) = delete;
  OutputFolders& operator=(const OutputFolders&) = delete;

  /// Reaches the folder of `path`, a stored path below the destination.
  /// With `mayMake` (the walk), a missing folder is made when it allows,
  /// and each folder is checked; without (a copy after the walk), it is
  /// only reached where outputs are opened by name in their own folder.
  /// kLink when a link stands for a folder of the path; kFailed with
  /// Failure() when a folder cannot be made or reached, `*cut` then the
  /// length of `path` up to the name that failed when the system tells why,
  /// else the whole length.
  Result Reach(const std::string& path, const MayMake* mayMake, size_t* cut);
  /// The held folder to open the output `path`, reached last, in, and the
  /// output's path there (`*relative`).
  int OutputIn(const std::string& path, std::string* relative) const;
  platform::Failure Failure() const { return failure_; }

 private:
  const int destination_;
  const bool beneath_ = platform::ResolvesBeneath();
  bool known_ = false;
  std::string ready_;       ///< the folder part of the path last reached
  int folder_ = -1;         ///< its handle, when open
  std::string parentText_;  ///< the folder that holds ready_'s last name
  int parent_ = -1;         ///< its handle, when known
  platform::Failure failure_ = platform::Failure::kOther;
};

/// No space, no quota left, a read-only file system: every later output
/// would fail the same way.
bool FailsEveryOutput(platform::Failure failure);

/// Decimal text with a comma between groups of three digits: -1,234,567.
std::string FormatGrouped(int32_t value);
std::string FormatGrouped64(int64_t value);
/// The same text written backwards from `end`, which has room for 26
/// characters before it; returns where the text starts.
char* WriteGrouped(int64_t value, char* end);
/// The same for byte counts and sizes, which may pass 2^63 in a damaged
/// archive.
std::string FormatGroupedUnsigned(uint64_t value);
char* WriteGroupedUnsigned(uint64_t value, char* end);

}  // namespace kel

#endif  // KEL_SUPPORT_H_
