// Dispatch. A command option is "-" and a letter, or "/" and a letter when
// the argument is exactly two characters; anything else is an archive path
// for the default command, extract all. Letters after the command's are its
// options when they all are options of kel (-un is -u -n), and ignored when
// none is (-list lists); a mix is refused. The command's own options (-q,
// -n, -j N, --json) come between it and the archive. A command line that
// fits no form is told in one line, then the usage text.
#include "cli.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>
#include <vector>

#include "commands.h"
#include "console.h"
#include "messages.h"
#include "paths.h"

namespace kel {
namespace {

constexpr int kFailureStatus = 255;

constexpr char kOptionLetters[] = "qnjk";

int Usage(const std::string& program) {
  messages::SetQuiet(false);
  messages::Usage(program);
  return -1;
}

// A number operand, or its message: a typo must never become 0.
bool Number(const std::string& text, int64_t* value) {
  if (ParseNumber(text, value)) return true;
  messages::NotANumber(text);
  return false;
}

// Asked for, the usage text is no failure.
int Help(const std::string& program) {
  messages::Usage(program);
  messages::Commands();
  return 0;
}

struct Options {
  bool quiet = false;
  bool json = false;
  bool dryRun = false;
  bool keep = false;
  bool full = false;  ///< -u: every byte compared, whatever the record says
  int threads = 0;    ///< 0: as many as suit the machine
  std::vector<std::string> excluded;
};

constexpr char kExclude[] = "--exclude";

// The options between the command option and its operands, each of them
// one that `allowed` names ("q" -q, "n" -n, "j" -j N, "J" --json, "k" -k,
// "x" -x PATTERN or --exclude=PATTERN, "F" --full). False, after its
// message, for any other, or a thread count that is not a whole number from
// 1 to 64.
bool ParseOptions(std::vector<std::string>& arguments, const std::string& allowed, Options* options) {
  size_t at = 0;
  for (; at < arguments.size() && arguments[at].size() > 1 && arguments[at][0] == '-'; ++at) {
    const std::string& option = arguments[at];
    if (option == "--") {
      ++at;
      break;
    }
    const bool exclude = option.rfind(kExclude, 0) == 0 && (option.size() == 9 || option[9] == '=');
    const char letter = option == "--json"                       ? 'J'
                        : option == "--full"                     ? 'F'
                        : exclude                                ? 'x'
                        : option.size() >= 2 && option[1] != '-' ? option[1]
                                                                 : '\0';
    // The value of -j and -x: the rest of the option, or the next argument.
    auto value = [&option, &arguments, &at, exclude]() -> std::string {
      const size_t from = exclude ? 10 : 2;
      if (option.size() > from || (exclude && option.size() == from)) return option.substr(from);
      return at + 1 < arguments.size() ? arguments[++at] : "";
    };
    if (letter == 'q' && option == "-q" && allowed.find(letter) != std::string::npos) {
      options->quiet = true;
    } else if (letter == 'n' && option == "-n" && allowed.find(letter) != std::string::npos) {
      options->dryRun = true;
    } else if (letter == 'k' && option == "-k" && allowed.find(letter) != std::string::npos) {
      options->keep = true;
    } else if (letter == 'J' && allowed.find(letter) != std::string::npos) {
      options->json = true;
    } else if (letter == 'x' && allowed.find(letter) != std::string::npos) {
      options->excluded.push_back(value());
      if (options->excluded.back().empty()) {
        messages::MissingOperands(option);
        return false;
      }
    } else if (letter == 'F' && allowed.find(letter) != std::string::npos) {
      options->full = true;
    } else if (letter == 'j' && allowed.find(letter) != std::string::npos) {
      const std::string count = value();
      int64_t threads = 0;
      if (!ParseNumber(count, &threads) || threads < 1 || threads > 64) {
        messages::BadThreadCount(count);
        return false;
      }
      options->threads = static_cast<int>(threads);
    } else {
      messages::NotAnOption(option);
      return false;
    }
  }
  arguments.erase(arguments.begin(), arguments.begin() + static_cast<std::ptrdiff_t>(at));
  return true;
}

// Extract-all: the archive, then a destination folder and patterns. A
// destination that is empty or looks like an option is a slip (an unset
// variable, a misplaced option), never "here".
int ExtractAllTo(const std::vector<std::string>& operands, const Options& options,
                 const std::string& program) {
  if (operands.empty() || (operands.size() > 1 && (operands[1].empty() || operands[1][0] == '-'))) {
    if (!operands.empty()) messages::BadDestination(operands[1]);
    return Usage(program);
  }
  std::string destDir = operands.size() > 1 ? operands[1] : "";
  AppendBackslash(destDir, NameEncoding());
  std::vector<std::string> patterns;
  if (operands.size() > 2) patterns.assign(operands.begin() + 2, operands.end());
  return ExtractAll(operands[0], destDir, patterns, options.excluded, options.threads, options.keep);
}

int Dispatch(const std::vector<std::string>& arguments) {
  const std::string program = arguments.empty() ? "kel" : arguments[0];
  if (arguments.size() <= 1) return Usage(program);
  const std::string& first = arguments[1];
  if (first == "--help") return Help(program);
  if (first == "--version") {
    messages::Version(program);
    return 0;
  }
  std::vector<std::string> operands(arguments.begin() + 2, arguments.end());
  const bool isOption = (!first.empty() && first[0] == '-') || (first.size() == 2 && first[0] == '/');
  if (!isOption) return ExtractAllTo({arguments.begin() + 1, arguments.end()}, Options(), program);

  const char letter =
      first.size() >= 2 ? static_cast<char>(tolower(static_cast<unsigned char>(first[1]))) : '\0';
  if (letter == 'h' || letter == '?') return Help(program);
  static const std::string kAllowed[][2] = {{"d", "qjkx"}, {"l", "Jx"}, {"t", "qx"},
                                            {"e", "qk"},   {"m", "q"},  {"r", "q"},
                                            {"u", "qnxF"}, {"c", "q"},  {"p", "x"}};
  const auto* command = std::find_if(std::begin(kAllowed), std::end(kAllowed),
                                     [letter](const auto& allowed) { return allowed[0][0] == letter; });
  if (command == std::end(kAllowed)) {
    const bool option = (letter != '\0' && std::strchr("qnjkx", letter) != nullptr) || first == "--json" ||
                        first == "--full" || first.rfind(kExclude, 0) == 0;
    option ? messages::OptionBeforeCommand(first) : messages::UnknownCommand(first);
    return Usage(program);
  }
  // Letters run together after the command's stand for its options, which
  // are then checked as if written apart.
  const std::string tail = first.size() > 2 && first[0] == '-' ? first.substr(2) : "";
  const auto optionLetters = std::count_if(tail.begin(), tail.end(), [](char c) {
    return std::strchr(kOptionLetters, tolower(static_cast<unsigned char>(c))) != nullptr;
  });
  if (optionLetters > 0 && optionLetters < static_cast<std::ptrdiff_t>(tail.size())) {
    messages::MixedLetters(first);
    return Usage(program);
  }
  for (size_t at = tail.size(); optionLetters > 0 && at > 0; --at) {
    operands.insert(operands.begin(),
                    {'-', static_cast<char>(tolower(static_cast<unsigned char>(tail[at - 1])))});
  }
  Options options;
  if (!ParseOptions(operands, (*command)[1], &options)) return Usage(program);
  messages::SetQuiet(options.quiet);
  messages::SetMessagesToError(options.json || letter == 'p');
  // Names and patterns, not the archive or a folder, which the system takes as bytes.
  const size_t paths = letter == 'd' || letter == 'u' ? 2 : 1;
  if (std::strchr("ldupmr", letter) != nullptr && operands.size() > paths) {
    NoteUtf8Names({operands.begin() + static_cast<std::ptrdiff_t>(paths), operands.end()});
  }
  NoteUtf8Names(options.excluded);
  const size_t count = operands.size();
  switch (letter) {
    case 'd':
      return ExtractAllTo(operands, options, program);
    case 'l': {
      if (count < 1) break;
      return ListEntries(operands[0], {operands.begin() + 1, operands.end()}, options.excluded, options.json);
    }
    case 't':
      if (count < 1) break;
      return TestArchive(operands[0], options.excluded);
    case 'p':
      if (count < 1) break;
      return PrintStored(operands[0], {operands.begin() + 1, operands.end()}, options.excluded);
    case 'e': {
      int64_t address = 0;
      int64_t size = 0;
      if (count > 3) {
        // The range's output is the one named: it is written, as dd writes.
        if (options.keep) {
          messages::NotAnOption("-k");
          return Usage(program);
        }
        if (!Number(operands[1], &address) || !Number(operands[2], &size)) return -1;
        return ExtractRange(operands[0], address, size, operands[3]);
      }
      if (count > 1) {
        if (!Number(operands[1], &address)) return -1;
        std::string destDir = count > 2 ? operands[2] : "";
        AppendBackslash(destDir, NameEncoding());
        return ExtractByAddress(operands[0], destDir, address, options.keep);
      }
      break;
    }
    case 'm':
      if (count > 2) {
        // Only a "0x" prefix marks an address; a decimal operand is the
        // replacement of the by-name form.
        if (operands[2].rfind("0x", 0) == 0) {
          int64_t address = 0;
          if (!Number(operands[2], &address)) return -1;
          return MergeAt(operands[1], operands[0], address);
        }
        return MergeByName(operands[0], operands[1], operands[2]);
      }
      if (count > 1) return MergeByFile(operands[0], operands[1]);
      break;
    case 'r':
      if (count > 2) return ReplaceByName(operands[0], operands[1], operands[2]);
      if (count > 1) return ReplaceByFile(operands[0], operands[1]);
      break;
    case 'u': {
      if (count < 2) break;
      return UpdateFromFolder(operands[0], operands[1], {operands.begin() + 2, operands.end()},
                              options.excluded, options.dryRun, options.full);
    }
    case 'c':
      if (count < 1) break;
      return CompactArchive(operands[0], count > 1 ? operands[1] : "");
    default:
      break;
  }
  messages::MissingOperands(first);
  return Usage(program);
}

}  // namespace

bool ParseNumber(const std::string& text, int64_t* value) {
  const bool hexadecimal = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const bool negative = !hexadecimal && !text.empty() && text[0] == '-';
  const size_t first = hexadecimal ? 2 : negative ? 1 : 0;
  const uint64_t base = hexadecimal ? 16 : 10;
  // The magnitude may reach 2^63 only for the most negative value.
  const uint64_t limit = negative ? uint64_t{1} << 63 : INT64_MAX;
  if (first == text.size()) return false;
  uint64_t magnitude = 0;
  const std::string_view digits = std::string_view("0123456789abcdef").substr(0, base);
  for (size_t at = first; at < text.size(); ++at) {
    const char c = text[at];
    const uint64_t digit = digits.find(c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c);
    if (digit == std::string_view::npos) return false;
    if (magnitude > (limit - digit) / base) return false;
    magnitude = magnitude * base + digit;
  }
  *value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

int RunCommandLine(int argc, char** argv) {
  const bool utf8 = console::TextIsUtf8();
  SetNameEncoding(utf8 ? Encoding::kUtf8 : Encoding::kShiftJis);
  messages::SetUtf8(utf8);
  const int result = Dispatch(console::Arguments(argc, argv));
  // A signal noted on a path that ended early still ends the process as it asks.
  console::EndIfInterrupted();
  const bool outputComplete = messages::Flush();
  return result == 0 && outputComplete ? 0 : kFailureStatus;
}

}  // namespace kel
