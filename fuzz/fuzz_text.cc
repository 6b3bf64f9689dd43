// Fuzz target: the text functions against plain reference versions written
// here, character by character from the start of the text. Any disagreement
// aborts.
//
// Input: one flag byte (bit 0: the UTF-8 mode, else the byte-faithful
// Shift-JIS mode, where bytes 0x81-0x9F and 0xE0-0xFC lead a two-byte
// character), one byte `c` for the character searches (a backslash when it
// is a lead byte), one byte that picks
// the character to search from, then the text. Names compared without case
// are the text's parts before and after its first zero byte; without a zero
// byte, the text and a copy with some letters' case changed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli.h"
#include "messages.h"
#include "paths.h"
#include "select.h"
#include "text.h"

namespace {

constexpr size_t npos = std::string::npos;

// The encoding under test: the one the functions are handed.
kel::Encoding encoding = kel::Encoding::kShiftJis;

void Check(bool agrees, const char* what) {
  if (agrees) return;
  fprintf(stderr, "fuzz_text: %s disagrees with its reference\n", what);
  abort();
}

void UseMode(bool utf8) { encoding = utf8 ? kel::Encoding::kUtf8 : kel::Encoding::kShiftJis; }

bool IsLead(unsigned char c, bool utf8) {
  return !utf8 && ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC));
}

// Where each character starts; a lead byte at the very end stands alone.
std::vector<uint8_t> CharacterStarts(const std::string& text, bool utf8) {
  std::vector<uint8_t> starts(text.size(), false);
  for (size_t at = 0; at < text.size();) {
    starts[at] = true;
    at += IsLead(static_cast<unsigned char>(text[at]), utf8) && at + 1 < text.size() ? 2 : 1;
  }
  return starts;
}

struct Text {
  std::string bytes;
  std::vector<uint8_t> starts;

  bool CharacterAt(size_t at, char c) const { return starts[at] && bytes[at] == c; }
  bool SeparatorAt(size_t at) const { return CharacterAt(at, '\\') || bytes[at] == '/'; }
};

size_t FindCharacter(const Text& text, char c, size_t from) {
  for (size_t at = from; at < text.bytes.size(); ++at) {
    if (text.CharacterAt(at, c)) return at;
  }
  return npos;
}

size_t FindLastCharacter(const Text& text, char c) {
  for (size_t at = text.bytes.size(); at-- > 0;) {
    if (text.CharacterAt(at, c)) return at;
  }
  return npos;
}

size_t FindSeparator(const Text& text, size_t from) {
  for (size_t at = from; at < text.bytes.size(); ++at) {
    if (text.SeparatorAt(at)) return at;
  }
  return npos;
}

size_t FindLastSeparator(const Text& text) {
  for (size_t at = text.bytes.size(); at-- > 0;) {
    if (text.SeparatorAt(at)) return at;
  }
  return npos;
}

bool IsSafeEntryPath(const Text& text) {
  const std::string& s = text.bytes;
  if (!s.empty() && (s[0] == '\\' || s[0] == '/')) return false;
  const bool letter = !s.empty() && ((s[0] >= 'A' && s[0] <= 'Z') || (s[0] >= 'a' && s[0] <= 'z'));
  if (letter && s.size() >= 2 && s[1] == ':') return false;
  std::string component;
  for (size_t at = 0; at <= s.size(); ++at) {
    if (at == s.size() || text.SeparatorAt(at)) {
      if (component == "..") return false;
      component.clear();
    } else {
      component += s[at];
    }
  }
  return true;
}

