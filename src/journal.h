// Keeping an archive whole whatever stops a write into it: how kel opens an
// archive (waiting for another kel, finishing or undoing a write that
// stopped), and the journal that makes a change of claimed bytes all or
// nothing.
//
// A change first ends the file with a trailer of its own (prepared), then
// saves behind the archive's bytes and the change's new bytes the present
// bytes of what it will overwrite, marks the trailer live and syncs. Only
// then are the new bytes written and the claimed bytes overwritten, and
// synced. Marking the trailer done and syncing is the moment the change
// takes effect; the journal is then cut off. A kel that opens an archive
// ending in a journal that it can prove was written for this archive by a
// write of kel's finishes or undoes that write before anything else; a
// trailer it cannot prove is the archive's own bytes, read as they are.
#ifndef KEL_JOURNAL_H_
#define KEL_JOURNAL_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "archive.h"
#include "support.h"

namespace kel {

/// Opens the archive with `access`, waiting (a bounded time, saying so
/// once) while another program holds it, and settles a proven journal left
/// by a write that stopped: a writer rolls it back (or cuts off that of a
/// write that took effect); a reader rolls it back when it may write the
/// archive, and else reads the archive as it was before, through the saved
/// bytes. 0, or -1 after its message.
int OpenArchive(const std::string& path, platform::Access access, Cfile& archive);

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
  /// whose journal only this process acts on.
  Journal(Cfile& archive, const DirectoryLocation* location, int64_t finalLength);
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  /// Saves the records' present fields and syncs; Commit writes the new
  /// ones. 0; or -1, after its message, with the archive as it was.
  int Save(std::vector<RecordSwitch> switches, Cbuffer& block);
  /// Saves the present bytes of `range`, which the caller then overwrites,
  /// and syncs. 0; or -1, after its message, with the archive as it was.
  int Save(ByteRange range, Cbuffer& block);
  /// Writes the switched records, syncs, makes the change take effect and
  /// cuts the archive to its final length. 0; or -1 after its message, the
  /// change rolled back (or left for the next kel to roll back).
  int Commit();
  /// Writes the saved bytes back and cuts the archive to its old length.
  void RollBack();

 private:
  /// Writes `count` bytes of the journal's body in turn; false when it fails.
  using Put = std::function<bool(const uint8_t* bytes, size_t count)>;
  /// Writes the trailer, the body that `body` puts, and the trailer again,
  /// live, and syncs.
  int Begin(char kind, int64_t bodyLength, Cbuffer& block, const std::function<bool(const Put&)>& body);
  /// Writes the trailer in `state`.
  bool Mark(char state);

  Cfile& archive_;
  const DirectoryLocation* const location_;
  const int64_t oldLength_;
  const int64_t finalLength_;
  std::vector<SavedFields> saved_;
  ByteRange range_ = {0, 0};
  uint8_t trailer_[80] = {};
  int64_t trailerAt_ = -1;
};

}  // namespace kel

#endif  // KEL_JOURNAL_H_
