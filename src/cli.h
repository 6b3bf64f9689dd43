// The command line: picks one command from the first argument, converts its
// operands, runs it, and turns the outcome into the exit status.
#ifndef KEL_CLI_H_
#define KEL_CLI_H_

#include <cstdint>
#include <string>

namespace kel {

/// "0x" followed by at least one character converts as hexadecimal, anything
/// else as decimal; no digits give 0, out-of-range values saturate.
int64_t ParseNumber(const std::string& text);

/// Ends a non-empty folder text with a backslash, unless it has one. Returns 0.
int AppendBackslash(std::string& text);

/// Runs one command line; returns the exit status: 0 when the command did its
/// whole job, 255 after the usage text or any failure.
int RunCommandLine(int argc, char** argv);

}  // namespace kel

#endif  // KEL_CLI_H_
