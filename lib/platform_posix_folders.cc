// The POSIX side of the platform seam: folders held open, names looked
// up, the compact copy's file made and put in place, and folder listings.
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

#include "platform_posix.h"

namespace kel::platform {

using namespace posix;

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
  const std::string& osSpare = spare;
  const std::string& osTarget = target;
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
  const std::string& osSpare = spare;
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
