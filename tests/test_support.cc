#include "test_support.h"

#include <fcntl.h>
#include <iconv.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

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

std::vector<std::string> ListTree(const std::string& folder) {
  std::vector<std::string> paths;
  for (const auto& item : fs::recursive_directory_iterator(folder)) {
    std::string relative = item.path().lexically_relative(folder).string();
    paths.push_back(item.is_directory() && !item.is_symlink() ? relative + "/" : relative);
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

namespace {

bool IsUtf8Locale(const std::string& locale) {
  return locale.find("utf8") != std::string::npos || locale.find("UTF-8") != std::string::npos;
}

// Converts between CP932 and UTF-8; false, with `text` unchanged, when it is
// not valid in `from`.
bool Convert(std::string& text, const char* to, const char* from) {
  iconv_t converter = iconv_open(to, from);
  std::string out(text.size() * 3, '\0');
  char* in = const_cast<char*>(text.data());
  char* at = out.data();
  size_t inLeft = text.size(), outLeft = out.size();
  const bool whole = iconv(converter, &in, &inLeft, &at, &outLeft) != static_cast<size_t>(-1) && inLeft == 0;
  iconv_close(converter);
  out.resize(out.size() - outLeft);
  if (whole) text = out;
  return whole;
}

const char* WindowsBinary() { return getenv("KEL_EXE"); }

// One run of kel, or of kel.exe under wine with the code page the locale
// stands for and the operands as the user would type them, in UTF-8. The
// child of a process with threads may only make async-signal-safe calls:
// its arguments and environment are made before the fork.
RunResult RunOnce(const std::vector<std::string>& args, const RunOptions& options) {
  const bool utf8 = IsUtf8Locale(options.locale);
  const char* wine = getenv("KEL_WINE") != nullptr ? getenv("KEL_WINE") : "wine";
  const std::string exe = WindowsBuild() ? fs::absolute(WindowsBinary()).string() : "";
  std::vector<std::string> texts =
      WindowsBuild() ? std::vector<std::string>{wine, exe} : std::vector<std::string>{"kel"};
  for (std::string arg : args) {
    if (WindowsBuild() && !utf8) Convert(arg, "UTF-8", "CP932");
    texts.push_back(arg);
  }
  const size_t argc = texts.size();
  for (char** variable = environ; *variable != nullptr; ++variable) {
    if (strncmp(*variable, "LC_ALL=", 7) != 0 && strncmp(*variable, "XDG_CACHE_HOME=", 15) != 0)
      texts.emplace_back(*variable);
  }
  texts.push_back("LC_ALL=" + (!WindowsBuild() ? options.locale : utf8 ? "C.UTF-8" : "ja_JP.UTF-8"));
  // Records of what kel wrote stay with the test (the run's own, or one folder for all).
  static const ScopedTempDir records;
  texts.push_back("XDG_CACHE_HOME=" + (options.records.empty() ? records.path() : options.records));
  texts.insert(texts.end(), options.environment.begin(), options.environment.end());
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.insert(pointers.begin() + static_cast<std::ptrdiff_t>(argc), nullptr);
  pointers.push_back(nullptr);
  char** const argv = pointers.data();
  char** const envp = argv + argc + 1;
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return {};
  // Opened before dropping privileges: the unprivileged user may not be
  // allowed to pass through the folders above the build.
  const int binary = WindowsBuild() ? -1 : open(KEL_BINARY, O_RDONLY | O_CLOEXEC);
  const int full = options.fullOutput ? open("/dev/full", O_WRONLY | O_CLOEXEC) : -1;
  FILE* const error = options.splitError ? tmpfile() : nullptr;
  pid_t child = fork();
  if (child == 0) {
    dup2(full >= 0 ? full : pipeFds[1], STDOUT_FILENO);
    if (error != nullptr) dup2(fileno(error), STDERR_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(120);
    if (WindowsBuild()) execvpe(wine, argv, envp);
    if (options.fileSizeLimit >= 0) {
      signal(SIGXFSZ, SIG_IGN);
      rlimit limit{static_cast<rlim_t>(options.fileSizeLimit), static_cast<rlim_t>(options.fileSizeLimit)};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (options.asNobody && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(121);
    fexecve(binary, argv, envp);
    _exit(122);
  }
  if (binary >= 0) close(binary);
  if (full >= 0) close(full);
  close(pipeFds[1]);
  if (options.signal != 0) {
    usleep(static_cast<useconds_t>(options.signalAfter));
    kill(child, options.signal);
  }
  RunResult result;
  char chunk[65536];
  int status = 0;
  bool ended = false;
  // A run that a signal does not end within a minute hangs: it fails rather
  // than the suite.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  // A process that the run started and left behind (wine's server) may hold
  // the pipe open: once the child has ended, what the pipe holds is all.
  pollfd output{pipeFds[0], POLLIN, 0};
  while (true) {
    if (poll(&output, 1, ended ? 0 : 50) > 0) {
      const ssize_t got = read(pipeFds[0], chunk, sizeof chunk);
      if (got <= 0) break;
      result.out.append(chunk, static_cast<size_t>(got));
    } else if (ended) {
      break;
    } else {
      ended = waitpid(child, &status, WNOHANG) == child;
      if (!ended && options.signal != 0 && std::chrono::steady_clock::now() > deadline) kill(child, SIGKILL);
    }
  }
  close(pipeFds[0]);
  if (!ended) waitpid(child, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (error != nullptr) {
    result.out += "<stderr>\n";
    rewind(error);
    for (size_t got; (got = fread(chunk, 1, sizeof chunk, error)) > 0;) result.out.append(chunk, got);
    fclose(error);
  }
  if (WindowsBuild()) {
    // Wine hands the program its full Windows path as argv[0], which the
    // usage text shows; the expected texts name it kel.
    std::string program = "Z:" + exe;
    std::replace(program.begin(), program.end(), '/', '\\');
    for (size_t at = result.out.find(program); at != std::string::npos; at = result.out.find(program, at)) {
      result.out.replace(at, program.size(), "kel");
    }
  }
  return result;
}

}  // namespace

std::string InLocale(const std::string& utf8, const std::string& locale) {
  std::string text = utf8;
  if (!IsUtf8Locale(locale)) Convert(text, "CP932", "UTF-8");
  return text;
}

bool WindowsBuild() { return WindowsBinary() != nullptr && WindowsBinary()[0] != '\0'; }

std::string OnDisk(const std::string& utf8, const std::string& locale) {
  return WindowsBuild() ? utf8 : InLocale(utf8, locale);
}

RunResult RunKel(const std::vector<std::string>& args, const RunOptions& options) {
  RunResult result = RunOnce(args, options);
  // Under load wine has, rarely, ended with status 1 and no output before
  // the program ran; kel.exe itself ends only with 0, 255 or a signal's
  // status, so such a run is made again.
  for (int retry = 0; WindowsBuild() && result == RunResult{"", 1} && retry < 2; ++retry) {
    std::cerr << "wine ended with status 1 before kel.exe ran; running it again\n";
    result = RunOnce(args, options);
  }
  return result;
}

}  // namespace kel::testing
