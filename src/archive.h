// The kel archive format as this tool reads it, and the process-wide table
// of stored files.
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
#ifndef KEL_ARCHIVE_H_
#define KEL_ARCHIVE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "support.h"

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
/// file had `size`, in place and checks the magic. 0 with `directoryEnd`
/// set, or -1 after its message (also for a header that the file cuts).
int CheckFrontHeader(uint8_t* header, size_t size, uint32_t* directoryEnd);

struct DirectoryLocation {
  uint32_t blockTag = 0;
  uint32_t blockWord = 0;
  uint64_t blockLength = 0;
  uint32_t blockPosition = 0;
};

/// Finds the first position 34 + 4k below `directoryEnd` that holds "DT01"
/// and a length that ends the block exactly at `directoryEnd`. Bytes past the
/// end of the file or at `directoryEnd` and beyond read as zero. Reads the
/// archive in bounded windows and stops at the first hit. 0, or -1 after
/// its message (none when `quiet`).
int FindDirectoryBlock(Cfile& archive, uint32_t directoryEnd, DirectoryLocation* location,
                       bool quiet = false);

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
/// Reads `count` bytes of a directory block from `offset` on: `count`, or -1
/// after its message.
using BlockReader = std::function<int64_t(uint64_t offset, uint8_t* destination, size_t count)>;

/// Walks the items in the first `size` bytes of a directory block, read
/// through `read` in fixed windows, and hands every stored file to `visit`
/// in directory order, its path in the process code page (or as stored,
/// with `storedNames`). Items that run past `size` are dropped. 0, or -1
/// when a read failed.
int WalkDirectory(const BlockReader& read, uint64_t size, const EntryVisitor& visit,
                  bool storedNames = false);

/// An archive open, its header checked and its directory block found.
struct Directory {
  Cfile archive;
  DirectoryLocation location;
  uint64_t missingBytes = 0;  ///< of the block, when the file ends inside it
  bool storedNames = false;   ///< walk with the names as stored, unconverted
};

/// Opens the archive with `access` (see OpenArchive), checks its front
/// header and finds its directory block. 0, or -1 after one message.
int LoadDirectory(const std::string& archivePath, Directory* directory,
                  platform::Access access = platform::Access::kRead);
/// The same for an archive already open in `directory`.
int FindDirectory(Directory* directory);
/// Whether the open file starts with a kel front header.
bool IsKelFile(Cfile& archive);
/// Hands every stored file whose record the file holds whole to `visit`.
/// 0, or -1 after its message.
int WalkDirectory(Directory& directory, const EntryVisitor& visit);
/// Where a stored file's data end; the largest position for a range that
/// runs past it.
uint64_t DataEnd(const ArchiveEntry& entry);
/// Whether `count` bytes at `position` lie where only stored files' data
/// may: behind the header, outside the directory block, and up to
/// `claimsEnd` (where the claims of the archive end).
bool InDataArea(const DirectoryLocation& location, uint64_t claimsEnd, uint64_t position, uint64_t count);
/// For an archive whose file ends before its directory block or before
/// `dataEnd` (where the stored files' data end): the cut message and -1.
/// Otherwise 0.
int ReportCut(const Directory& directory, uint64_t dataEnd = 0);

/// The bytes that an archive's header, directory block and stored files
/// claim, and the places left between them.
class ClaimedSpace {
 public:
  void Claim(uint64_t position, uint64_t count);
  /// Claims the first unclaimed range of `count` bytes that lies before
  /// the end of the claims, or else `count` bytes at that end; returns
  /// where. Call once every claim of the archive is in.
  uint64_t Place(uint64_t count);
  /// Where the claims end; 0 when there are none.
  uint64_t End() const { return end_; }

 private:
  std::vector<std::pair<uint64_t, uint64_t>> claims_;  ///< start, end
  std::vector<std::pair<uint64_t, uint64_t>> gaps_;    ///< start, end
  bool settled_ = false;
  uint64_t end_ = 0;
};

/// The part of `path` after its last backslash character (never the second
/// byte of a double-byte character).
std::string LastPathComponent(const std::string& path);

}  // namespace kel

#endif  // KEL_ARCHIVE_H_
