// An LD_PRELOAD library that makes one I/O call of a process go wrong, for
// the tests of the writes into an archive. It counts the calls on files
// that kel makes (the large-file opens, reads, writes and truncations,
// syncs, locks, closes, links, renames and removals; not those on standard input, output and error) and, at
// the one that KEL_FAULT_AT numbers (from 1), does what KEL_FAULT says:
//   fail    the call fails with EIO and does nothing; nospace: with ENOSPC
//   crash   the process is killed before the call
//   signal  SIGINT is raised, then the call is made
//   term    the same with SIGTERM; hup: with SIGHUP
//   pause   the KEL_FAULT_AT-th open waits a second first (opens only)
// KEL_NO_OPENAT2 set: the kernel has no openat2, as an old one.
// KEL_FAULT_COUNT names a file that receives the number of calls at exit.
// KEL_FAULT_NO_TMPFILE set: the file system makes no unnamed files.
// KEL_FAULT_LOG names a file that receives every change made through a
// descriptor opened for reading and writing, every name given or taken, and
// every sync, as records of four u64 (kind, inode, position, count) and
// count bytes:
//   'W' bytes written | 'T' length in position | 'S' (a file synced) |
//   'N' name given | 'R' two names, each ending in a zero byte | 'U' name
//   removed | 'D' (a folder synced: kel syncs folders on descriptors opened
//   to read)
// from which a power cut at any moment can be replayed.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::atomic<long> calls{0};
std::atomic<long> opens{0};
bool readWrite[4096];

