// What the two POSIX platform files share: the list of files this process
// holds, and how outputs are reached below a held folder.
#ifndef KEL_LIB_PLATFORM_POSIX_H_
#define KEL_LIB_PLATFORM_POSIX_H_

#include <sys/stat.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform.h"

namespace kel::platform::posix {

// The files open in this process, shared by its threads. An output made
// anew is listed at once and looked at (fstat) only when another open
// needs to compare: it costs a small stored file no call.
struct HeldFile {
  int handle;
  dev_t device;
  ino_t inode;
  bool writes;
  bool output;  ///< an output being written
  bool known;   ///< device and inode looked up
};
extern std::mutex heldMutex;
extern std::vector<HeldFile> heldFiles;

/// Opens `relative` below the held `folder` with `flags` and no link
/// followed: a path resolved beneath the folder where the kernel can
/// (openat2), else one name in it.
int OpenBelow(int folder, const std::string& relative, int flags);
/// The folder that holds `relative` below the held `folder`, reached as
/// OpenBelow does, and the last name of `relative` in it: `folder` itself
/// for one name, otherwise a folder opened here (-1 on failure).
int HolderOf(int folder, const std::string& relative, std::string* name);

}  // namespace kel::platform::posix

#endif  // KEL_LIB_PLATFORM_POSIX_H_
