// Dispatch. An option is "-" and a letter (later characters ignored, so
// -list lists), or "/" and a letter when the argument is exactly two
// characters; anything else is an archive path for the default command,
// extract all. A destination folder for extract-all that is empty or looks
// like an option is a slip (an unset variable, a misplaced option), never
// "here".
#include "cli.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "archive.h"
#include "extract.h"
#include "merge.h"
#include "messages.h"
#include "platform.h"

namespace kel {
namespace {

constexpr int kFailureStatus = 255;

int Usage(const char* program) {
  messages::Usage(program != nullptr ? program : "kel");
  return -1;
}

// A number operand, or its message: a typo must never become 0.
bool Number(const char* text, int64_t* value) {
  if (ParseNumber(text, value)) return true;
  messages::NotANumber(text);
  return false;
}

// Asked for, the usage text is no failure.
int Help(const char* program) {
  messages::Usage(program);
  return 0;
}

std::string FolderOperand(int argc, char** argv, int index) {
  std::string folder = argc > index ? argv[index] : "";
  AppendBackslash(folder);
  return folder;
}

int ExtractAllTo(int argc, char** argv, int archiveIndex) {
  const int folderIndex = archiveIndex + 1;
  if (argc > folderIndex && (argv[folderIndex][0] == '\0' || argv[folderIndex][0] == '-')) {
    return Usage(argv[0]);
  }
  return ExtractAll(argv[archiveIndex], FolderOperand(argc, argv, folderIndex));
}

int Dispatch(int argc, char** argv) {
  if (argc <= 1) return Usage(argv[0]);
  const std::string first = argv[1];
  if (first == "--help") return Help(argv[0]);
  if (first == "--version") {
    messages::Version(argv[0]);
    return 0;
  }
  const bool isOption = (!first.empty() && first[0] == '-') || (first.size() == 2 && first[0] == '/');
  if (!isOption) return ExtractAllTo(argc, argv, 1);

  const char letter = first.size() >= 2 ? first[1] : '\0';
  switch (letter) {
    case 'h':
    case 'H':
    case '?':
      return Help(argv[0]);
    case 'd':
    case 'D':
      if (argc <= 2) break;
      return ExtractAllTo(argc, argv, 2);
    case 'l':
    case 'L':
      if (argc <= 2) break;
      return ListEntries(argv[2]);
    case 'e':
    case 'E': {
      int64_t address = 0;
      int64_t size = 0;
      if (argc > 5) {
        if (!Number(argv[3], &address) || !Number(argv[4], &size)) return -1;
        return ExtractRange(argv[2], address, size, argv[5]);
      }
      if (argc > 3) {
        if (!Number(argv[3], &address)) return -1;
        return ExtractByAddress(argv[2], FolderOperand(argc, argv, 4), address);
      }
      break;
    }
    case 'm':
    case 'M':
      if (argc > 4) {
        // Only a "0x" prefix marks an address; a decimal operand is the
        // replacement of the by-name form.
        if (std::string(argv[4]).rfind("0x", 0) == 0) {
          int64_t address = 0;
          if (!Number(argv[4], &address)) return -1;
          return MergeAt(argv[3], argv[2], address);
        }
        return MergeByName(argv[2], argv[3], argv[4]);
      }
      if (argc > 3) return MergeByFile(argv[2], argv[3]);
      break;
    case 'r':
    case 'R':
      if (argc > 4) return ReplaceByName(argv[2], argv[3], argv[4]);
      if (argc > 3) return ReplaceByFile(argv[2], argv[3]);
      break;
    default:
      break;
  }
  return Usage(argv[0]);
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

int AppendBackslash(std::string& text) {
  // The last character, not the last byte: in Shift-JIS text a 0x5C may be
  // the second byte of a double-byte character.
  if (text.empty() || platform::FindLastCharacter(text, '\\') == text.size() - 1) return 0;
  text += '\\';
  // Behind half a double-byte character (a UTF-8 name read as Shift-JIS) the
  // backslash would become its second byte; a slash always separates.
  if (platform::FindLastCharacter(text, '\\') != text.size() - 1) text.back() = '/';
  return 0;
}

int RunCommandLine(int argc, char** argv) {
  platform::InitText();
  std::vector<std::string> arguments = platform::Arguments(argc, argv);
  std::vector<char*> pointers(arguments.size() + 1, nullptr);
  std::transform(arguments.begin(), arguments.end(), pointers.begin(),
                 [](std::string& argument) { return &argument[0]; });
  const int result = Dispatch(static_cast<int>(arguments.size()), pointers.data());
  const bool outputComplete = messages::Flush();
  return result == 0 && outputComplete ? 0 : kFailureStatus;
}

}  // namespace kel
