// What a library call did: a code (the C API's kel_code), and exactly what
// the tool's line for it needs: the system's error, a path or two, a number
// or two. The library never prints: the caller turns a Status into words.
#ifndef KEL_LIB_STATUS_H_
#define KEL_LIB_STATUS_H_

#include <cstdint>
#include <string>

#include "kel.h"

namespace kel {

using Code = kel_code;

struct Status {
  Code code = KEL_OK;
  int systemError = 0;
  std::string path;
  std::string other;
  uint64_t number = 0;
  uint64_t otherNumber = 0;
  /// The change that failed could not be undone either.
  bool undoFailed = false;

  bool ok() const { return code == KEL_OK; }
  explicit operator bool() const { return ok(); }
};

inline Status Fail(Code code, std::string path = "", uint64_t number = 0) {
  Status status;
  status.code = code;
  status.path = std::move(path);
  status.number = number;
  return status;
}

/// An English sentence for a code.
const char* CodeText(int code);

}  // namespace kel

#endif  // KEL_LIB_STATUS_H_
