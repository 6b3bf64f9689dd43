// The folders of outputs below a destination held open, reached so that no
// output lands outside it whatever another process does meanwhile.
#ifndef KEL_LIB_FOLDERS_H_
#define KEL_LIB_FOLDERS_H_

#include <cstddef>
#include <functional>
#include <string>

#include "platform.h"
#include "text.h"

namespace kel {

/// The folders of outputs below a destination folder held open. Each is
/// reached from the destination's handle one name at a time, never through
/// a link, and an output is opened through a handle of the destination or
/// of its own folder: whatever another process renames or links below the
/// destination meanwhile, no output lands outside it. Stored files come
/// folder by folder: the folder last reached and the one that holds it
/// stay open, so that the next folder beside it costs one call to make.
class OutputFolders {
 public:
  enum Result { kReady, kLink, kFailed };
  /// Whether the missing folder of a path (the path up to its name) may be made.
  using MayMake = std::function<bool(const std::string&)>;

  /// Below the folder held open as `destination`, which outlives this object;
  /// paths in `encoding`.
  OutputFolders(int destination, Encoding encoding);
  ~OutputFolders();
  OutputFolders(const OutputFolders&) = delete;
  OutputFolders& operator=(const OutputFolders&) = delete;

  /// Reaches the folder of `path`, a stored path below the destination.
  /// With `mayMake` (the walk), a missing folder is made when it allows,
  /// and each folder is checked; without (a copy after the walk), it is
  /// only reached where outputs are opened by name in their own folder.
  /// kLink when a link stands for a folder of the path; kFailed with
  /// Failure() when a folder cannot be made or reached, `*cut` then the
  /// length of `path` up to the name that failed when the system tells why,
  /// else the whole length.
  Result Reach(const std::string& path, const MayMake* mayMake, size_t* cut);
  /// The held folder to open the output `path`, reached last, in, and the
  /// output's path there (`*relative`).
  int OutputIn(const std::string& path, std::string* relative) const;
  platform::Failure Failure() const { return failure_; }

 private:
  const int destination_;
  const Encoding encoding_;
  const bool beneath_ = platform::ResolvesBeneath();
  bool known_ = false;
  std::string ready_;       ///< the folder part of the path last reached
  int folder_ = -1;         ///< its handle, when open
  std::string parentText_;  ///< the folder that holds ready_'s last name
  int parent_ = -1;         ///< its handle, when known
  platform::Failure failure_ = platform::Failure::kOther;
};

/// No space, no quota left, a read-only file system: every later output
/// would fail the same way.
bool FailsEveryOutput(platform::Failure failure);

}  // namespace kel

#endif  // KEL_LIB_FOLDERS_H_