// Each character in a form where case no longer matters: A-Z as a-z,
// double-byte characters as they are, each behind a mark of its length.
std::string Folded(const std::string& s, bool utf8) {
  const std::vector<uint8_t> starts = CharacterStarts(s, utf8);
  std::string folded;
  for (size_t at = 0; at < s.size(); ++at) {
    char c = s[at];
    if (starts[at]) folded += at + 1 < s.size() && !starts[at + 1] ? '2' : '1';
    if (starts[at] && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    folded += c;
  }
  return folded;
}

// Decimal with an optional minus sign, or hexadecimal after 0x or 0X.
bool ParseNumber(const std::string& s, int64_t* value) {
  const bool hexadecimal = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
  const bool negative = !hexadecimal && !s.empty() && s[0] == '-';
  const std::string digits = s.substr(hexadecimal ? 2 : negative ? 1 : 0);
  if (digits.empty()) return false;
  __int128 magnitude = 0;
  for (char c : digits) {
    const std::string allowed = hexadecimal ? "0123456789abcdef" : "0123456789";
    const size_t digit = allowed.find(static_cast<char>(c >= 'A' && c <= 'F' && hexadecimal ? c + 32 : c));
    if (digit == npos) return false;
    magnitude = magnitude * (hexadecimal ? 16 : 10) + static_cast<int>(digit);
    if (magnitude > (static_cast<__int128>(1) << 64)) return false;  // far out of range already
  }
  const __int128 signedValue = negative ? -magnitude : magnitude;
  if (signedValue > INT64_MAX || signedValue < INT64_MIN) return false;
  *value = static_cast<int64_t>(signedValue);
  return true;
}

// Characters for patterns: a Shift-JIS pair, or a whole UTF-8 sequence of
// continuation bytes; else one byte.
std::vector<std::string> Characters(const std::string& s, bool utf8) {
  std::vector<std::string> characters;
  for (size_t at = 0; at < s.size();) {
    const auto lead = static_cast<unsigned char>(s[at]);
    size_t length = IsLead(lead, utf8) && at + 1 < s.size() ? 2 : 1;
    if (utf8 && lead >= 0xC2 && lead <= 0xF4) {
      const size_t wanted = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
      size_t i = 1;
      while (i < wanted && at + i < s.size() && (static_cast<unsigned char>(s[at + i]) & 0xC0) == 0x80) ++i;
      length = i == wanted ? wanted : 1;
    }
    characters.push_back(s.substr(at, length));
    at += length;
  }
  return characters;
}

std::string FoldedLetter(std::string c) {
  if (c.size() == 1 && c[0] >= 'A' && c[0] <= 'Z') c[0] = static_cast<char>(c[0] + 32);
  return c;
}

// Every way a pattern level can match a name, tried by a table.
bool MatchesLevel(const std::string& pattern, const std::string& name, bool utf8) {
  const std::vector<std::string> p = Characters(pattern, utf8), n = Characters(name, utf8);
  std::vector<std::vector<bool>> match(p.size() + 1, std::vector<bool>(n.size() + 1, false));
  match[p.size()][n.size()] = true;
  for (size_t i = p.size(); i-- > 0;) {
    for (size_t j = n.size() + 1; j-- > 0;) {
      if (p[i] == "*") {
        match[i][j] = match[i + 1][j] || (j < n.size() && match[i][j + 1]);
      } else {
        match[i][j] =
            j < n.size() && (p[i] == "?" || FoldedLetter(p[i]) == FoldedLetter(n[j])) && match[i + 1][j + 1];
      }
    }
  }
  return match[0][0];
}

std::vector<std::string> Levels(const Text& text) {
  std::vector<std::string> levels(1);
  for (size_t at = 0; at < text.bytes.size(); ++at) {
    if (text.SeparatorAt(at)) {
      levels.emplace_back();
    } else {
      levels.back() += text.bytes[at];
    }
  }
  return levels;
}

bool MatchesPattern(const Text& given, const Text& path, bool utf8) {
  // A pattern that begins "./" or "/" (either separator) names a path from the top.
  const std::string& bytes = given.bytes;
  const bool dotted = bytes.size() > 1 && bytes[0] == '.' && (bytes[1] == '/' || bytes[1] == '\\');
  const size_t top = dotted ? 2 : !bytes.empty() && (bytes[0] == '/' || bytes[0] == '\\') ? 1 : 0;
  const Text pattern{bytes.substr(top), CharacterStarts(bytes.substr(top), utf8)};
  if (top == 0 && FindSeparator(pattern, 0) == npos) {
    const size_t last = FindLastCharacter(path, '\\');
    return MatchesLevel(pattern.bytes, last == npos ? path.bytes : path.bytes.substr(last + 1), utf8);
  }
  std::vector<std::string> p = Levels(pattern);
  const std::vector<std::string> n = Levels(path);
  // A trailing separator: the levels before it match a folder of the path,
  // and something lies below it.
  const bool below = p.back().empty();
  if (below) p.pop_back();
  std::vector<std::vector<bool>> match(p.size() + 1, std::vector<bool>(n.size() + 1, false));
  for (size_t j = 0; j <= n.size(); ++j) match[p.size()][j] = below ? j < n.size() : j == n.size();
  for (size_t i = p.size(); i-- > 0;) {
    for (size_t j = n.size() + 1; j-- > 0;) {
      match[i][j] = p[i] == "**" ? match[i + 1][j] || (j < n.size() && match[i][j + 1])
                                 : j < n.size() && MatchesLevel(p[i], n[j], utf8) && match[i + 1][j + 1];
    }
  }
  return match[0][0];
}

std::string Grouped(int64_t value) {
  const std::string digits = std::to_string(value);
  const size_t first = value < 0 ? 1 : 0;
  std::string grouped = digits.substr(0, first);
  for (size_t at = first; at < digits.size(); ++at) {
    if (at > first && (digits.size() - at) % 3 == 0) grouped += ',';
    grouped += digits[at];
  }
  return grouped;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const bool utf8 = (data[0] & 1) != 0;
  // The searches look for a single-byte character: a lead byte is none.
  const auto c = static_cast<char>(IsLead(data[1], utf8) ? '\\' : data[1]);
  UseMode(utf8);
  Text text{std::string(reinterpret_cast<const char*>(data + 3), size - 3), {}};
  text.starts = CharacterStarts(text.bytes, utf8);
  const std::string& s = text.bytes;

  // Searches start at a character: the k-th one, or the end.
  std::vector<size_t> startList;
  for (size_t at = 0; at < s.size(); ++at) {
    if (text.starts[at]) startList.push_back(at);
  }
  startList.push_back(s.size());
  const size_t from = startList[data[2] % startList.size()];

  Check(kel::FindCharacter(s, c, encoding, from) == FindCharacter(text, c, from), "FindCharacter");
  Check(kel::FindLastCharacter(s, c, encoding) == FindLastCharacter(text, c), "FindLastCharacter");
  Check(kel::FindSeparator(s, encoding, from) == FindSeparator(text, from), "FindSeparator");
  Check(kel::FindLastSeparator(s, encoding) == FindLastSeparator(text), "FindLastSeparator");
  const size_t lastBackslash = FindLastCharacter(text, '\\');
  Check(kel::LastPathComponent(s, encoding) == (lastBackslash == npos ? s : s.substr(lastBackslash + 1)),
        "LastPathComponent");
  Check(kel::IsSafeEntryPath(s, encoding) == IsSafeEntryPath(text), "IsSafeEntryPath");

  int64_t value = 0;
  int64_t expected = 0;
  const bool parsed = kel::ParseNumber(s, &value);
  Check(parsed == ParseNumber(s, &expected) && (!parsed || value == expected), "ParseNumber");

  std::string folder = s;
  kel::AppendBackslash(folder, encoding);
  // A folder ends in a backslash character, or in a slash where a backslash
  // would be the second byte of a lone lead byte.
  std::string wanted = s;
  if (!s.empty() && FindLastCharacter(text, '\\') != s.size() - 1) {
    const bool loneLead = text.starts[s.size() - 1] && IsLead(static_cast<unsigned char>(s.back()), utf8);
    wanted += loneLead ? '/' : '\\';
  }
  Check(folder == wanted, "AppendBackslash");

  if (s.size() >= 8) {
    uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) bits = (bits << 8) | static_cast<uint8_t>(s[i]);
    Check(kel::messages::FormatGrouped64(static_cast<int64_t>(bits)) == Grouped(static_cast<int64_t>(bits)),
          "FormatGrouped64");
  }

  std::string a = s;
  std::string b;
  const size_t zero = s.find('\0');
  if (zero != npos) {
    a = s.substr(0, zero);
    b = s.substr(zero + 1);
  } else {
    b = s;
    for (size_t at = 0; at < b.size(); ++at) {
      if (((data[2] >> (at % 8)) & 1) != 0 && ((b[at] | 0x20) >= 'a' && (b[at] | 0x20) <= 'z')) b[at] ^= 0x20;
    }
  }
  Check(
      kel::EqualIgnoringCase(a, b, encoding) == (a.size() == b.size() && Folded(a, utf8) == Folded(b, utf8)),
      "EqualIgnoringCase");
  // The first part as a pattern, the second as a stored path.
  const Text pattern{a, CharacterStarts(a, utf8)}, path{b, CharacterStarts(b, utf8)};
  Check(kel::MatchesPattern(a, b, encoding) == MatchesPattern(pattern, path, utf8), "MatchesPattern");

  // A converted name keeps its separators: no double-byte character turns
  // into a backslash or a slash, and none of them is lost.
  const std::string name = kel::NameFromArchive(s, encoding);
  if (!utf8) Check(name == s, "NameFromArchive");
  if (utf8 && name != s) {
    const std::vector<uint8_t> shiftJis = CharacterStarts(s, false);
    size_t backslashes = 0;
    size_t slashes = 0;
    for (size_t at = 0; at < s.size(); ++at) {
      backslashes += shiftJis[at] && s[at] == '\\';
      slashes += s[at] == '/';
    }
    size_t convertedBackslashes = 0;
    size_t convertedSlashes = 0;
    for (char ch : name) {
      convertedBackslashes += ch == '\\';
      convertedSlashes += ch == '/';
    }
    Check(backslashes == convertedBackslashes && slashes == convertedSlashes, "NameFromArchive");
  }
  return 0;
}
