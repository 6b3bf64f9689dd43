// The double-byte rule of the process code page, the same on every system:
// in the byte-faithful (Shift-JIS) mode bytes 0x81-0x9F and 0xE0-0xFC lead a
// two-byte character whose second byte may be 0x5C, the backslash; in the
// UTF-8 mode no multibyte sequence holds 0x5C or 0x2F, so bytes are searched
// as they are. Each system's platform file only tells the mode.
#include <algorithm>

#include "platform.h"

namespace kel::platform {
namespace {

bool IsLeadByte(unsigned char c) {
  return !TextIsUtf8() && ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC));
}

}  // namespace

size_t FindCharacter(const std::string& text, char c, size_t from) {
  for (size_t at = from; at < text.size(); ++at) {
    if (text[at] == c) return at;
    if (IsLeadByte(static_cast<unsigned char>(text[at]))) ++at;
  }
  return std::string::npos;
}

size_t FindLastCharacter(const std::string& text, char c) {
  size_t last = std::string::npos;
  for (size_t at = FindCharacter(text, c); at != std::string::npos; at = FindCharacter(text, c, at + 1)) {
    last = at;
  }
  return last;
}

size_t CharacterLength(const std::string& text, size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  size_t length = 1;
  if (!TextIsUtf8()) {
    length = IsLeadByte(lead) ? 2 : 1;
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

bool EqualIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  auto fold = [](unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
  };
  for (size_t at = 0; at < a.size(); ++at) {
    auto ca = static_cast<unsigned char>(a[at]);
    auto cb = static_cast<unsigned char>(b[at]);
    if (IsLeadByte(ca) && at + 1 < a.size()) {
      // A double-byte character matches only the same two bytes.
      if (ca != cb || a[at + 1] != b[at + 1]) return false;
      ++at;
      continue;
    }
    if (fold(ca) != fold(cb)) return false;
  }
  return true;
}

}  // namespace kel::platform
