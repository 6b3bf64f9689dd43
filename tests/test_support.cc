#include "test_support.h"

#include <fcntl.h>
#include <iconv.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#ifndef KEL_BINARY
#error "KEL_BINARY must name the kel binary under test"
#endif

namespace fs = std::filesystem;

namespace kel::testing {

ScopedTempDir::ScopedTempDir() {
  std::string pattern = (fs::temp_directory_path() / "kel-test-XXXXXX").string();
  char* made = mkdtemp(pattern.data());
  path_ = made != nullptr ? made : "";
  // The unprivileged runs need to reach their files.
  if (!path_.empty()) chmod(path_.c_str(), 0777);
}

ScopedTempDir::~ScopedTempDir() {
  std::error_code ignored;
  if (!path_.empty()) fs::remove_all(path_, ignored);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string InLocale(const std::string& utf8, const std::string& locale) {
  if (locale.find("utf8") != std::string::npos || locale.find("UTF-8") != std::string::npos) {
    return utf8;
  }
  iconv_t converter = iconv_open("CP932", "UTF-8");
  std::string out(utf8.size() * 2, '\0');
  char* in = const_cast<char*>(utf8.data());
  char* at = out.data();
  size_t inLeft = utf8.size(), outLeft = out.size();
  iconv(converter, &in, &inLeft, &at, &outLeft);
  iconv_close(converter);
  out.resize(out.size() - outLeft);
  return out;
}

std::vector<std::string> ListTree(const std::string& folder) {
  std::vector<std::string> paths;
  for (const auto& item : fs::recursive_directory_iterator(folder)) {
    std::string relative = fs::relative(item.path(), folder).string();
    paths.push_back(item.is_directory() ? relative + "/" : relative);
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

RunResult RunKel(const std::vector<std::string>& args, const RunOptions& options) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return {};
  pid_t child = fork();
  if (child == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(120);
    setenv("LC_ALL", options.locale.c_str(), 1);
    if (options.fileSizeLimit >= 0) {
      signal(SIGXFSZ, SIG_IGN);
      rlimit limit{static_cast<rlim_t>(options.fileSizeLimit), static_cast<rlim_t>(options.fileSizeLimit)};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    // Opened before dropping privileges: the unprivileged user may not be
    // allowed to pass through the folders above the build.
    const int binary = open(KEL_BINARY, O_RDONLY | O_CLOEXEC);
    if (options.asNobody && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(121);
    std::vector<char*> argv;
    std::string program = "kel";
    argv.push_back(program.data());
    std::vector<std::string> copies = args;
    for (std::string& arg : copies) argv.push_back(arg.data());
    argv.push_back(nullptr);
    fexecve(binary, argv.data(), environ);
    _exit(122);
  }
  close(pipeFds[1]);
  if (options.signal != 0) {
    usleep(static_cast<useconds_t>(options.signalAfter));
    kill(child, options.signal);
  }
  RunResult result;
  char chunk[65536];
  ssize_t got;
  while ((got = read(pipeFds[0], chunk, sizeof chunk)) > 0) result.out.append(chunk, static_cast<size_t>(got));
  close(pipeFds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

}  // namespace kel::testing
