// The command line: picks one command from the first argument, converts its
// operands, runs it, and turns the outcome into the exit status.
#ifndef KEL_PROGRAMS_CLI_H_
#define KEL_PROGRAMS_CLI_H_

#include <cstdint>
#include <string>

namespace kel {

/// A whole number: decimal with an optional minus sign, or hexadecimal
/// after "0x" or "0X". False for anything else, blanks and values beyond
/// the signed 64-bit range included.
bool ParseNumber(const std::string& text, int64_t* value);

/// Runs one command line; returns the exit status: 0 when the command did its
/// whole job, 255 after the usage text or any failure.
int RunCommandLine(int argc, char** argv);

}  // namespace kel

#endif  // KEL_PROGRAMS_CLI_H_
