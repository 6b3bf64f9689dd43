// The POSIX console: standard output through one buffer, the locale's
// codeset, and SIGINT, SIGTERM and SIGHUP noted until the work in hand is
// finished or undone.
#include <langinfo.h>
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>

#include "console.h"

namespace kel::console {
namespace {

// Read by every thread, written by the handler on any.
std::atomic<int> caughtSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler may only use a lock-free atomic");

void NoteSignal(int signal) { caughtSignal = signal; }

// Standard output goes out in large writes; a listing of millions of lines
// is no matter of millions of calls. Only the main thread prints.
constexpr size_t kOutputBuffer = 1 << 16;
char outputBuffer[kOutputBuffer];
size_t outputUsed = 0;
bool outputLost = false;

bool WriteAll(const char* text, size_t size, int stream = STDOUT_FILENO) {
  for (size_t done = 0; done < size;) {
    const ssize_t put = write(stream, text + done, size - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
  }
  return true;
}

// The codeset of a locale name such as ja_JP.UTF-8 or en_US.utf8@euro.
bool NamesUtf8Codeset(const std::string& locale) {
  size_t dot = locale.find('.');
  if (dot == std::string::npos) return false;
  std::string codeset = locale.substr(dot + 1, locale.find('@', dot) - dot - 1);
  for (char& c : codeset) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return codeset == "utf-8" || codeset == "utf8";
}

}  // namespace

bool TextIsUtf8() {
  if (setlocale(LC_CTYPE, "") != nullptr) return strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
  // A UTF-8 locale that is named but not installed (containers often lack
  // it) still asks for UTF-8: the conversion needs only iconv.
  const char* name = nullptr;
  for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    name = getenv(variable);
    if (name != nullptr && name[0] != '\0') break;
  }
  return name != nullptr && NamesUtf8Codeset(name);
}

std::string RecordFolder() {
  // A relative XDG_CACHE_HOME is to be ignored, as the XDG rules say.
  const char* cache = getenv("XDG_CACHE_HOME");
  if (cache != nullptr && cache[0] == '/') return std::string(cache) + "/kel";
  const char* home = getenv("HOME");
  return home != nullptr && home[0] == '/' ? std::string(home) + "/.cache/kel" : "";
}

std::vector<std::string> Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

void WriteOutput(const char* text, size_t size) {
  if (size > kOutputBuffer - outputUsed) {
    FlushOutput();
    if (size > kOutputBuffer) {
      if (!WriteAll(text, size)) outputLost = true;
      return;
    }
  }
  memcpy(outputBuffer + outputUsed, text, size);
  outputUsed += size;
}

bool FlushOutput() {
  if (outputUsed > 0 && !WriteAll(outputBuffer, outputUsed)) outputLost = true;
  outputUsed = 0;
  return !outputLost;
}

bool OutputIsTerminal() {
  static const bool terminal = isatty(STDOUT_FILENO) == 1;
  return terminal;
}

bool WriteErrorOutput(const char* text, size_t size) { return WriteAll(text, size, STDERR_FILENO); }

bool ErrorIsTerminal() {
  static const bool terminal = isatty(STDERR_FILENO) == 1;
  return terminal;
}

void CatchInterrupts() {
  struct sigaction action = {};
  action.sa_handler = NoteSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    // A signal the caller ignores (nohup, a background job) stays ignored.
    struct sigaction old = {};
    if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) {
      sigaction(signal, &action, nullptr);
    }
  }
}

const std::atomic<int>* CancelFlag() { return &caughtSignal; }

void EndIfInterrupted() {
  const int signal = caughtSignal;
  if (signal == 0) return;
  FlushOutput();
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
  raise(signal);
  // Only if the signal could not end the process, as it should have.
  // cppcheck-suppress unreachableCode
  _exit(128 + signal);
}

}  // namespace kel::console
