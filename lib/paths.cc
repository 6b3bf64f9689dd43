// Separators, safe paths and the names paths have on disk.
#include "paths.h"

#include <algorithm>

#include "platform.h"

namespace kel {

size_t FindSeparator(const std::string& path, Encoding encoding, size_t from) {
  // A forward slash is never the second byte of a double-byte character; a
  // 0x5C byte may be, which only a character-aware search from `from` tells.
  // That search stops at the byte in question: on to the end, it made a walk
  // over the folders of a long path cost the square of its length.
  for (size_t at = path.find_first_of("\\/", from); at != std::string::npos;
       at = path.find_first_of("\\/", from)) {
    if (path[at] == '/' || FindCharacter(path.substr(from, at + 1 - from), '\\', encoding) == at - from) {
      return at;
    }
    from = at + 1;  // the 0x5C ended a character, so the next one starts here
  }
  return std::string::npos;
}

size_t FindLastSeparator(const std::string& path, Encoding encoding) {
  size_t backslash = FindLastCharacter(path, '\\', encoding);
  size_t slash = path.rfind('/');
  if (backslash == std::string::npos) return slash;
  return slash == std::string::npos ? backslash : std::max(backslash, slash);
}

std::string LastPathComponent(const std::string& path, Encoding encoding) {
  size_t last = FindLastCharacter(path, '\\', encoding);
  return last == std::string::npos ? path : path.substr(last + 1);
}

void AppendBackslash(std::string& text, Encoding encoding) {
  // The last character, not the last byte: in Shift-JIS text a 0x5C may be
  // the second byte of a double-byte character.
  if (text.empty() || FindLastCharacter(text, '\\', encoding) == text.size() - 1) return;
  text += '\\';
  // Behind half a double-byte character (a UTF-8 name read as Shift-JIS) the
  // backslash would become its second byte; a slash always separates.
  if (FindLastCharacter(text, '\\', encoding) != text.size() - 1) text.back() = '/';
}

std::string WithBackslashes(std::string name) {
  std::replace(name.begin(), name.end(), '/', '\\');
  return name;
}

bool IsSafeEntryPath(const std::string& path, Encoding encoding) {
  if (!path.empty() && (path[0] == '\\' || path[0] == '/')) return false;
  if (path.size() >= 2 && path[1] == ':' &&
      ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'))) {
    return false;
  }
  size_t start = 0;
  while (true) {
    size_t end = FindSeparator(path, encoding, start);
    const std::string name = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (name == ".." || (platform::kRestrictsNames && !platform::CanHoldName(SystemPath(name, encoding)))) {
      return false;
    }
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

std::string OutputKey(const std::string& path, Encoding encoding) {
  std::string key;
  for (size_t start = 0; start <= path.size();) {
    const size_t end = std::min(FindSeparator(path, encoding, start), path.size());
    const std::string name = path.substr(start, end - start);
    if (!name.empty() && name != ".") key += name + '\\';
    start = end + 1;
  }
  if (!platform::kRestrictsNames) return key;
  const std::string folded = platform::FoldedName(SystemPath(key, encoding));
  return folded.empty() ? key : folded;
}

std::string SystemPath(const std::string& path, Encoding encoding) {
  std::string system = path;
  for (size_t at = FindCharacter(system, '\\', encoding); at != std::string::npos;
       at = FindCharacter(system, '\\', encoding, at + 1)) {
    system[at] = '/';
  }
  return platform::ToSystemNames(system, encoding == Encoding::kShiftJis);
}

std::string FromSystem(const std::string& name, Encoding encoding) {
  return platform::FromSystemNames(name, encoding == Encoding::kShiftJis);
}

}  // namespace kel
