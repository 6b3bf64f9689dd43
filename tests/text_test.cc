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

// The two text functions that depend on the mode, as texts to compare.
std::string Equal(const std::string& a, const std::string& b) { return EqualIgnoringCase(a, b) ? "=" : "!="; }
std::string Name(const std::string& stored, const std::string&) { return NameFromArchive(stored); }

// Case folds only ASCII letters and compares double-byte characters whole;
// stored Shift-JIS names are converted only in the UTF-8 mode.
TEST(TextLayer, FoldsAsciiOnlyAndConvertsNamesOnlyInTheUtf8Mode) {
  TextMode mode;
  struct Row {
    const char* name;
    const char* locale;
    std::string (*call)(const std::string&, const std::string&);
    std::string a, b, want;
  };
  const Row rows[] = {
      {"ASCII letters", "C", Equal, "Chara\\A.DDS", "chara\\a.dds", "="},
      // 82 41 and 82 61 are two characters, not one letter in two cases.
      {"a second byte 0x41", "C", Equal, "\x82\x41", "\x82\x61", "!="},
      {"full-width letters", "C", Equal, "\x82\x60", "\x82\x81", "!="},
      {"the neighbours of the letters", "C", Equal, "@[", "`{", "!="},
      {"a lead byte at the end", "C", Equal, "A\x82", "a\x82", "="},
      // E3 81 82 41 would pair 82 with 41 under the Shift-JIS rule.
      {"a letter behind UTF-8 bytes", "C.utf8", Equal, "あA", "あa", "="},
      {"a stored name", "C.utf8", Name, "\x95\x5c\\\x82\xa0\xb1.txt", "", "表\\あｱ.txt"},
      // 85 40 is no CP932 character, and 95 alone is cut short.
      {"an invalid name", "C.utf8", Name, "a\x85\x40", "", "a\x85\x40"},
      {"a cut name", "C.utf8", Name, "a\x95", "", "a\x95"},
      {"a stored name in C", "C", Name, "\x95\x5c", "", "\x95\x5c"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (!mode.Use(row.locale)) continue;
    EXPECT_EQ(row.call(row.a, row.b), row.want);
  }
}

}  // namespace
}  // namespace kel
