// The name encoding as a value, and the character rules it brings. Stored
// names are Shift-JIS bytes: with kShiftJis they are kept as they are, and
// bytes 0x81-0x9F and 0xE0-0xFC lead a two-byte character whose second
// byte may be 0x5C, the backslash; with kUtf8 they are converted to UTF-8
// (a name that is not Shift-JIS keeps its bytes), where no multibyte
// sequence holds 0x5C or 0x2F, so bytes are searched as they are.
#ifndef KEL_LIB_TEXT_H_
#define KEL_LIB_TEXT_H_

#include <cstddef>
#include <string>

namespace kel {

enum class Encoding { kShiftJis, kUtf8 };

/// Position of the first (last) character `c` at or after `from` (in the
/// whole text), stepping over double-byte characters; npos when absent.
size_t FindCharacter(const std::string& text, char c, Encoding encoding, size_t from = 0);
size_t FindLastCharacter(const std::string& text, char c, Encoding encoding);
/// The length in bytes of the character at `at`: two for a Shift-JIS
/// double-byte character, up to four for a UTF-8 sequence, else one.
size_t CharacterLength(const std::string& text, size_t at, Encoding encoding);
/// Equality without regard to the case of A-Z; double-byte characters are
/// compared whole.
bool EqualIgnoringCase(const std::string& a, const std::string& b, Encoding encoding);
/// The one ASCII fold: A-Z to a-z, every other byte as it is.
inline char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

/// A stored name in `encoding`.
std::string NameFromArchive(const std::string& stored, Encoding encoding);
/// A stored name as UTF-8, whatever the encoding; false when it is not
/// valid Shift-JIS.
bool StoredNameToUtf8(const std::string& stored, std::string* utf8);
/// A stored path as the contents of a JSON string: UTF-8, with a byte that
/// is no Shift-JIS, and each byte from 0x80 on of a character that Python's
/// cp932 codec gives back under another code, written \udcXX, as its
/// surrogateescape reads it; quotes, backslashes and control characters
/// escaped.
std::string JsonPath(const std::string& stored);

}  // namespace kel

#endif  // KEL_LIB_TEXT_H_
