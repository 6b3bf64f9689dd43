// Finding the stored file that a merge or a replacement names.
#ifndef KEL_LIB_NAMES_H_
#define KEL_LIB_NAMES_H_

#include <string>

#include "space.h"
#include "text.h"

namespace kel {

/// The stored file named by a file's own name: what follows its last
/// separator (`*searchName`), compared with stored names ignoring the case
/// of A-Z.
Matcher ByFileName(const std::string& file, std::string* searchName, Encoding encoding);
/// A bare name compares as ByFileName does; a name with a folder part
/// (either separator) must stand in the stored path, case-sensitive.
Matcher ByName(const std::string& name, Encoding encoding);
/// Whole path components at the end of the stored path, ignoring the case
/// of A-Z: with no first-bytes check to catch a slip, a fragment names
/// nothing.
Matcher ByLastComponents(const std::string& storedName, Encoding encoding);

}  // namespace kel

#endif  // KEL_LIB_NAMES_H_
