// Test: the header and the directory checked against each other and the
// file's length, never the stored data. (Listing is the caller walking the
// entries: archive.h.)
#ifndef KEL_LIB_LISTING_H_
#define KEL_LIB_LISTING_H_

#include <cstdint>

#include "archive.h"
#include "events.h"
#include "status.h"

namespace kel {

struct TestSummary {
  uint32_t files = 0;
  uint64_t bytes = 0;
  uint64_t problems = 0;
  uint64_t unclaimed = 0;
  uint64_t fileSize = 0;
};

/// A PROBLEM event for each stored file whose data lie past the archive's
/// end (DATA_PAST_END) or whose name extraction would refuse (UNSAFE_PATH),
/// for ranges that overlap without being the same (OVERLAP, the first ten,
/// then MORE_OVERLAPS), and for a cut directory (ARCHIVE_CUT); `summary`
/// takes the counts and the bytes nothing claims. DAMAGED when there was a
/// problem.
Status TestArchive(Archive& archive, const Context& context, TestSummary* summary);

}  // namespace kel

#endif  // KEL_LIB_LISTING_H_
