// Name matching for merges and replacements.
#include "names.h"

#include <algorithm>

#include "paths.h"

namespace kel {

Matcher ByFileName(const std::string& file, std::string* searchName, Encoding encoding) {
  const size_t last = FindLastSeparator(file, encoding);
  *searchName = last == std::string::npos ? file : file.substr(last + 1);
  return [name = *searchName, encoding](const ArchiveEntry& entry) {
    return EqualIgnoringCase(LastPathComponent(entry.path, encoding), name, encoding);
  };
}

Matcher ByName(const std::string& mergeName, Encoding encoding) {
  const std::string name = WithBackslashes(mergeName);
  const bool hasFolderPart = FindCharacter(name, '\\', encoding) != std::string::npos;
  return [name, hasFolderPart, encoding](const ArchiveEntry& entry) {
    return hasFolderPart ? entry.path.find(name) != std::string::npos
                         : EqualIgnoringCase(LastPathComponent(entry.path, encoding), name, encoding);
  };
}

Matcher ByLastComponents(const std::string& storedName, Encoding encoding) {
  return [name = WithBackslashes(storedName), encoding](const ArchiveEntry& entry) {
    if (entry.path.size() < name.size()) return false;
    const size_t start = entry.path.size() - name.size();
    // A quick look at the bytes, letters folded, before the exact test.
    if (!std::equal(name.begin(), name.end(), entry.path.begin() + static_cast<std::ptrdiff_t>(start),
                    [](char a, char b) { return FoldAscii(a) == FoldAscii(b); })) {
      return false;
    }
    const bool boundary =
        start == 0 || FindLastCharacter(entry.path.substr(0, start), '\\', encoding) == start - 1;
    return boundary && EqualIgnoringCase(entry.path.substr(start), name, encoding);
  };
}

}  // namespace kel
