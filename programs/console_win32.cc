// The Windows console: standard output through one buffer (a console is
// given UTF-16, a file or a pipe the bytes as they are), the ANSI code page
// (932 keeps the stored Shift-JIS bytes; any other gets UTF-8), the command
// line split from its UTF-16 form, and the console's events noted until the
// work in hand is finished or undone.
#include <windows.h>

#include <algorithm>
#include <cstring>

#include "console.h"
#include "platform_win32.h"

namespace kel::console {
namespace {

// Written by the handler's thread, read by every thread.
std::atomic<int> caughtEvent{0};

// Runs on a thread of its own: only notes the event, so that the work in
// hand is finished or undone first. Closing the console ends the process
// once this returns, so that one waits here for the main thread to end it.
BOOL WINAPI NoteEvent(DWORD event) {
  // 0 would read as "none": Ctrl-C is noted as the console event 0 + 1.
  caughtEvent = static_cast<int>(event) + 1;
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  Sleep(INFINITE);
  return TRUE;
}

UINT TextCodePage() { return TextIsUtf8() ? CP_UTF8 : CP_ACP; }

// Standard output goes out in large writes, as the bytes they are: a line
// end stays "\n". A console is given UTF-16 instead; every flush holds whole
// texts, so no character is cut in two.
constexpr size_t kOutputBuffer = 1 << 16;
char outputBuffer[kOutputBuffer];
size_t outputUsed = 0;
bool outputLost = false;

bool WriteStandard(DWORD stream, bool terminal, const char* text, size_t size) {
  HANDLE output = GetStdHandle(stream);
  if (!terminal) return platform::win32::WriteAll(output, text, size);
  const std::wstring wide = platform::win32::Widen(std::string(text, size), TextCodePage());
  DWORD written = 0;
  return WriteConsoleW(output, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr) != 0;
}

bool WriteStandardOutput(const char* text, size_t size) {
  return WriteStandard(STD_OUTPUT_HANDLE, OutputIsTerminal(), text, size);
}

}  // namespace

bool TextIsUtf8() {
  static const bool utf8 = GetACP() != 932;
  return utf8;
}

std::string RecordFolder() {
  wchar_t local[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", local, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return "";
  std::string folder = platform::win32::Narrow(std::wstring(local, length), CP_UTF8) + "\\kel";
  std::replace(folder.begin(), folder.end(), '\\', '/');
  return folder;
}

std::vector<std::string> Arguments(int, char**) {
  // The C runtime's arguments are in the ANSI code page, which need not hold
  // the characters typed, and may have had wildcards expanded: the command
  // line itself is UTF-16, and split here as the C runtime splits it (the
  // shell's splitter would load the window system, which then keeps a logoff
  // or a shutdown from the console handler). The program name ends at a
  // blank, or quoted at its quote; in an argument a quote starts or ends a
  // quoted run, 2n backslashes before a quote are n, and 2n+1 are n and the
  // quote itself.
  const std::wstring line = GetCommandLineW();
  std::vector<std::string> arguments;
  size_t at = line.compare(0, 1, L"\"") == 0 ? line.find(L'"', 1) : line.find_first_of(L" \t");
  arguments.push_back(platform::win32::Narrow(
      line.substr(line[0] == L'"' ? 1 : 0, at - (line[0] == L'"' ? 1 : 0)), TextCodePage()));
  at = at == std::wstring::npos ? line.size() : at + 1;
  while ((at = line.find_first_not_of(L" \t", at)) != std::wstring::npos) {
    std::wstring word;
    for (bool quoted = false; at < line.size() && (quoted || (line[at] != L' ' && line[at] != L'\t')); ++at) {
      const size_t slashes = std::min(line.find_first_not_of(L'\\', at), line.size()) - at;
      if (slashes > 0 && at + slashes < line.size() && line[at + slashes] == L'"') {
        word.append(slashes / 2, L'\\');
        at += slashes - (slashes % 2 == 0 ? 1 : 0);
        if (slashes % 2 == 1) word += L'"';
      } else if (slashes > 0) {
        word.append(slashes, L'\\');
        at += slashes - 1;
      } else if (line[at] == L'"') {
        quoted = !quoted;
      } else {
        word += line[at];
      }
    }
    arguments.push_back(platform::win32::Narrow(word, TextCodePage()));
  }
  return arguments;
}

void WriteOutput(const char* text, size_t size) {
  if (size > kOutputBuffer - outputUsed) {
    FlushOutput();
    if (size > kOutputBuffer) {
      if (!WriteStandardOutput(text, size)) outputLost = true;
      return;
    }
  }
  memcpy(outputBuffer + outputUsed, text, size);
  outputUsed += size;
}

bool FlushOutput() {
  if (outputUsed > 0 && !WriteStandardOutput(outputBuffer, outputUsed)) outputLost = true;
  outputUsed = 0;
  return !outputLost;
}

bool OutputIsTerminal() {
  DWORD mode;
  static const bool terminal = GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
  return terminal;
}

bool WriteErrorOutput(const char* text, size_t size) {
  return WriteStandard(STD_ERROR_HANDLE, ErrorIsTerminal(), text, size);
}

bool ErrorIsTerminal() {
  DWORD mode;
  static const bool terminal = GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
  return terminal;
}

void CatchInterrupts() {
  static const bool added = SetConsoleCtrlHandler(NoteEvent, TRUE) != 0;
  (void)added;
}

const std::atomic<int>* CancelFlag() { return &caughtEvent; }

void EndIfInterrupted() {
  const int event = caughtEvent - 1;
  if (event < 0) return;
  FlushOutput();
  // The statuses of the POSIX build, which scripts test the same way: Ctrl-C
  // and Ctrl-Break as SIGINT, a closed console as SIGHUP, a logoff or a
  // shutdown as SIGTERM.
  const bool interrupt = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
  ExitProcess(interrupt ? 130u : event == CTRL_CLOSE_EVENT ? 129u : 143u);
}

}  // namespace kel::console
