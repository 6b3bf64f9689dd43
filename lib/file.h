// What every job stands on: the owned file, the owned zero-filled block, and
// integers read and written byte by byte, little-endian.
#ifndef KEL_LIB_FILE_H_
#define KEL_LIB_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform.h"
#include "text.h"

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
  /// holds no file). An open file is closed first. `path` is in `encoding`.
  int Open(const std::string& path, platform::Access access, Encoding encoding);
  /// Opens the output `name` in the held `folder` as kWriteEntry, shown as
  /// `shownPath`; with `keep`, only as a new file.
  int OpenIn(int folder, const std::string& name, const std::string& shownPath, Encoding encoding,
             bool keep = false);
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

}  // namespace kel

#endif  // KEL_LIB_FILE_H_
