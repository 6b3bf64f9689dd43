// Put-back: every file of an extracted folder whose bytes differ from its
// stored file, written back in one change.
#ifndef KEL_LIB_UPDATE_H_
#define KEL_LIB_UPDATE_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "archive.h"
#include "events.h"
#include "record.h"
#include "select.h"
#include "status.h"

namespace kel {

/// What a folder holds: its regular files (path relative to it, folders
/// joined by backslashes, and size), and the entries that are not read:
/// links (never followed), other entries that are no regular file, and
/// folders that cannot be read (marked true). Both sorted.
struct FolderListing {
  std::string folder;
  std::vector<std::pair<std::string, int64_t>> files;
  std::vector<std::pair<std::string, bool>> others;
};
/// Lists `folder` (in `encoding`); OPEN when it cannot be read.
Status ListFolder(const std::string& folder, Encoding encoding, FolderListing* listing);

struct UpdateCounts {
  uint64_t changed = 0, unchanged = 0, notFound = 0, skipped = 0;
  /// Nothing is written: a dry run, or a file that stands for two stored files.
  bool nothingWritten = false;
};

/// Puts back every listed file (that the patterns choose) whose path is
/// that of a stored file as extraction writes it and whose bytes differ
/// from the stored ones, all in one change (or, with `dryRun`, tells what it
/// would do): an UPDATE event for each. Files that name no stored file
/// (NOT_FOUND events) and entries that are not read (FILE_DONE events with
/// NOT_REGULAR or OPEN) make the result NOT_WHOLE once the others are put
/// back. A file that changes while it is read makes the whole change write
/// nothing. `counts` are filled before the CHANGE event. With `record`, a
/// file that the pair's record proves unchanged is not read, and the files
/// found equal or put back become the pair's record.
Status Update(Archive& archive, const FolderListing& listing, Selection& selection, bool dryRun,
              const Context& context, UpdateCounts* counts, const RecordOptions* record = nullptr);

}  // namespace kel

#endif  // KEL_LIB_UPDATE_H_
