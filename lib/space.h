// Space in an archive: what its header, directory block and stored files
// claim, where new bytes go, and the survey that every write makes first.
#ifndef KEL_LIB_SPACE_H_
#define KEL_LIB_SPACE_H_

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "archive.h"
#include "status.h"

namespace kel {

/// The bytes that an archive's header, directory block and stored files
/// claim, and the places left between them.
class ClaimedSpace {
 public:
  void Claim(uint64_t position, uint64_t count);
  /// Claims the first unclaimed range of `count` bytes that lies before
  /// the end of the claims, or else `count` bytes at that end; returns
  /// where. Call once every claim of the archive is in.
  uint64_t Place(uint64_t count);
  /// Where the claims end; 0 when there are none.
  uint64_t End() const { return end_; }

 private:
  std::vector<std::pair<uint64_t, uint64_t>> claims_;  ///< start, end
  std::vector<std::pair<uint64_t, uint64_t>> gaps_;    ///< start, end
  bool settled_ = false;
  uint64_t end_ = 0;
};

/// Whether a stored file is the one a command names.
using Matcher = std::function<bool(const ArchiveEntry&)>;

/// One walk of the directory: the one stored file that `matches` (when
/// there is a matcher; NOT_FOUND or AMBIGUOUS naming `printedName`
/// otherwise), the space that everything claims (when `space` is given),
/// and the refusal of a cut archive (ARCHIVE_CUT) and of one whose data lie
/// in its header or directory (DATA_IN_THE_WAY). `also` sees every stored
/// file.
Status Survey(Archive& archive, const std::string& printedName, const Matcher& matches, ArchiveEntry* found,
              ClaimedSpace* space, const std::function<void(const ArchiveEntry&)>& also = nullptr);

/// Where a stored file's new bytes go: an empty one keeps its address, which
/// lies inside the archive (never made shorter), so that a game seeking
/// there reads nothing; others go where Place puts them, behind the
/// archive's own bytes past its claims (padding, a footer), which are
/// claimed first.
int64_t NewAddress(ClaimedSpace& space, const Cfile& archive, const ArchiveEntry& entry, int64_t count);

}  // namespace kel

#endif  // KEL_LIB_SPACE_H_
