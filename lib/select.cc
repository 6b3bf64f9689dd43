// Both levels of matching, characters within a folder level and levels
// within a path, take the classic greedy course with one point to return
// to (the last * or **), which is enough for wildcards that match any run:
// time grows with the product of the lengths, never exponentially.
#include "select.h"

#include <algorithm>

#include "paths.h"

namespace kel {
namespace {

std::vector<std::string> Levels(const std::string& path, Encoding encoding) {
  std::vector<std::string> levels;
  size_t start = 0;
  for (size_t end = FindSeparator(path, encoding); end != std::string::npos;
       end = FindSeparator(path, encoding, start)) {
    levels.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  levels.push_back(path.substr(start));
  return levels;
}

// Characters of `length` bytes at `p` in `pattern` and at `n` in `name`.
bool SameCharacter(const std::string& pattern, size_t p, const std::string& name, size_t n, size_t length) {
  if (length == 1) return FoldAscii(pattern[p]) == FoldAscii(name[n]);
  return pattern.compare(p, length, name, n, length) == 0;
}

bool MatchesLevel(const std::string& pattern, const std::string& name, Encoding encoding) {
  size_t p = 0, n = 0;
  size_t starP = std::string::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = ++p;
      starN = n;
      continue;
    }
    const size_t patternLength = p < pattern.size() ? CharacterLength(pattern, p, encoding) : 0;
    const size_t nameLength = CharacterLength(name, n, encoding);
    const bool one = patternLength == 1 && pattern[p] == '?';
    if (p < pattern.size() &&
        (one || (patternLength == nameLength && SameCharacter(pattern, p, name, n, nameLength)))) {
      p += patternLength;
      n += nameLength;
    } else if (starP != std::string::npos) {
      // The last * takes one more character, and matching goes on behind it.
      p = starP;
      starN += CharacterLength(name, starN, encoding);
      n = starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool MatchesLevels(const std::vector<std::string>& pattern, const std::vector<std::string>& path,
                   Encoding encoding) {
  size_t p = 0, n = 0;
  size_t starP = std::string::npos, starN = 0;
  while (n < path.size()) {
    if (p < pattern.size() && pattern[p] == "**") {
      starP = ++p;
      starN = n;
    } else if (p < pattern.size() && MatchesLevel(pattern[p], path[n], encoding)) {
      ++p;
      ++n;
    } else if (starP != std::string::npos) {
      p = starP;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == "**") ++p;
  return p == pattern.size();
}

}  // namespace

bool MatchesPattern(const std::string& pattern, const std::string& path, Encoding encoding) {
  // "./x" and "/x" name x at the top, as shells and tar write a path.
  const bool dotted = pattern.size() > 1 && pattern[0] == '.' && (pattern[1] == '/' || pattern[1] == '\\');
  const size_t top = dotted ? 2 : !pattern.empty() && (pattern[0] == '/' || pattern[0] == '\\') ? 1 : 0;
  if (top == 0 && FindSeparator(pattern, encoding) == std::string::npos) {
    return MatchesLevel(pattern, LastPathComponent(path, encoding), encoding);
  }
  std::vector<std::string> levels = Levels(pattern.substr(top), encoding);
  // A trailing separator chooses what lies below that folder: one level or
  // more, never a file of the folder's name.
  if (levels.back().empty()) {
    levels.back() = "*";
    levels.emplace_back("**");
  }
  return MatchesLevels(levels, Levels(path, encoding), encoding);
}

Selection::Selection(std::vector<std::string> patterns, Encoding encoding, std::vector<std::string> excluded)
    : patterns_(std::move(patterns)),
      matched_(patterns_.size(), false),
      excluded_(std::move(excluded)),
      encoding_(encoding) {}

bool Selection::Chooses(const std::string& path) {
  if (std::any_of(excluded_.begin(), excluded_.end(), [this, &path](const std::string& pattern) {
        return MatchesPattern(pattern, path, encoding_);
      })) {
    return false;
  }
  bool chosen = patterns_.empty();
  for (size_t i = 0; i < patterns_.size(); ++i) {
    if (MatchesPattern(patterns_[i], path, encoding_)) matched_[i] = chosen = true;
  }
  return chosen;
}

std::vector<std::string> Selection::Unmatched() const {
  std::vector<std::string> unmatched;
  for (size_t i = 0; i < patterns_.size(); ++i) {
    if (!matched_[i]) unmatched.push_back(patterns_[i]);
  }
  return unmatched;
}

}  // namespace kel
