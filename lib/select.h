// Choosing stored files by name patterns, as users of tar, unzip and 7-Zip
// write them. A pattern without a folder separator matches a stored file's
// bare name in any folder (*.txt); one with a separator (\ or /) matches
// the whole stored path from the top (chara/*.dds), where a component **
// spans any number of folder levels and a trailing separator means
// everything below. * matches any run of characters within one level, ?
// one character; a double-byte character is one character, whose second
// byte is never a separator or a wildcard. Letters A-Z match either case.
#ifndef KEL_LIB_SELECT_H_
#define KEL_LIB_SELECT_H_

#include <string>
#include <vector>

#include "text.h"

namespace kel {

bool MatchesPattern(const std::string& pattern, const std::string& path, Encoding encoding);

/// The stored files that any of a command line's patterns choose (every
/// stored file when there are none) and none of its `excluded` patterns matches.
class Selection {
 public:
  explicit Selection(std::vector<std::string> patterns = {}, Encoding encoding = Encoding::kShiftJis,
                     std::vector<std::string> excluded = {});

  /// Whether `path` is chosen; notes the patterns that chose it.
  bool Chooses(const std::string& path);
  /// Whether every stored file is chosen (no patterns, no exclusions).
  bool ChoosesAll() const { return patterns_.empty() && excluded_.empty(); }
  /// The patterns that chose nothing so far.
  std::vector<std::string> Unmatched() const;

 private:
  std::vector<std::string> patterns_;
  std::vector<bool> matched_;
  std::vector<std::string> excluded_;
  Encoding encoding_;
};

}  // namespace kel

#endif  // KEL_LIB_SELECT_H_
