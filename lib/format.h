// The kel archive format: bytes in, entries out.
//
// An archive starts with a 34-byte front header scrambled with ScrambleKey:
// magic 0x1DDF at 0, and at 26 the u32 directoryEnd, where the directory
// block ends. The block starts at 34 plus a multiple of 4 with the head
// "DT01", a u32, and the u64 length of the whole block; its items follow the
// 16-byte head: end markers (u32 0xFFFFFFFF) and records
//   u32 lead, u32 n, n name bytes (scrambled, zero-terminated), 8 bytes,
//   u32 folderFlag, u64 size, u64 address, 4 bytes
// in tree pre-order, each list of children closed by an end marker.
// Stored data are XORed with DataKey. All integers are little-endian.
#ifndef KEL_LIB_FORMAT_H_
#define KEL_LIB_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "file.h"
#include "status.h"
#include "text.h"

namespace kel {

extern const uint8_t ScrambleKey[24];
constexpr uint8_t DataKey = 0xC6;
constexpr size_t kFrontHeaderSize = 34;
constexpr uint16_t kMagic = 0x1DDF;

/// XORs stored data with DataKey (its own inverse), in place.
void ApplyDataKey(uint8_t* bytes, size_t count);

/// XORs a run with ScrambleKey, the key index starting at 0 (its own inverse).
void Unscramble(uint8_t* bytes, size_t count);

/// Unscrambles the first kFrontHeaderSize bytes of `header`, of which the
/// file had `size`, in place and checks the magic: OK with `directoryEnd`
/// set, NOT_KEL, or HEADER_CUT for a header that the file cuts.
Status CheckFrontHeader(uint8_t* header, size_t size, uint32_t* directoryEnd);

struct DirectoryLocation {
  uint32_t blockTag = 0;
  uint32_t blockWord = 0;
  uint64_t blockLength = 0;
  uint32_t blockPosition = 0;
};

/// Finds the first position 34 + 4k below `directoryEnd` that holds "DT01"
/// and a length that ends the block exactly at `directoryEnd`. Bytes past the
/// end of the file or at `directoryEnd` and beyond read as zero. Reads the
/// archive in bounded windows and stops at the first hit: OK, MEMORY or
/// NO_DIRECTORY.
Status FindDirectoryBlock(Cfile& archive, uint32_t directoryEnd, DirectoryLocation* location);

struct ArchiveEntry {
  uint32_t folderFlag = 0;
  uint64_t address = 0;
  uint64_t size = 0;
  std::string path;  ///< folders and name joined by backslashes
  /// Where the record's size field lies in the directory block; the address
  /// field follows it.
  uint64_t sizeFieldOffset = 0;
};

/// Takes each stored file the walk finds; false stops the walk.
using EntryVisitor = std::function<bool(const ArchiveEntry&)>;
/// Reads `count` bytes of a directory block from `offset` on: `count`, or -1.
using BlockReader = std::function<int64_t(uint64_t offset, uint8_t* destination, size_t count)>;

/// Walks the items in the first `size` bytes of a directory block, read
/// through `read` in fixed windows, and gives every stored file in
/// directory order, its path in `encoding` (kShiftJis: as stored). Items
/// that run past `size` are dropped.
class DirectoryWalk {
 public:
  DirectoryWalk(BlockReader read, uint64_t size, Encoding encoding);
  ~DirectoryWalk();
  DirectoryWalk(DirectoryWalk&&) noexcept;
  DirectoryWalk& operator=(DirectoryWalk&&) noexcept;
  DirectoryWalk(const DirectoryWalk&) = delete;
  DirectoryWalk& operator=(const DirectoryWalk&) = delete;

  enum Step { kEntry, kEnd, kFailed };
  /// The next stored file into `entry`; kFailed when a read failed.
  Step Next(ArchiveEntry* entry);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

/// The whole walk, each stored file to `visit`: kEnd when it went through
/// (or `visit` stopped it), kFailed when a read failed.
DirectoryWalk::Step WalkDirectory(const BlockReader& read, uint64_t size, const EntryVisitor& visit,
                                  Encoding encoding = Encoding::kShiftJis);

/// Where a stored file's data end; the largest position for a range that
/// runs past it.
uint64_t DataEnd(const ArchiveEntry& entry);
/// Whether `count` bytes at `position` lie where only stored files' data
/// may: behind the header, outside the directory block, and up to
/// `claimsEnd` (where the claims of the archive end).
bool InDataArea(const DirectoryLocation& location, uint64_t claimsEnd, uint64_t position, uint64_t count);

}  // namespace kel

#endif  // KEL_LIB_FORMAT_H_
