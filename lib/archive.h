// Opening an archive: the lock (shared to read, exclusive to write), the
// wait while another program holds it, the recovery of a write that
// stopped, and the header and directory block found. An Archive is what
// every job works on.
#ifndef KEL_LIB_ARCHIVE_H_
#define KEL_LIB_ARCHIVE_H_

#include <cstdint>
#include <string>

#include "events.h"
#include "file.h"
#include "format.h"
#include "status.h"
#include "text.h"

namespace kel {

/// An archive open, its header checked and its directory block found.
struct Archive {
  Cfile file;
  DirectoryLocation location;
  uint64_t missingBytes = 0;  ///< of the block, when the file ends inside it
  Encoding encoding = Encoding::kShiftJis;
};

struct OpenOptions {
  platform::Access access = platform::Access::kRead;
  bool wait = true;  ///< wait up to 60 s while another program holds it
  Encoding encoding = Encoding::kShiftJis;
};

/// Opens the file at `path` with the options' access, waiting (a WAITING
/// event, once) while another program holds it, and settles a proven
/// journal left by a write that stopped: a writer rolls it back (a
/// ROLLED_BACK event; or cuts off that of a write that took effect); a
/// reader rolls it back when it may write the archive, and else reads the
/// archive as it was before, through the saved bytes (a READ_BEFORE event).
Status OpenArchiveFile(const std::string& path, const OpenOptions& options, const Context& context,
                       Cfile& file);
/// The same, then checks the front header and finds the directory block.
Status OpenArchive(const std::string& path, const OpenOptions& options, const Context& context,
                   Archive* archive);
/// Checks the front header and finds the directory block of the file open
/// in `archive`.
Status FindDirectory(Archive* archive);
/// Whether the open file starts with a kel front header.
bool IsKelFile(Cfile& file);
/// A walk of the stored files whose records the file holds whole, paths in
/// the archive's encoding (`stored`: as stored).
DirectoryWalk WalkOf(Archive& archive, bool stored = false);
/// The whole walk, each stored file to `visit`: OK, or READ.
Status WalkDirectory(Archive& archive, const EntryVisitor& visit, bool stored = false);
/// ARCHIVE_CUT for an archive whose file ends before its directory block or
/// before `dataEnd` (where the stored files' data end); else OK.
Status CutStatus(const Archive& archive, uint64_t dataEnd = 0);

}  // namespace kel

#endif  // KEL_LIB_ARCHIVE_H_
