// Dispatch. An option is "-" and a letter (later characters ignored, so
// -list lists), or "/" and a letter when the argument is exactly two
// characters; anything else is an archive path for the default command,
// extract all.
#include "cli.h"

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

std::string FolderOperand(int argc, char** argv, int index) {
  std::string folder = argc > index ? argv[index] : "";
  AppendBackslash(folder);
  return folder;
}

int Dispatch(int argc, char** argv) {
  if (argc <= 1) return Usage(argv[0]);
  const std::string first = argv[1];
  const bool isOption = (first.size() >= 1 && first[0] == '-') ||
                        (first.size() == 2 && first[0] == '/');
  if (!isOption) return ExtractAll(argv[1], FolderOperand(argc, argv, 2));

  const char letter = first.size() >= 2 ? first[1] : '\0';
  switch (letter) {
    case 'd':
    case 'D':
      if (argc <= 2) break;
      return ExtractAll(argv[2], FolderOperand(argc, argv, 3));
    case 'l':
    case 'L':
      if (argc <= 2) break;
      if (LoadDirectory(argv[2]) != 0) return -1;
      return ListEntries();
    case 'e':
    case 'E':
      if (argc > 5) {
        return ExtractRange(argv[2], ParseNumber(argv[3]), ParseNumber(argv[4]), argv[5]);
      }
      if (argc > 3) {
        return ExtractByAddress(argv[2], FolderOperand(argc, argv, 4), ParseNumber(argv[3]));
      }
      break;
    case 'm':
    case 'M':
      if (argc > 4) {
        // Only a "0x" prefix marks an address; a decimal operand is the
        // replacement of the by-name form.
        if (std::string(argv[4]).rfind("0x", 0) == 0) {
          return MergeAt(argv[3], argv[2], ParseNumber(argv[4]));
        }
        return MergeByName(argv[2], argv[3], argv[4]);
      }
      if (argc > 3) return MergeByFile(argv[2], argv[3]);
      break;
    default:
      break;
  }
  return Usage(argv[0]);
}

}  // namespace

int64_t ParseNumber(const std::string& text) {
  const bool hexadecimal = text.size() >= 3 && text[0] == '0' && text[1] == 'x';
  return platform::ParseInteger(text.c_str(), hexadecimal ? 16 : 10);
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
  const int result = Dispatch(argc, argv);
  const bool outputComplete = messages::Flush();
  return result == 0 && outputComplete ? 0 : kFailureStatus;
}

}  // namespace kel
