// Extract-all: the walk decides each chosen stored file in its order, and
// the copies run on worker threads; what they tell comes back in walk order.
#ifndef KEL_LIB_WORKERS_H_
#define KEL_LIB_WORKERS_H_

#include <string>

#include "archive.h"
#include "events.h"
#include "record.h"
#include "select.h"
#include "status.h"

namespace kel {

/// Every chosen stored file below `destDir` (empty, or ending in a
/// backslash), on `threads` threads (0: one per core, at most 8), its
/// events (FILE, PROGRESS, FILE_DONE; NOT_FOUND for a pattern that chose
/// nothing) in walk order whatever the count. Goes on after a stored file
/// fails, and then returns NOT_WHOLE; a failure that every output would
/// meet (no space, a read-only file system, no destination) stops it and is
/// returned; a cut archive is told last. With `keep`, outputs that exist
/// are kept (FILE_DONE: EXISTS). With `record`, what it wrote whole becomes
/// the record of the pair (unless cancelled); kept outputs are not in it.
Status ExtractAll(Archive& archive, const std::string& destDir, Selection& selection, int threads,
                  const Context& context, bool keep = false, const RecordOptions* record = nullptr);

}  // namespace kel

#endif  // KEL_LIB_WORKERS_H_
