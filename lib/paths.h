// Paths: folder separators (a backslash character or a slash), the last
// component, the one check that a stored path stays below the folder it is
// written into, the name a stored path has on disk, and the form in which
// paths reach the system.
#ifndef KEL_LIB_PATHS_H_
#define KEL_LIB_PATHS_H_

#include <cstddef>
#include <string>

#include "text.h"

namespace kel {

/// Position of the first folder separator (backslash or slash) at or after
/// `from`, never the second byte of a double-byte character; npos if none.
size_t FindSeparator(const std::string& path, Encoding encoding, size_t from = 0);
/// Position of the last folder separator; npos if none.
size_t FindLastSeparator(const std::string& path, Encoding encoding);
/// The part of `path` after its last backslash character.
std::string LastPathComponent(const std::string& path, Encoding encoding);
/// Ends a non-empty folder text with a backslash, unless it has one.
void AppendBackslash(std::string& text, Encoding encoding);
/// Every slash byte a backslash.
std::string WithBackslashes(std::string name);

/// Whether a name taken from the archive stays below the folder it is
/// written into (not absolute, no drive prefix, no ".." component) and the
/// file system can hold each of its names.
bool IsSafeEntryPath(const std::string& path, Encoding encoding);
/// The name a stored path has for the file system below the destination:
/// its names without empty and "." ones, each followed by a backslash, and
/// folded where the file system takes letters of either case for one.
std::string OutputKey(const std::string& path, Encoding encoding);

/// `path` as the system takes it (platform.h): separators the system's,
/// names converted where the system wants them in another encoding.
std::string SystemPath(const std::string& path, Encoding encoding);
/// A name the system gave back, in `encoding`.
std::string FromSystem(const std::string& name, Encoding encoding);

}  // namespace kel

#endif  // KEL_LIB_PATHS_H_