// The next definition of `name`, looked up once.
#define REAL(name, type)                                                      \
  ([] {                                                                       \
    static const auto real = reinterpret_cast<type>(dlsym(RTLD_NEXT, #name)); \
    return real;                                                              \
  }())

const char* Setting(const char* name) {
  const char* value = getenv(name);
  return value != nullptr ? value : "";
}

// Whether the call goes ahead; false: it fails with EIO.
bool Proceed(int fd, bool isOpen = false) {
  if (fd >= 0 && fd <= 2) return true;
  const long call = ++calls;
  const long open = isOpen ? ++opens : 0;
  const long at = atol(Setting("KEL_FAULT_AT"));
  const char* fault = Setting("KEL_FAULT");
  if (strcmp(fault, "pause") == 0) {
    if (open == at) sleep(1);
    return true;
  }
  if (call != at) return true;
  if (strcmp(fault, "crash") == 0) kill(getpid(), SIGKILL);
  const int signal = !strcmp(fault, "signal") ? SIGINT : !strcmp(fault, "term") ? SIGTERM : SIGHUP;
  if (!strcmp(fault, "signal") || !strcmp(fault, "term") || !strcmp(fault, "hup")) raise(signal);
  if (strcmp(fault, "fail") != 0 && strcmp(fault, "nospace") != 0) return true;
  errno = strcmp(fault, "fail") == 0 ? EIO : ENOSPC;
  return false;
}

void Log(char kind, uint64_t inode, uint64_t position = 0, const void* bytes = nullptr, uint64_t count = 0) {
  static int fd = -2;
  if (fd == -2) {
    const char* path = Setting("KEL_FAULT_LOG");
    fd = path[0] != '\0'
             ? REAL(open, int (*)(const char*, int, ...))(path, O_WRONLY | O_CREAT | O_APPEND, 0666)
             : -1;
  }
  if (fd < 0) return;
  const auto write = REAL(write, ssize_t(*)(int, const void*, size_t));
  const uint64_t head[4] = {static_cast<uint64_t>(kind), inode, position, count};
  write(fd, head, sizeof head);
  if (count > 0) write(fd, bytes, count);
}

uint64_t Inode(int fd) {
  struct stat info;
  return fstat(fd, &info) == 0 ? info.st_ino : 0;
}

// A name given to a file.
int Named(int result, const char* name) {
  struct stat info;
  if (result == 0 && stat(name, &info) == 0) Log('N', info.st_ino, 0, name, strlen(name) + 1);
  return result;
}

bool Logged(int fd) { return fd >= 0 && fd < 4096 && readWrite[fd]; }

int Opened(int fd, int flags) {
  if (fd >= 0 && fd < 4096) readWrite[fd] = (flags & O_ACCMODE) == O_RDWR;
  return fd;
}

__attribute__((destructor)) void WriteCount() {
  const char* path = Setting("KEL_FAULT_COUNT");
  if (path[0] == '\0') return;
  if (FILE* out = fopen(path, "w")) {
    fprintf(out, "%ld\n", calls.load());
    fclose(out);
  }
}

}  // namespace

extern "C" {

long syscall(long number, ...) {
  va_list args;
  va_start(args, number);
  long a[6];
  for (long& argument : a) argument = va_arg(args, long);
  va_end(args);
  if (number == SYS_openat2 && Setting("KEL_NO_OPENAT2")[0] != '\0') return errno = ENOSYS, -1;
  return REAL(syscall, long (*)(long, ...))(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const auto mode = static_cast<mode_t>(va_arg(args, int));
  va_end(args);
  if (!Proceed(-1, true)) return -1;
  if ((flags & O_TMPFILE) == O_TMPFILE && Setting("KEL_FAULT_NO_TMPFILE")[0] != '\0')
    return errno = EOPNOTSUPP, -1;
  const int fd = Opened(REAL(open64, int (*)(const char*, int, ...))(path, flags, mode), flags);
  if (fd >= 0 && (flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL) && Logged(fd)) Named(0, path);
  return fd;
}

int linkat(int fromFolder, const char* from, int toFolder, const char* to, int flags) {
  if (!Proceed(-1)) return -1;
  return Named(
      REAL(linkat, int (*)(int, const char*, int, const char*, int))(fromFolder, from, toFolder, to, flags),
      to);
}

int renameat2(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags) {
  if (!Proceed(-1)) return -1;
  const int result = REAL(renameat2, int (*)(int, const char*, int, const char*, unsigned))(
      fromFolder, from, toFolder, to, flags);
  const std::string names = std::string(from) + '\0' + to + '\0';
  if (result == 0) Log('R', 0, 0, names.data(), names.size());
  return result;
}

int rename(const char* from, const char* to) { return renameat2(AT_FDCWD, from, AT_FDCWD, to, 0); }

int unlink(const char* path) {
  if (!Proceed(-1)) return -1;
  const int result = REAL(unlink, int (*)(const char*))(path);
  if (result == 0) Log('U', 0, 0, path, strlen(path) + 1);
  return result;
}

ssize_t pread64(int fd, void* buffer, size_t count, off_t position) {
  return Proceed(fd) ? REAL(pread64, ssize_t(*)(int, void*, size_t, off_t))(fd, buffer, count, position) : -1;
}

ssize_t pwrite64(int fd, const void* buffer, size_t count, off_t position) {
  if (!Proceed(fd)) return -1;
  const ssize_t put =
      REAL(pwrite64, ssize_t(*)(int, const void*, size_t, off_t))(fd, buffer, count, position);
  if (put > 0 && Logged(fd)) {
    Log('W', Inode(fd), static_cast<uint64_t>(position), buffer, static_cast<uint64_t>(put));
  }
  return put;
}

ssize_t write(int fd, const void* buffer, size_t count) {
  return Proceed(fd) ? REAL(write, ssize_t(*)(int, const void*, size_t))(fd, buffer, count) : -1;
}

int fsync(int fd) {
  if (!Proceed(fd)) return -1;
  const int result = REAL(fsync, int (*)(int))(fd);
  if (result == 0) Log(Logged(fd) ? 'S' : 'D', Inode(fd));
  return result;
}

int ftruncate64(int fd, off_t length) {
  if (!Proceed(fd)) return -1;
  const int result = REAL(ftruncate64, int (*)(int, off_t))(fd, length);
  if (result == 0 && Logged(fd)) Log('T', Inode(fd), static_cast<uint64_t>(length));
  return result;
}

int fallocate64(int fd, int mode, off_t position, off_t count) {
  return Proceed(fd) ? REAL(fallocate64, int (*)(int, int, off_t, off_t))(fd, mode, position, count) : -1;
}

int flock(int fd, int operation) { return Proceed(fd) ? REAL(flock, int (*)(int, int))(fd, operation) : -1; }

int close(int fd) {
  if (fd >= 0 && fd < 4096) readWrite[fd] = false;
  return Proceed(fd) ? REAL(close, int (*)(int))(fd) : -1;
}

}  // extern "C"
