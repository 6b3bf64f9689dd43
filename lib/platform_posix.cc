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

#include "platform.h"

namespace kel::platform {
namespace {

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
std::mutex heldMutex;
std::condition_variable heldClosed;
std::vector<HeldFile> heldFiles;

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

int OpenFileIn(int folder, const std::string& relative, int* handle) {
  *handle = CreateNew(folder, relative);
  if (*handle >= 0) return 0;
  if (errno != EEXIST) return errno;
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

bool FactsOf(int handle, FileFacts* facts) {
  struct stat info;
  if (fstat(handle, &info) != 0) return false;
  const auto nanoseconds = [](const timespec& time) { return time.tv_sec * 1000000000LL + time.tv_nsec; };
  *facts = {info.st_ino, info.st_nlink, info.st_size, nanoseconds(info.st_mtim), nanoseconds(info.st_ctim)};
  return true;
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

bool NameTaken(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

std::string RealPath(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  std::string resolved = real != nullptr ? real : "";
  free(real);
  return resolved;
}

namespace {

std::string FolderOf(const std::string& osPath) {
  const size_t slash = osPath.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : osPath.substr(0, slash);
}

// Removes the name `osPath` only while it is the file `file`: what another
// program put there since stays.
void RemoveIfIs(const std::string& osPath, const struct stat& file) {
  struct stat named;
  if (lstat(osPath.c_str(), &named) == 0 && named.st_dev == file.st_dev && named.st_ino == file.st_ino) {
    unlink(osPath.c_str());
  }
}

// A rename that never replaces; where the file system lacks it, a second
// name (which never replaces either) and then the first one removed.
int RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  if (link(from.c_str(), to.c_str()) != 0) return errno;
  unlink(from.c_str());
  return 0;
}

}  // namespace

int CreateUnnamed(const std::string& target, const std::string& spare, int* handle) {
  // An unnamed file takes a name through /proc, and only where the file
  // system makes unnamed files.
  int fd = access("/proc/self/fd", X_OK) == 0
               ? open(FolderOf(target).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600)
               : -1;
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL || errno == ENOENT)) {
    fd = open(spare.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  }
  if (fd < 0) return errno;
  // Held, so that another kel does not take a named one for a leftover.
  flock(fd, LOCK_EX | LOCK_NB);
  {
    const std::lock_guard<std::mutex> lock(heldMutex);
    heldFiles.push_back({fd, 0, 0, true, true, false});
  }
  *handle = fd;
  return 0;
}

bool TakeAttributes(int to, int from) {
  if (from < 0) {
    const mode_t mask = umask(0);
    umask(mask);
    return fchmod(to, 0666 & ~mask) == 0;
  }
  struct stat info;
  struct stat mine;
  if (fstat(from, &info) != 0 || fstat(to, &mine) != 0) return false;
  // The owner first: a change of owner clears the set-ID bits of the mode.
  if ((info.st_uid != mine.st_uid || info.st_gid != mine.st_gid) &&
      fchown(to, info.st_uid, info.st_gid) != 0) {
    return false;
  }
  if (fchmod(to, info.st_mode & 07777) != 0) return false;
  const ssize_t listed = flistxattr(from, nullptr, 0);
  if (listed < 0) return errno == ENOTSUP;
  std::string names(static_cast<size_t>(listed), '\0');
  if (flistxattr(from, &names[0], names.size()) != listed) return false;
  for (size_t at = 0; at < names.size(); at = names.find('\0', at) + 1) {
    const char* name = names.c_str() + at;
    std::string value(static_cast<size_t>(std::max<ssize_t>(fgetxattr(from, name, nullptr, 0), 0)), '\0');
    if (fgetxattr(from, name, &value[0], value.size()) != static_cast<ssize_t>(value.size()) ||
        fsetxattr(to, name, value.data(), value.size(), 0) != 0) {
      return false;
    }
  }
  return true;
}

int PlaceFile(int handle, const std::string& spare, const std::string& target, int held) {
  const std::string osSpare = spare;
  const std::string osTarget = target;
  struct stat mine;
  struct stat named;
  int error = fstat(handle, &mine) == 0 ? 0 : errno;
  const bool unnamed = error == 0 && (lstat(osSpare.c_str(), &named) != 0 || named.st_ino != mine.st_ino ||
                                      named.st_dev != mine.st_dev);
  // Opened first, as the file is closed before its name takes effect: after
  // that only the sync of the folder can fail.
  const int folder = open(FolderOf(osTarget).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (error == 0 && folder < 0) error = errno;
  // A link never replaces a name: the new file's own, or the spare that
  // then goes over the archive.
  const std::string link = "/proc/self/fd/" + std::to_string(handle);
  if (error == 0 && unnamed &&
      linkat(AT_FDCWD, link.c_str(), AT_FDCWD, (held == -1 ? osTarget : osSpare).c_str(),
             AT_SYMLINK_FOLLOW) != 0) {
    error = errno;
  }
  if (!CloseFile(handle) && error == 0) error = errno;
  struct stat archive;
  struct stat now;
  if (error == 0 && held != -1) {
    // Only the file that kel holds is replaced, not one put there since.
    if (fstat(held, &archive) != 0 || stat(osTarget.c_str(), &now) != 0 || archive.st_dev != now.st_dev ||
        archive.st_ino != now.st_ino) {
      error = EBUSY;
    } else if (rename(osSpare.c_str(), osTarget.c_str()) != 0) {
      error = errno;
    }
  } else if (error == 0 && !unnamed) {
    error = RenameNoReplace(osSpare, osTarget);
  }
  // A folder that cannot be synced (some file systems refuse it) is no failure.
  const bool synced = error == 0 && (fsync(folder) == 0 || errno == EINVAL || errno == ENOTSUP);
  if (folder >= 0) close(folder);
  if (held != -1) CloseFile(held);
  if (synced || (error == 0 && held != -1)) return synced ? 0 : -1;
  // Nothing of this run stays: a new file whose name might not last goes too.
  RemoveIfIs(osSpare, mine);
  if (held == -1) RemoveIfIs(osTarget, mine);
  return error != 0 ? error : EIO;
}

void DiscardFile(int handle, const std::string& spare) {
  struct stat mine;
  const bool known = fstat(handle, &mine) == 0;
  CloseFile(handle);
  if (known) RemoveIfIs(spare, mine);
}

bool RemoveLeftover(const std::string& spare) {
  const std::string osSpare = spare;
  const int fd = open(osSpare.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  const bool left = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 1 &&
                    info.st_uid == geteuid() &&
                    (flock(fd, LOCK_EX | LOCK_NB) == 0 || errno == ENOLCK || errno == EOPNOTSUPP);
  if (left) RemoveIfIs(osSpare, info);
  close(fd);
  return left;
}

FolderResult MakeFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0777) == 0) return FolderResult::kMade;
  if (errno == EEXIST) return FolderResult::kExists;
  return errno == ENOENT ? FolderResult::kMissingParent : FolderResult::kFailed;
}

int OpenFolder(const std::string& path, int* folder) {
  *folder = open(path.empty() ? "." : path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  return *folder >= 0 ? 0 : errno;
}

FolderResult OpenFolderIn(int folder, const std::string& name, bool create, int* below) {
  // Made first when it may be (what lies beyond the folders already there
  // is mostly new), then opened or looked at: what another process puts
  // there meanwhile is met as it is.
  const bool made = create && mkdirat(folder, name.c_str(), 0777) == 0;
  if (create && !made && errno != EEXIST) {
    return errno == ENOENT ? FolderResult::kMissingParent : FolderResult::kFailed;
  }
  if (below != nullptr) {
    *below = openat(folder, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (*below >= 0) return made ? FolderResult::kMade : FolderResult::kExists;
  } else if (made) {
    return FolderResult::kMade;
  }
  const int error = below != nullptr ? errno : ENOTDIR;
  struct stat info;
  if (fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? FolderResult::kMissingParent : FolderResult::kFailed;
  }
  if (S_ISLNK(info.st_mode)) return FolderResult::kLink;
  if (S_ISDIR(info.st_mode) && below == nullptr) return FolderResult::kExists;
  errno = S_ISDIR(info.st_mode) ? error : ENOTDIR;
  return FolderResult::kFailed;
}

bool ResolvesBeneath() {
  // A kernel or a sandbox without openat2 says so on the first call.
  static const bool resolves = [] {
    open_how how = {};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
    const long fd = syscall(SYS_openat2, AT_FDCWD, ".", &how, sizeof how);
    if (fd >= 0) close(static_cast<int>(fd));
    return fd >= 0 || (errno != ENOSYS && errno != EPERM);
  }();
  return resolves;
}

bool OpenFolderBeneath(int folder, const std::string& relative, int* below) {
  *below = ResolvesBeneath() ? OpenBelow(folder, relative, O_PATH | O_DIRECTORY) : -1;
  return *below >= 0;
}

void CloseFolder(int folder) { close(folder); }

bool RemoveFileIn(int folder, const std::string& relative, int handle) {
  std::string name;
  const int holder = HolderOf(folder, relative, &name);
  struct stat held, named;
  const bool removes =
      holder >= 0 && (handle < 0 || (fstat(handle, &held) == 0 &&
                                     fstatat(holder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                                     held.st_dev == named.st_dev && held.st_ino == named.st_ino));
  const bool removed = removes && unlinkat(holder, name.c_str(), 0) == 0;
  if (holder >= 0 && holder != folder) close(holder);
  return removed;
}

bool FindFile(const std::string& path, int64_t* size) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  *size = S_ISREG(info.st_mode) ? info.st_size : 0;
  return true;
}

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
    default:
      return Failure::kOther;
  }
}

bool IsFolder(const std::string& path) {
  struct stat info;
  return stat(path.empty() ? "." : path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool CanHoldName(const std::string&) { return true; }

std::string FoldedName(const std::string&) { return ""; }

namespace {

bool ListBelow(int folder, const std::string& prefix, std::vector<std::pair<std::string, int64_t>>* files,
               std::vector<std::pair<std::string, bool>>* others) {
  DIR* listing = fdopendir(folder);
  if (listing == nullptr) {
    close(folder);
    return false;
  }
  while (const dirent* item = readdir(listing)) {
    const std::string name = item->d_name;
    struct stat info;
    if (name == "." || name == "..") continue;
    // An entry that went since the listing is none; one that cannot be looked at is not put back.
    if (fstatat(dirfd(listing), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) others->emplace_back(prefix + name, false);
    } else if (S_ISREG(info.st_mode)) {
      files->emplace_back(prefix + name, info.st_size);
    } else if (!S_ISDIR(info.st_mode)) {
      others->emplace_back(prefix + name, false);
    } else {
      const int below = openat(dirfd(listing), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (below < 0 || !ListBelow(below, prefix + name + '\\', files, others)) {
        others->emplace_back(prefix + name, true);
      }
    }
  }
  closedir(listing);
  return true;
}

}  // namespace

bool ListFiles(const std::string& folder, std::vector<std::pair<std::string, int64_t>>* files,
               std::vector<std::pair<std::string, bool>>* others) {
  const int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return fd >= 0 && ListBelow(fd, "", files, others);
}

}  // namespace kel::platform
