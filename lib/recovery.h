// Recovery of a write that stopped: a journal at the archive's end acts
// only where kel can prove that a write of its own made it for this
// archive; then a writer finishes or undoes that write first, and a reader
// reads the archive as it was.
#ifndef KEL_LIB_RECOVERY_H_
#define KEL_LIB_RECOVERY_H_

#include <vector>

#include "events.h"
#include "file.h"
#include "journal.h"
#include "status.h"

namespace kel {

/// A journal at the end of the archive, proven to be one that a write of
/// kel's made for this archive.
struct Proof {
  journal::Trailer trailer;
  bool saved = false;  ///< the body is whole: the saved bytes can be put back
  std::vector<SavedFields> fields;
  ByteRange range = {0, 0};
  std::vector<Cfile::Patch> patches;  ///< where the saved bytes lie
};

/// Whether the open archive ends in a journal that kel wrote for it; the
/// archive then reads as it was before that write, and otherwise as it is.
bool Prove(Cfile& archive, Proof* proof);
/// A writer's part: a write that took effect loses its journal, one that
/// did not is undone (the saved bytes go back where they were read, then
/// the journal and what the write appended are cut off), told by a
/// ROLLED_BACK event. OK, WRITE or ROLLBACK.
Status Settle(Cfile& archive, const Proof& proof, const Context& context);

}  // namespace kel

#endif  // KEL_LIB_RECOVERY_H_
