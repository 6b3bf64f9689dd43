// The tool's side of the system: standard output, the terminal, the command
// line's arguments and text mode of the process, and the signals (on
// Windows the console's events) turned into the library's cancel flag.
#ifndef KEL_PROGRAMS_CONSOLE_H_
#define KEL_PROGRAMS_CONSOLE_H_

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

namespace kel::console {

/// Reads the locale (the ANSI code page on Windows): whether the process
/// takes names and texts as UTF-8, or as the stored Shift-JIS bytes.
bool TextIsUtf8();
/// The command-line arguments in the process code page, argv[0] first.
std::vector<std::string> Arguments(int argc, char** argv);

/// Where kel keeps its records of what it wrote, in the system's form:
/// $XDG_CACHE_HOME/kel or ~/.cache/kel (Windows: %LOCALAPPDATA%\kel);
/// empty when there is none.
std::string RecordFolder();

/// Standard output, buffered; Flush pushes it out and reports whether every
/// byte written so far reached its destination.
void WriteOutput(const char* text, size_t size);
bool FlushOutput();
bool OutputIsTerminal();
/// Standard error, written at once; false when the text was lost.
bool WriteErrorOutput(const char* text, size_t size);
bool ErrorIsTerminal();

/// From now on SIGINT, SIGTERM and SIGHUP (a closed console window, a
/// logoff, a shutdown) are only noted in the cancel flag, so that the work
/// in hand can be finished or undone first.
void CatchInterrupts();
/// The flag the library watches: non-zero once a signal was noted.
const std::atomic<int>* CancelFlag();
/// When a signal was noted: pushes out standard output and ends the
/// process as that signal asks. Returns otherwise.
void EndIfInterrupted();

}  // namespace kel::console

#endif  // KEL_PROGRAMS_CONSOLE_H_
