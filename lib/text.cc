// Character rules and name conversion for both encodings; the conversion
// itself is the system's (platform.h).
#include "text.h"

#include <algorithm>
#include <cstdio>

#include "platform.h"

namespace kel {
namespace {

bool IsLeadByte(unsigned char c, Encoding encoding) {
  return encoding == Encoding::kShiftJis && ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC));
}

bool IsAscii(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Whether a stored character comes back from its text by Python's cp932
// codec, the documented way back. The bytes 0x80, 0xA0 and 0xFD-0xFF are
// no characters of Shift-JIS (Windows decodes them, the C library does
// not); of the characters with two codes (NEC row 13, the NEC-selected and
// the IBM extensions) the codec gives the other code back, and it has no
// user-defined area (F040-F9FC). Those are escaped, both builds alike.
bool IsLead(unsigned char byte) { return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC); }
bool IsNoCharacter(unsigned char byte) { return byte == 0x80 || byte == 0xA0 || byte >= 0xFD; }
bool ComesBack(unsigned char lead, unsigned char trail) {
  const int code = lead << 8 | trail;
  return !((code >= 0x8790 && code <= 0x879C && code != 0x8793 && code != 0x8794 && code != 0x8798 &&
            code != 0x8799) ||
           code == 0xEEF9 || (code >= 0xF040 && code <= 0xFC4B));
}

}  // namespace

size_t FindCharacter(const std::string& text, char c, Encoding encoding, size_t from) {
  for (size_t at = from; at < text.size(); ++at) {
    if (text[at] == c) return at;
    if (IsLeadByte(static_cast<unsigned char>(text[at]), encoding)) ++at;
  }
  return std::string::npos;
}

size_t FindLastCharacter(const std::string& text, char c, Encoding encoding) {
  size_t last = std::string::npos;
  for (size_t at = FindCharacter(text, c, encoding); at != std::string::npos;
       at = FindCharacter(text, c, encoding, at + 1)) {
    last = at;
  }
  return last;
}

size_t CharacterLength(const std::string& text, size_t at, Encoding encoding) {
  const auto lead = static_cast<unsigned char>(text[at]);
  size_t length = 1;
  if (encoding == Encoding::kShiftJis) {
    length = IsLeadByte(lead, encoding) ? 2 : 1;
  } else if (lead >= 0xC2 && lead <= 0xF4) {
    // Only a whole sequence is one character: a name kept as stored bytes
    // must not lose a separator to a broken one.
    length = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    for (size_t i = 1; i < length; ++i) {
      const auto next = at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0;
      if (next < 0x80 || next > 0xBF) return 1;
    }
  }
  return std::min(length, text.size() - at);
}

bool EqualIgnoringCase(const std::string& a, const std::string& b, Encoding encoding) {
  if (a.size() != b.size()) return false;
  for (size_t at = 0; at < a.size(); ++at) {
    if (IsLeadByte(static_cast<unsigned char>(a[at]), encoding) && at + 1 < a.size()) {
      // A double-byte character matches only the same two bytes.
      if (a[at] != b[at] || a[at + 1] != b[at + 1]) return false;
      ++at;
      continue;
    }
    if (FoldAscii(a[at]) != FoldAscii(b[at])) return false;
  }
  return true;
}

std::string NameFromArchive(const std::string& stored, Encoding encoding) {
  std::string converted;
  if (encoding != Encoding::kUtf8 || IsAscii(stored) || !platform::Cp932ToUtf8(stored, &converted)) {
    return stored;
  }
  return converted;
}

bool StoredNameToUtf8(const std::string& stored, std::string* utf8) {
  if (IsAscii(stored)) {
    *utf8 = stored;
    return true;
  }
  return platform::Cp932ToUtf8(stored, utf8);
}

std::string JsonPath(const std::string& stored) {
  std::string line;
  const auto append = [&line](const std::string& utf8) {
    for (char c : utf8) {
      const auto byte = static_cast<unsigned char>(c);
      if (c == '"' || c == '\\') line += '\\';
      if (byte < 0x20) {
        char escaped[8];
        snprintf(escaped, sizeof escaped, "\\u%04X", byte);
        line += escaped;
      } else {
        line += c;
      }
    }
  };
  const auto escape = [&line](unsigned char byte) {
    char escaped[8];
    snprintf(escaped, sizeof escaped, "\\uDC%02X", byte);
    line += escaped;
  };
  // Whole names convert in one call; a name with a character that must be
  // escaped, or that the converter refuses, goes character by character.
  bool whole = true;
  for (size_t at = 0; at < stored.size() && whole; ++at) {
    const auto byte = static_cast<unsigned char>(stored[at]);
    whole = !IsNoCharacter(byte) && (!IsLead(byte) || at + 1 == stored.size() ||
                                     ComesBack(byte, static_cast<unsigned char>(stored[++at])));
  }
  std::string utf8;
  if (whole && StoredNameToUtf8(stored, &utf8)) {
    append(utf8);
    return line;
  }
  for (size_t at = 0; at < stored.size();) {
    const auto lead = static_cast<unsigned char>(stored[at]);
    const bool pair = IsLead(lead) && at + 1 < stored.size();
    const auto trail = pair ? static_cast<unsigned char>(stored[at + 1]) : 0;
    if (pair && !ComesBack(lead, trail)) {
      // The escape stands for bytes from 0x80 on: a second byte below is
      // the ASCII character it is.
      escape(lead);
      trail < 0x80 ? append(std::string(1, static_cast<char>(trail))) : escape(trail);
      at += 2;
    } else if (!IsNoCharacter(lead) && StoredNameToUtf8(stored.substr(at, pair ? 2 : 1), &utf8)) {
      append(utf8);
      at += pair ? 2 : 1;
    } else {
      escape(lead);
      ++at;
    }
  }
  return line;
}

}  // namespace kel
