// Keeping an archive whole whatever stops a write into it: how kel opens an
// archive (waiting for another kel), and the journal that makes a change of
// claimed bytes all or nothing.
//
// A change first saves, behind every byte that the archive or the change
// uses, the present bytes of each range it will overwrite, ends the file
// with a trailer that marks the journal live, and syncs. Only then are the
// ranges overwritten and synced. Marking the trailer done and syncing is the
// moment the change takes effect; the journal is then cut off. A kel that
// opens an archive ending in a live journal writes the saved bytes back and
// cuts the file to its old length before anything else, so that a crash or
// a power cut at any moment leaves the old archive or the new one.
#ifndef KEL_JOURNAL_H_
#define KEL_JOURNAL_H_

#include <cstdint>
#include <string>
#include <vector>

#include "support.h"

namespace kel {

/// Opens the archive with `access`, waiting (a bounded time, saying so
/// once) while another program holds it, and rolls back a journal left by a
/// write that stopped. 0, or -1 after its message.
int OpenArchive(const std::string& path, platform::Access access, Cfile& archive);

struct ByteRange {
  int64_t position;
  int64_t count;
};

/// One change of an archive open for writing.
class Journal {
 public:
  /// The change writes nothing at or behind `start`; undone, the archive
  /// is cut back to `oldLength`.
  Journal(Cfile& archive, int64_t start, int64_t oldLength);
  /// The bytes a journal of `ranges` takes behind `start`.
  static int64_t SizeFor(const std::vector<ByteRange>& ranges);

  /// Saves the present bytes of `ranges` behind `start` and syncs the
  /// archive, with every byte written into it so far. 0; or -1, after its
  /// message, with the archive cut back to its old length.
  int Protect(const std::vector<ByteRange>& ranges, Cbuffer& block);
  /// Syncs the overwritten ranges and makes the change take effect, then
  /// cuts the archive to `length`. 0; or -1 after its message, the change
  /// rolled back (or left for the next kel to roll back).
  int Commit(int64_t length);
  /// Writes the saved bytes back and cuts the archive to its old length.
  void RollBack();

 private:
  Cfile& archive_;
  const int64_t start_;
  const int64_t oldLength_;
  int64_t trailerAt_ = -1;
};

}  // namespace kel

#endif  // KEL_JOURNAL_H_
