// The POSIX side of the platform seam.
//
// Files: descriptors with pread/pwrite, an flock advisory lock on every
// existing regular file opened (shared to read, exclusive to write), and a
// list of the files this process holds so that the same file is never opened
// twice in conflicting modes, even where the file system has no locks. An
// output is first created anew where its name is free; an existing one is
// opened without truncation and emptied only once its lock is held, so a
// file open elsewhere in the tool (the archive) is never emptied.
//
// Folders: descriptors opened O_PATH, each reached from its parent's by
// name with O_NOFOLLOW. An output the archive names is opened by openat2
// beneath the destination's descriptor, which follows no link and leaves
// no folder that another process renames away, where the kernel has it;
// else by openat with O_NOFOLLOW in its own folder's descriptor.
//
// Names: paths come with slashes and go to the system as the bytes they
// are; iconv converts between CP932 and UTF-8.
#include "platform_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <iconv.h>
#include <linux/openat2.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <vector>

namespace kel::platform {

namespace posix {

std::mutex heldMutex;
std::vector<HeldFile> heldFiles;

}  // namespace posix

namespace {

using namespace posix;

std::condition_variable heldClosed;

enum class Conflict { kNone, kHeld, kOutput };

// Whether `info` is held in a way that excludes opening it (`writes`): as
// an output that another thread is writing (which ends), or otherwise.
// Call with heldMutex held.
Conflict HeldInConflict(const struct stat& info, bool writes) {
  for (HeldFile& held : heldFiles) {
    struct stat now;
    if (!held.known && fstat(held.handle, &now) == 0) {
      held = {held.handle, now.st_dev, now.st_ino, true, true, true};
    }
    if (held.known && held.device == info.st_dev && held.inode == info.st_ino && (writes || held.writes)) {
      return held.output ? Conflict::kOutput : Conflict::kHeld;
    }
  }
  // Standard output is held for writing too: an output named /dev/stdout
  // while it is redirected to a file would empty that file.
  static struct stat output;
  static const bool outputKnown = fstat(STDOUT_FILENO, &output) == 0;
  const bool isOutput = writes && outputKnown && S_ISREG(info.st_mode) && output.st_dev == info.st_dev &&
                        output.st_ino == info.st_ino;
  return isOutput ? Conflict::kHeld : Conflict::kNone;
}

void Unlist(int handle) {
  {
    const std::lock_guard<std::mutex> lock(heldMutex);
    const auto held = std::find_if(heldFiles.begin(), heldFiles.end(),
                                   [handle](const HeldFile& file) { return file.handle == handle; });
    if (held == heldFiles.end()) return;
    heldFiles.erase(held);
  }
  heldClosed.notify_all();
}

// Only regular files are locked: two tools writing to /dev/null are no
// conflict. File systems without locks are no reason to fail.
bool Lock(int fd, const struct stat& info, bool writes) {
  return !S_ISREG(info.st_mode) || flock(fd, (writes ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0 ||
         errno == ENOLCK || errno == EOPNOTSUPP || errno == ENOSYS;
}

// A new output, made here and now (AT_FDCWD: by path): nothing else holds
// it, so it needs no look at what it is, no truncation and no lock (which
// would be the only call a small stored file adds to open, write and
// close; tar takes none either). -1 with errno EEXIST when the name is taken.
int CreateNew(int folder, const std::string& relative) {
  const int flags = O_WRONLY | O_CREAT | O_EXCL;
  const int fd = folder == AT_FDCWD ? open(relative.c_str(), flags | O_CLOEXEC, 0666)
                                    : OpenBelow(folder, relative, flags);
  if (fd >= 0) {
    const std::lock_guard<std::mutex> lock(heldMutex);
    heldFiles.push_back({fd, 0, 0, true, true, false});
  }
  return fd;
}

constexpr int kOpenAgain = -1;

// Lists the open `fd`, which `info` describes, among the files held, locks
// it and empties an output; closes it on failure. 0 with `*handle` set, an
// error number, or kOpenAgain once another thread that wrote the same file
// as an output under another name (a link, letters of another case) is done
// with it. `osPath`, when given, must still name the file once it is locked.
int Hold(int fd, const struct stat& info, Access access, const char* osPath, int* handle) {
  const bool writes = access != Access::kRead;
  const bool creates = access == Access::kWriteNew || access == Access::kWriteEntry;
  auto fail = [fd](int error) {
    Unlist(fd);
    close(fd);
    return error;
  };
  if (S_ISDIR(info.st_mode)) return fail(EISDIR);
  {
    std::unique_lock<std::mutex> lock(heldMutex);
    const Conflict conflict = HeldInConflict(info, writes);
    if (conflict == Conflict::kOutput && creates) {
      close(fd);
      heldClosed.wait(lock, [&info] { return HeldInConflict(info, true) != Conflict::kOutput; });
      return kOpenAgain;
    }
    if (conflict != Conflict::kNone) {
      close(fd);
      return EBUSY;
    }
    heldFiles.push_back({fd, info.st_dev, info.st_ino, writes, creates, true});
  }
  if (!Lock(fd, info, writes)) return fail(errno);
  // A kel that replaced the file by a new one (a compaction) while this one
  // waited for the lock: the name leads elsewhere now, so try again.
  struct stat named;
  if (osPath != nullptr && S_ISREG(info.st_mode) &&
      (stat(osPath, &named) != 0 || named.st_dev != info.st_dev || named.st_ino != info.st_ino)) {
    return fail(EWOULDBLOCK);
  }
  // Only regular files are emptied, and only once locked: a device cannot be.
  if (creates && S_ISREG(info.st_mode) && info.st_size > 0 && ftruncate(fd, 0) != 0) {
    return fail(errno);
  }
  *handle = fd;
  return 0;
}

// One converter per direction, opened on first use and kept for the run
// (names are converted one at a time, possibly millions of them).
struct Converter {
  Converter(const char* toCode, const char* fromCode) : to(toCode), from(fromCode) {}
  const char* to;
  const char* from;
  iconv_t descriptor = reinterpret_cast<iconv_t>(-1);
  std::mutex mutex;  ///< a converter keeps state between calls
};
Converter cp932ToUtf8{"UTF-8", "CP932"};
Converter utf8ToCp932{"CP932", "UTF-8"};

// Returns false when the converter is missing or the text holds a sequence
// that the source code page does not have.
bool Convert(Converter& converter, const std::string& text, std::string* result) {
  const std::lock_guard<std::mutex> lock(converter.mutex);
  if (converter.descriptor == reinterpret_cast<iconv_t>(-1)) {
    converter.descriptor = iconv_open(converter.to, converter.from);
    if (converter.descriptor == reinterpret_cast<iconv_t>(-1)) return false;
  }
  iconv(converter.descriptor, nullptr, nullptr, nullptr, nullptr);
  std::string out(text.size() * 3 + 4, '\0');
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  char* outAt = &out[0];
  size_t outLeft = out.size();
  size_t done = iconv(converter.descriptor, &in, &inLeft, &outAt, &outLeft);
  if (done == static_cast<size_t>(-1) || inLeft != 0) return false;
  out.resize(out.size() - outLeft);
  *result = std::move(out);
  return true;
}

}  // namespace

namespace posix {

// Opens `relative` below the held `folder` with `flags` and no link
// followed: a path resolved beneath the folder where the kernel can
// (openat2), else one name in it.
int OpenBelow(int folder, const std::string& relative, int flags) {
  if (!ResolvesBeneath()) return openat(folder, relative.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, 0666);
  open_how how = {};
  how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
  how.mode = (flags & O_CREAT) != 0 ? 0666 : 0;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  return static_cast<int>(syscall(SYS_openat2, folder, relative.c_str(), &how, sizeof how));
}

// The folder that holds `relative` below the held `folder`, reached as
// OpenBelow does, and the last name of `relative` in it: `folder` itself
// for one name, otherwise a folder opened here (-1 on failure).
int HolderOf(int folder, const std::string& relative, std::string* name) {
  const std::string& osPath = relative;
  const size_t slash = osPath.rfind('/');
  *name = osPath.substr(slash == std::string::npos ? 0 : slash + 1);
  return slash == std::string::npos ? folder
                                    : OpenBelow(folder, osPath.substr(0, slash), O_PATH | O_DIRECTORY);
}

}  // namespace posix

int OpenFile(const std::string& path, Access access, int* handle) {
  *handle = -1;
  const std::string& osPath = path;
  const bool creates = access == Access::kWriteNew || access == Access::kWriteEntry;
  if (creates) {
    *handle = CreateNew(AT_FDCWD, osPath);
    if (*handle >= 0) return 0;
    if (errno != EEXIST) return errno;
  }
  int flags = O_CLOEXEC;
  if (access == Access::kRead) flags |= O_RDONLY;
  if (creates) flags |= O_WRONLY | O_CREAT;
  if (access == Access::kReadWrite) flags |= O_RDWR;
  const int fd = open(osPath.c_str(), flags, 0666);
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0) {
    const int error = errno;
    if (fd >= 0) close(fd);
    return error;
  }
  const int held = Hold(fd, info, access, creates ? nullptr : osPath.c_str(), handle);
  return held == kOpenAgain ? OpenFile(path, access, handle) : held;
}

bool Exists(int error) { return error == EEXIST; }

int OpenFileIn(int folder, const std::string& relative, int* handle, bool keep) {
  *handle = CreateNew(folder, relative);
  if (*handle >= 0) return 0;
  if (errno != EEXIST || keep) return errno;
  // Something stands there: a plain file of its own is emptied and
  // written, as an output the user names.
  const int fd = OpenBelow(folder, relative, O_WRONLY | O_NONBLOCK);
  struct stat info;
  if (fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 1) {
    const int held = Hold(fd, info, Access::kWriteEntry, nullptr, handle);
    return held == kOpenAgain ? OpenFileIn(folder, relative, handle) : held;
  }
  // A link, a file with other hard links, a pipe or a device is removed, as
  // tar does, and a new file made in its place. What a link leads to may be
  // a file this process holds (the archive): that stays the conflict it is.
  if (fd >= 0) {
    close(fd);
  } else if (errno != ELOOP && errno != ENXIO && errno != ENOENT) {
    return errno;
  }
  std::string name;
  const int holder = HolderOf(folder, relative, &name);
  if (holder < 0) return errno;
  int error = 0;
  {
    struct stat target;
    const std::lock_guard<std::mutex> lock(heldMutex);
    if (fstatat(holder, name.c_str(), &target, 0) == 0 && HeldInConflict(target, true) == Conflict::kHeld) {
      error = EBUSY;
    }
  }
  if (error == 0 && unlinkat(holder, name.c_str(), 0) != 0 && errno != ENOENT) error = errno;
  if (holder != folder) close(holder);
  if (error != 0) return error;
  *handle = CreateNew(folder, relative);
  return *handle >= 0 ? 0 : errno;
}

bool HeldElsewhere(int error) { return error == EWOULDBLOCK; }

bool CloseFile(int handle) {
  // Off the list while the number is still this file's: another thread may
  // be given it once it is closed.
  Unlist(handle);
  return close(handle) == 0;
}

bool IsRegularFile(int handle) {
  struct stat info;
  return fstat(handle, &info) == 0 && S_ISREG(info.st_mode);
}

int64_t FileLength(int handle) {
  struct stat info;
  if (fstat(handle, &info) != 0 || !S_ISREG(info.st_mode)) return 0;
  return info.st_size;
}

namespace {

void Facts(const struct stat& info, FileFacts* facts) {
  const auto nanoseconds = [](const timespec& time) { return time.tv_sec * 1000000000LL + time.tv_nsec; };
  *facts = {info.st_ino, info.st_nlink, info.st_size, nanoseconds(info.st_mtim), nanoseconds(info.st_ctim),
            info.st_dev};
}

}  // namespace

bool FactsOf(int handle, FileFacts* facts) {
  struct stat info;
  if (fstat(handle, &info) != 0) return false;
  Facts(info, facts);
  return true;
}

bool FactsAt(const std::string& path, FileFacts* facts) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  Facts(info, facts);
  return true;
}

bool PrivateFile(int handle) {
  struct stat info;
  return fstat(handle, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
         (info.st_mode & 022) == 0;
}

int64_t ReadAt(int handle, int64_t position, void* destination, size_t count) {
  auto* at = static_cast<char*>(destination);
  size_t done = 0;
  while (done < count) {
    ssize_t got =
        pread(handle, at + done, count - done, static_cast<off_t>(position + static_cast<int64_t>(done)));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return static_cast<int64_t>(done);
}

bool WriteAt(int handle, int64_t position, const void* source, size_t count) {
  const auto* at = static_cast<const char*>(source);
  size_t done = 0;
  while (done < count) {
    ssize_t put =
        pwrite(handle, at + done, count - done, static_cast<off_t>(position + static_cast<int64_t>(done)));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
  }
  return true;
}

bool WriteNext(int handle, const void* source, size_t count) {
  const auto* at = static_cast<const char*>(source);
  size_t done = 0;
  while (done < count) {
    ssize_t put = write(handle, at + done, count - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
  }
  return true;
}

bool ReserveSpace(int handle, int64_t position, int64_t count) {
  struct stat info;
  if (fstat(handle, &info) != 0) return false;
  const off_t end = static_cast<off_t>(position + count);
  const bool grows = S_ISREG(info.st_mode) && end > info.st_size;
  if (grows && ftruncate(handle, end) != 0) return false;
  if (count > 0 &&
      fallocate(handle, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(position), static_cast<off_t>(count)) != 0 &&
      errno != EOPNOTSUPP && errno != ENOSYS && errno != ENODEV) {
    if (grows) ftruncate(handle, info.st_size);
    return false;
  }
  return true;
}

bool ResizeFile(int handle, int64_t length) { return ftruncate(handle, static_cast<off_t>(length)) == 0; }

bool SyncFile(int handle) { return fsync(handle) == 0; }

bool RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0; }

std::string ToSystemNames(const std::string& path, bool) { return path; }

std::string FromSystemNames(const std::string& name, bool) { return name; }

bool Cp932ToUtf8(const std::string& cp932, std::string* utf8) { return Convert(cp932ToUtf8, cp932, utf8); }

bool Utf8ToCp932(const std::string& utf8, std::string* cp932) { return Convert(utf8ToCp932, utf8, cp932); }

size_t FindWord(const uint8_t* words, size_t count, const char word[4]) {
  // glibc's wide-character search is vectorised, and a wchar_t is four bytes
  // here: it tests whole aligned words, never a byte in between.
  static_assert(sizeof(wchar_t) == 4, "FindWord needs a four-byte wchar_t");
  wchar_t wanted;
  memcpy(&wanted, word, sizeof wanted);
  const auto* first = reinterpret_cast<const wchar_t*>(words);
  const wchar_t* hit = wmemchr(first, wanted, count);
  return hit == nullptr ? count : static_cast<size_t>(hit - first);
}

int LastError() { return errno; }

Failure FailureOf(int error) {
  switch (error) {
    case ENOENT:
      return Failure::kMissingFolder;
    case ENAMETOOLONG:
      return Failure::kNameTooLong;
    case ENOSPC:
    case EDQUOT:
      return Failure::kNoSpace;
    case EROFS:
      return Failure::kReadOnly;
    case EACCES:
    case EPERM:
      return Failure::kDenied;
    default:
      return Failure::kOther;
  }
}

}  // namespace kel::platform
