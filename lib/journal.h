// The journal that makes a change of an archive's claimed bytes all or
// nothing, whatever stops it.
//
// A change first ends the file with a trailer of its own (prepared), then
// saves behind the archive's bytes and the change's new bytes the present
// bytes of what it will overwrite, marks the trailer live and syncs. Only
// then are the new bytes written and the claimed bytes overwritten, and
// synced. Marking the trailer done and syncing is the moment the change
// takes effect; the journal is then cut off. Opening an archive settles a
// journal that a stopped write left (recovery.h).
#ifndef KEL_LIB_JOURNAL_H_
#define KEL_LIB_JOURNAL_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "events.h"
#include "file.h"
#include "format.h"
#include "status.h"

namespace kel {

struct ByteRange {
  int64_t position;
  int64_t count;
};

/// A record switched to new data: where its size field lies in the file,
/// and its new size and address.
struct RecordSwitch {
  int64_t position;
  uint64_t size;
  uint64_t address;
};

/// A record's 16 bytes of size and address at `position`, before and after
/// a switch.
struct SavedFields {
  int64_t position;
  uint8_t old[16];
  uint8_t fresh[16];
};

/// One change of an archive open for writing.
class Journal {
 public:
  /// A change that leaves the archive `finalLength` long, at least its
  /// present length, and writes nothing behind that. `location`: the
  /// archive's directory block; null for a file that is no kel archive,
  /// whose journal only this process acts on. `context` cancels it.
  Journal(Cfile& archive, const DirectoryLocation* location, int64_t finalLength, const Context& context);
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  /// Saves the records' present fields and syncs; Commit writes the new
  /// ones. OK; or a failure with the archive as it was.
  Status Save(std::vector<RecordSwitch> switches, Cbuffer& block);
  /// Saves the present bytes of `range`, which the caller then overwrites,
  /// and syncs. OK; or a failure with the archive as it was.
  Status Save(ByteRange range, Cbuffer& block);
  /// Writes the switched records, syncs, makes the change take effect and
  /// cuts the archive to its final length. OK; or a failure, the change
  /// rolled back (or, with undoFailed, left for the next kel to roll back).
  Status Commit();
  /// Writes the saved bytes back and cuts the archive to its old length;
  /// false when that failed (the next kel that opens it tries again).
  bool RollBack();
  /// The digest of the header and directory as the change leaves them.
  uint64_t NewDigest() const { return LittleEndian(trailer_ + 48, 8); }

 private:
  /// Writes `count` bytes of the journal's body in turn; false when it fails.
  using Put = std::function<bool(const uint8_t* bytes, size_t count)>;
  /// Writes the trailer, the body that `body` puts, and the trailer again,
  /// live, and syncs.
  Status Begin(char kind, int64_t bodyLength, Cbuffer& block, const std::function<bool(const Put&)>& body);
  /// Writes the trailer in `state`.
  bool Mark(char state);

  Cfile& archive_;
  const DirectoryLocation* const location_;
  const int64_t oldLength_;
  const int64_t finalLength_;
  const Context& context_;
  std::vector<SavedFields> saved_;
  ByteRange range_ = {0, 0};
  uint8_t trailer_[80] = {};
  int64_t trailerAt_ = -1;
};

// The journal's bytes, which its recovery reads too.
namespace journal {

constexpr int64_t kTrailerSize = 80;
constexpr int64_t kSector = 512;
constexpr int64_t kFieldsSize = 16;
constexpr int64_t kSavedSize = 8 + 2 * kFieldsSize;  ///< a switched record in the body
constexpr int64_t kRangeHeadSize = 16;
constexpr char kRecords = 'R';
constexpr char kMerge = 'M';
constexpr char kPrepared = 'P';
constexpr char kLive = 'L';
constexpr char kDone = 'D';

/// A 64-bit checksum in four independent lanes, so that a journal of a
/// large merge costs little next to writing it.
class Checksum {
 public:
  void Add(const uint8_t* bytes, size_t count);
  uint64_t Value() const;

 private:
  static constexpr size_t kStripe = 32;
  void Stripe(const uint8_t* bytes);
  uint64_t lanes_[4] = {1, 2, 3, 4};
  uint8_t stripe_[kStripe] = {};
  size_t pending_ = 0;
  uint64_t total_ = 0;
};

struct Trailer {
  int64_t at = 0;  ///< where the trailer starts
  int64_t oldLength = 0, finalLength = 0, bodyStart = 0, bodyLength = 0;
  uint64_t bodySum = 0, oldDigest = 0, newDigest = 0;
  char kind = 0, state = 0;
};

/// The trailer's 80 bytes in `state`.
void Encode(const Trailer& trailer, char state, uint8_t* bytes);
/// Whether `bytes` are a trailer of kel's (its checksum, magic, kind and state).
bool Decode(const uint8_t* bytes, Trailer* trailer);
/// Where the trailer of a body ending at `bodyEnd` goes: right behind it, or
/// at the next sector, so that one write inside one sector makes it.
int64_t TrailerAt(int64_t bodyEnd);
/// The digests of the front header and the directory block as `archive`
/// reads them, with each field of `saved` holding its old bytes, and with
/// each holding its new ones. False when they cannot be read.
bool Digests(Cfile& archive, const DirectoryLocation& location, const std::vector<SavedFields>& saved,
             uint64_t digests[2], Cbuffer& block);
/// Copies `count` bytes of the archive from `from` to `to`.
bool CopyWithin(Cfile& archive, int64_t from, int64_t to, int64_t count, Cbuffer& block);
/// Cuts the archive to `length` and syncs.
bool CutTo(const Cfile& archive, int64_t length);

}  // namespace journal
}  // namespace kel

#endif  // KEL_LIB_JOURNAL_H_
