// The compact copy: every stored file's data once, in directory order, and
// nothing unclaimed.
#ifndef KEL_LIB_COMPACT_H_
#define KEL_LIB_COMPACT_H_

#include <cstdint>
#include <string>

#include "archive.h"
#include "events.h"
#include "status.h"

namespace kel {

/// Writes the compact copy of the archive open at `archivePath` to
/// `newFile`, which must not exist, or (when it is empty) in the place of
/// the archive's own name (behind any link), which holds the old archive
/// until the copy is whole and has its owner, mode and attributes (the
/// archive must be open to write then, and is closed after). The copy is a
/// new file that no name leads to while it is written, or one of kel's own
/// name that a later run removes if this one is killed. A CHANGE event
/// (old_size: the archive's length, size: the copy's) comes before the copy
/// takes its place.
Status Compact(Archive& archive, const std::string& archivePath, const std::string& newFile,
               const Context& context, uint64_t* newLength);

}  // namespace kel

#endif  // KEL_LIB_COMPACT_H_
