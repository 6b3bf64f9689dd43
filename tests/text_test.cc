// The text layer in its two modes: the C locale keeps Shift-JIS bytes, whose
// double-byte characters may end in 0x5C, and a UTF-8 locale converts stored
// CP932 names and prints the tool's texts as they are.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform.h"

namespace kel {
namespace {

using namespace kel::platform;

// Switches the text mode during a test; the C mode again at its end. On
// Windows the ANSI code page sets the mode (932 stands for C): rows of the
// other mode are false there, and left out.
struct TextMode {
  ~TextMode() { Use("C"); }
  bool Use(const char* locale) {
#ifdef _WIN32
    InitText();
    return TextIsUtf8() == (std::string(locale) != "C");
#else
    setenv("LC_ALL", locale, 1);
    InitText();
    return true;
#endif
  }
};

TEST(EqualIgnoringCase, FoldsOnlyAsciiLettersAndComparesCharactersWhole) {
  TextMode mode;
  struct Row {
    const char* name;
    const char* locale;
    std::string a, b;
    bool equal;
  };
  const Row rows[] = {
      {"ASCII letters", "C", "Chara\\A.DDS", "chara\\a.dds", true},
      // 82 41 and 82 61 are two characters, not one letter in two cases.
      {"a second byte 0x41", "C", "\x82\x41", "\x82\x61", false},
      {"full-width letters", "C", "\x82\x60", "\x82\x81", false},
      {"the neighbours of the letters", "C", "@[", "`{", false},
      {"a lead byte at the end", "C", "A\x82", "a\x82", true},
      // E3 81 82 41 would pair 82 with 41 under the Shift-JIS rule.
      {"a letter behind UTF-8 bytes", "C.utf8", "あA", "あa", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (!mode.Use(row.locale)) continue;
    EXPECT_EQ(EqualIgnoringCase(row.a, row.b), row.equal);
  }
}

TEST(NameFromArchive, ConvertsShiftJisNamesOnlyInTheUtf8Mode) {
  TextMode mode;
  struct Row {
    const char* name;
    const char* locale;
    std::string (*convert)(const std::string&);
    std::string in, out;
  };
  const Row rows[] = {
      {"a stored name", "C.utf8", NameFromArchive, "\x95\x5c\\\x82\xa0\xb1.txt", "表\\あｱ.txt"},
      // 85 40 is no CP932 character, and 95 alone is cut short.
      {"an invalid name", "C.utf8", NameFromArchive, "a\x85\x40", "a\x85\x40"},
      {"a cut name", "C.utf8", NameFromArchive, "a\x95", "a\x95"},
      {"a stored name in C", "C", NameFromArchive, "\x95\x5c", "\x95\x5c"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (!mode.Use(row.locale)) continue;
    EXPECT_EQ(row.convert(row.in), row.out);
  }
}

}  // namespace
}  // namespace kel
