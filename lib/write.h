// The write path: merging (a stored file's bytes overwritten in place by a
// replacement of the same size, once its first plain bytes match) and
// replacing (new bytes of any size where nothing is claimed, then the
// record switched), and the moves that replacements and put-backs share.
//
// Every write holds the archive for writing from the directory walk to the
// last write, checks everything before the first byte is written, and
// changes claimed bytes only through the journal, so that whatever stops it
// leaves the old archive or the new one. A cancel before the first write
// stops it at once; while the change's bytes are written it cancels the
// change; the switch itself is short and is finished first. A CHANGE event
// comes right before the first write: the caller's last word.
#ifndef KEL_LIB_WRITE_H_
#define KEL_LIB_WRITE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "archive.h"
#include "events.h"
#include "space.h"
#include "status.h"

namespace kel {

/// Writes `mergeFile` over the file open in `archive` from `address` on,
/// once its first bytes (up to 4) equal the stored plain bytes there; a kel
/// archive is first checked whole, and takes merges into its stored files'
/// data only. A FILE event (path: the merge file, address) comes once the
/// file is open.
Status MergeAt(Archive& archive, const std::string& mergeFile, int64_t address, const Context& context);
/// Merges `mergeFile` over the one stored file that `matches` (NOT_FOUND or
/// AMBIGUOUS name `printedName`), which must have its size.
Status Merge(Archive& archive, const std::string& printedName, const Matcher& matches,
             const std::string& mergeFile, const Context& context);

/// New bytes for one stored file: `count` bytes of `file` (or of `data`
/// when it is not null), to `position`.
struct Move {
  ArchiveEntry target;
  std::string file;
  int64_t count;
  int64_t position;
  const uint8_t* data = nullptr;
};

/// Replaces the one stored file that `matches` by the bytes of `file` (or
/// the `size` bytes of `data`), whatever their size. The new bytes go into
/// the first unclaimed range that holds them, else behind everything
/// claimed. A FILE event (path: the file, other: the stored path, address:
/// the new one, size, old_size) tells the move before it is written.
Status Replace(Archive& archive, const std::string& printedName, const Matcher& matches,
               const std::string& file, const Context& context, const uint8_t* data = nullptr,
               int64_t size = 0);

/// The change of replacements and put-backs: every record switched, through
/// the journal, to its file's bytes, written where nothing claims them once
/// the journal is synced; the archive is then `length` long, where it ended
/// or where the last of them end. `newDigest` (may be null) takes the
/// digest of the header and directory the change leaves.
Status WriteMoves(Archive& archive, const std::vector<Move>& moves, int64_t length, Cbuffer& block,
                  const Context& context, uint64_t* newDigest = nullptr);
/// The CHANGE event and the last look at the cancel flag before a change.
Status ReadyToChange(const Context& context);
/// A block for copying `count` bytes: no larger than the work.
Status AllocateFor(Cbuffer& block, int64_t count);

}  // namespace kel

#endif  // KEL_LIB_WRITE_H_
