// What the tests share: a temporary folder per test, whole-file reads and
// writes, and running the real kel binary with its standard output caught.
#ifndef KEL_TESTS_TEST_SUPPORT_H_
#define KEL_TESTS_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kel::testing {

/// A fresh folder, removed with everything in it when the object goes.
class ScopedTempDir {
 public:
  ScopedTempDir();
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
/// UTF-8 text as kel prints it under `locale`: unchanged for a UTF-8
/// locale, otherwise the Shift-JIS (CP932) bytes.
std::string InLocale(const std::string& utf8, const std::string& locale);
/// True when RunKel starts the Windows build under wine (KEL_EXE names it):
/// the C locale then stands for ANSI code page 932, a UTF-8 one for 1252.
bool WindowsBuild();
/// A name as kel writes it to disk under `locale`; the Windows build hands
/// names to the system as UTF-16, which appear here as UTF-8.
std::string OnDisk(const std::string& utf8, const std::string& locale);
/// Every path below `folder`, relative to it, sorted; folders (not links
/// to them) end in '/'.
std::vector<std::string> ListTree(const std::string& folder);

struct RunOptions {
  std::string locale = "C";  ///< LC_ALL of the child
  std::string cwd;           ///< working folder; empty: the test's own
  bool asNobody = false;     ///< drop to uid/gid 65534 before exec
  long fileSizeLimit = -1;   ///< RLIMIT_FSIZE in bytes, SIGXFSZ ignored
  int signal = 0;            ///< sent to the child signalAfter microseconds after its start
  int signalAfter = 0;
  std::vector<std::string> environment = {};  ///< NAME=value pairs added for the child
  std::string records = {};                   ///< the child's XDG_CACHE_HOME, if its own
  bool fullOutput = false;                    ///< standard output is /dev/full, which no write fits
  bool splitError = false;  ///< standard error kept apart: `out` ends with "<stderr>\n" and its bytes
};

struct RunResult {
  std::string out;  ///< standard output, bytes as written
  int status = -1;  ///< exit status; 128 + the signal that ended it
  /// Runs compare whole: output bytes and exit status.
  bool operator==(const RunResult& other) const { return out == other.out && status == other.status; }
  friend void PrintTo(const RunResult& run, std::ostream* os) {
    *os << ::testing::PrintToString(run.out) << ", exit " << run.status;
  }
};

/// Runs build/kel with `args` (argv[0] is "kel"), or kel.exe under wine.
RunResult RunKel(const std::vector<std::string>& args, const RunOptions& options = {});

}  // namespace kel::testing

#endif  // KEL_TESTS_TEST_SUPPORT_H_
