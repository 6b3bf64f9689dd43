// The tool's texts. Formats that a script may parse (the listing, the
// progress lines) are kept byte for byte; error lines all have the form
// "error : " + text + "(detail)." + line end.
#include "messages.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "platform.h"
#include "support.h"

namespace kel::messages {
namespace {

// Upper-case hexadecimal of at least `digits` digits.
std::string Hex(uint64_t value, int digits) {
  char text[32];
  snprintf(text, sizeof text, "%0*" PRIX64, digits, value);
  return text;
}

std::string Decimal(int64_t value) { return std::to_string(value); }

// Whether the last text printed left its line open (a progress line).
bool midLine = false;
bool quietly = false;
// Where this thread's texts go instead, while it works beside others.
thread_local std::string* captured = nullptr;

void Emit(const std::string& text) {
  if (text.empty()) return;
  if (captured != nullptr) {
    *captured += text;
    return;
  }
  platform::WriteOutput(text.data(), text.size());
  midLine = text.back() != '\n';
}

// An error line starts a line of its own, so that grep '^error' finds it.
void ErrorLine(const std::string& line) {
  EndLine();
  Emit(line);
}

void Error(const char* utf8Text, const std::string& detail, const char* utf8Tail = ").\n") {
  ErrorLine(platform::TextFromUtf8(std::string("error : ") + utf8Text + "(") + detail +
            platform::TextFromUtf8(utf8Tail));
}

}  // namespace

void SetQuiet(bool quiet) { quietly = quiet; }

void Print(const std::string& text) {
  if (!quietly) Emit(text);
}

void Progress(const std::string& mark) {
  Print(mark);
  if (captured == nullptr && platform::OutputIsTerminal()) platform::FlushOutput();
}

bool Flush() { return platform::FlushOutput(); }

void Version(const std::string& program) { Print(program + " ver." KEL_VERSION "\n"); }

void Usage(const std::string& program) {
  Version(program);
  Print("Usage : " + program + " -d [-q] [-j N] <kel_file> [dest_dir [pattern...]]\n");
  Print("        " + program + " <kel_file> [dest_dir [pattern...]]\n");
  Print("        " + program + " -l [--json] <kel_file> [pattern...]\n");
  Print("        " + program + " -t [-q] <kel_file>\n");
  Print("        " + program + " -m [-q] <kel_file> <merge_file> [0x<address>]\n");
  Print("        " + program + " -m [-q] <kel_file> <merge_name> <merge_file>\n");
  Print("        " + program + " -e [-q] <kel_file> <address> <size> <dest_file>\n");
  Print("        " + program + " -e [-q] <kel_file> <address> [dest_dir]\n");
  Print("        " + program + " -r [-q] <kel_file> <file>\n");
  Print("        " + program + " -r [-q] <kel_file> <stored_name> <file>\n");
  Print("        " + program + " -u [-q] [-n] <kel_file> <folder> [pattern...]\n");
  Print("        " + program + " -c [-q] <kel_file> [new_file]\n");
}

void UnknownCommand(const std::string& argument) { Error("コマンドが正しくありません", argument); }
void OptionBeforeCommand(const std::string& argument) {
  Error("オプションはコマンドの後に書いてください", argument);
}
void NotAnOption(const std::string& option) { Error("このコマンドのオプションではありません", option); }
void MixedLetters(const std::string& argument) {
  Error("オプションの文字とそれ以外の文字が混ざっています", argument);
}
void MissingOperands(const std::string& command) { Error("引数が足りません", command); }
void BadDestination(const std::string& destination) { Error("出力先が空か - で始まっています", destination); }
void BadThreadCount(const std::string& count) { Error("スレッド数は1から64までです", count); }

void ListingHead() {
  Print("   Address       Size Name\n");
  Print("---------- ---------- -----------------------------------------------------\n");
}

void ListingLine(uint64_t address, uint64_t size, const std::string& path) {
  // Built in place: a listing may have a hundred million lines.
  char line[64];
  char* at = line;
  *at++ = '0';
  *at++ = 'x';
  int digits = 8;
  while (digits < 16 && (address >> (4 * digits)) != 0) ++digits;
  for (int digit = digits - 1; digit >= 0; --digit) {
    *at++ = "0123456789ABCDEF"[(address >> (4 * digit)) & 0xF];
  }
  *at++ = ' ';
  char grouped[32];
  const char* sizeText = WriteGroupedUnsigned(size, grouped + sizeof grouped);
  const auto sizeLength = static_cast<size_t>(grouped + sizeof grouped - sizeText);
  for (size_t pad = sizeLength; pad < 10; ++pad) *at++ = ' ';
  at = std::copy(sizeText, static_cast<const char*>(grouped + sizeof grouped), at);
  *at++ = ' ';
  platform::WriteOutput(line, static_cast<size_t>(at - line));
  platform::WriteOutput(path.data(), path.size());
  platform::WriteOutput("\n", 1);
}

// Whether a stored character comes back from its text by Python's cp932
// codec, the documented way back. The bytes 0x80, 0xA0 and 0xFD-0xFF are
// no characters of Shift-JIS (Windows decodes them, the C library does
// not); of the characters with two codes (NEC row 13, the NEC-selected and
// the IBM extensions) the codec gives the other code back, and it has no
// user-defined area (F040-F9FC). Those are escaped, both builds alike.
namespace {
bool IsLead(unsigned char byte) { return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC); }
bool IsNoCharacter(unsigned char byte) { return byte == 0x80 || byte == 0xA0 || byte >= 0xFD; }
bool ComesBack(unsigned char lead, unsigned char trail) {
  const int code = lead << 8 | trail;
  return !((code >= 0x8790 && code <= 0x879C && code != 0x8793 && code != 0x8794 && code != 0x8798 &&
            code != 0x8799) ||
           code == 0xEEF9 || (code >= 0xF040 && code <= 0xFC4B));
}
}  // namespace

void ListingJson(uint64_t address, uint64_t size, const std::string& storedPath) {
  std::string line = "{\"path\":\"";
  const auto append = [&line](const std::string& utf8) {
    for (char c : utf8) {
      const auto byte = static_cast<unsigned char>(c);
      if (c == '"' || c == '\\') line += '\\';
      line += byte < 0x20 ? "\\u00" + Hex(byte, 2) : std::string(1, c);
    }
  };
  const auto escape = [&line](unsigned char byte) { line += "\\uDC" + Hex(byte, 2); };
  // Whole names convert in one call; a name with a character that must be
  // escaped, or that the converter refuses, goes character by character.
  bool whole = true;
  for (size_t at = 0; at < storedPath.size() && whole; ++at) {
    const auto byte = static_cast<unsigned char>(storedPath[at]);
    whole = !IsNoCharacter(byte) && (!IsLead(byte) || at + 1 == storedPath.size() ||
                                     ComesBack(byte, static_cast<unsigned char>(storedPath[++at])));
  }
  std::string utf8;
  if (whole && platform::StoredNameToUtf8(storedPath, &utf8)) {
    append(utf8);
  } else {
    for (size_t at = 0; at < storedPath.size();) {
      const auto lead = static_cast<unsigned char>(storedPath[at]);
      const bool pair = IsLead(lead) && at + 1 < storedPath.size();
      const auto trail = pair ? static_cast<unsigned char>(storedPath[at + 1]) : 0;
      if (pair && !ComesBack(lead, trail)) {
        // The escape stands for bytes from 0x80 on: a second byte below is
        // the ASCII character it is.
        escape(lead);
        trail < 0x80 ? append(std::string(1, static_cast<char>(trail))) : escape(trail);
        at += 2;
      } else if (!IsNoCharacter(lead) &&
                 platform::StoredNameToUtf8(storedPath.substr(at, pair ? 2 : 1), &utf8)) {
        append(utf8);
        at += pair ? 2 : 1;
      } else {
        escape(lead);
        ++at;
      }
    }
  }
  line += "\",\"address\":" + std::to_string(address) + ",\"size\":" + std::to_string(size) + "}\n";
  platform::WriteOutput(line.data(), line.size());
}

void ListingTotal(uint32_t count, uint64_t bytes) {
  Print("---------- ---------- -----------------------------------------------------\n");
  Print("Total " + FormatGrouped(static_cast<int32_t>(count)) + " files / " + FormatGroupedUnsigned(bytes) +
        " bytes\n");
}

void ExtractRangeHead(int64_t address, int64_t size, const std::string& destFile) {
  Print("Extract 0x" + Hex(static_cast<uint64_t>(address), 8) + "-" + Hex(static_cast<uint64_t>(size), 8) +
        " to " + destFile + "\n");
}

void ExtractAllHead(const std::string& destDir) { Print("Extract to " + destDir + ".\n"); }

void ExtractEntryHead(const std::string& path, uint64_t size) {
  Print(path + " " + FormatGroupedUnsigned(size) + " bytes");
}

void MergeHead(int64_t address, const std::string& mergeFile) {
  Print("Merge 0x" + Hex(static_cast<uint64_t>(address), 8) + " in " + mergeFile + "\n");
}

void ReplaceHead(int64_t address, const std::string& file, int64_t oldSize, int64_t newSize,
                 const std::string& storedPath) {
  Print("Replace 0x" + Hex(static_cast<uint64_t>(address), 8) + " in " + file + " (" +
        FormatGrouped64(oldSize) + " -> " + FormatGrouped64(newSize) + " bytes) as " + storedPath + "\n");
}

void OpenFailed(const std::string& path) { Error("ファイルオープンに失敗", path); }
void ReadFailed(const std::string& path) { Error("ファイル読み込みに失敗", path); }
void WriteFailed(const std::string& path) { Error("ファイル書き込みに失敗", path); }

void MemoryFailed(int64_t bytes) { Error("メモリ確保に失敗", Decimal(bytes), "bytes).\n"); }

void NotKelFile(uint32_t magic) { Error("kelファイルではありません？", "0x" + Hex(magic, 4)); }

void DirectoryNotFound(uint32_t directoryEnd) {
  ErrorLine(platform::TextFromUtf8("error : アーカイブヘッダが見つかりません.(0x") + Hex(directoryEnd, 8) +
            ")\n");
}

void NotStartAddress(int64_t address) {
  Error("格納ファイルの先頭アドレスではありません", "0x" + Hex(static_cast<uint64_t>(address), 8));
}

void UnsafePath(const std::string& path) { Error("安全でないパスのため書き出しません", path); }

void RangePastEnd(int64_t missingBytes) {
  Error("範囲がアーカイブの終端を越えています", Decimal(missingBytes), "bytes不足).\n");
}

void BadAddress(int64_t address) { Error("不正なアドレスです", Decimal(address)); }
void BadSize(int64_t size) { Error("不正なサイズです", Decimal(size)); }

void AddressPastEnd(int64_t address) {
  Error("アドレスがアーカイブの終端を越えています", "0x" + Hex(static_cast<uint64_t>(address), 8));
}

void FirstBytesDiffer(int count) {
  ErrorLine(platform::TextFromUtf8("error : 先頭データ" + Decimal(count) + "バイトが不一致.\n"));
}

void NotANumber(const std::string& text) { Error("数値が正しくありません", text); }

void ArchiveCut(uint64_t missingBytes) {
  Error("アーカイブが途中で切れています", std::to_string(missingBytes), "bytes不足).\n");
}

void Interrupted(const std::string& path) { Error("中断のため書き出しを取り消しました", path); }

void NotInArchive(const std::string& name) { Error("そのファイルはアーカイブ内に存在しません", name); }

void SeveralInArchive(const std::string& name) {
  Error("そのファイル名はアーカイブ内に複数存在します", name);
}

void FileNotFound(const std::string& path) { Error("ファイルが見つかりません", path); }

void SizeDiffers(int64_t storedSize, int64_t fileSize) {
  Error("アーカイブ内のファイルサイズと違います", "arc=" + Decimal(storedSize) + "/in=" + Decimal(fileSize));
}

void WaitingFor(const std::string& archivePath) {
  Print("Waiting for " + archivePath + ", in use by another program\n");
}

void ArchiveInUse(const std::string& archivePath) { Error("アーカイブが使用中です", archivePath); }

void CannotRollBack(const std::string& archivePath) {
  Error("中断された書き込みを元に戻せません", archivePath);
}

void RolledBack(const std::string& archivePath) {
  Print("Rolled back an interrupted write of " + archivePath + "\n");
}

void ReadingAsBefore(const std::string& archivePath) {
  Print("Reading " + archivePath +
        " as it was before an interrupted write, which needs write access to undo\n");
}

void MergeOutsideData(int64_t address) {
  Error("格納データの範囲外には書き込めません", "0x" + Hex(static_cast<uint64_t>(address), 8));
}

void EndLine() {
  const bool open = captured != nullptr ? !captured->empty() && captured->back() != '\n' : midLine;
  if (open) Emit("\n");
}

void HeaderCut(int64_t missingBytes) {
  Error("kelヘッダが途中で切れています", Decimal(missingBytes), "bytes不足).\n");
}

void MissingFolder(const std::string& path) { Error("出力先のフォルダが存在しません", path); }
void NameTooLong(const std::string& path) { Error("名前が長すぎて作成できません", path); }
void NoSpace(const std::string& path) { Error("ディスクの空き容量が足りません", path); }
void ReadOnly(const std::string& path) { Error("読み込み専用のファイルシステムです", path); }
void CannotMakeDestination(const std::string& destDir) { Error("出力先フォルダを作成できません", destDir); }

void StoredPastEnd(const std::string& path) { Error("データがアーカイブの終端を越えています", path); }

void StoredOverlap(const std::string& path, const std::string& other) {
  Error("格納ファイルの範囲が重なっています", path + " = " + other);
}

void MoreOverlaps(uint64_t count) {
  Error("格納ファイルの範囲が重なっています", "+" + std::to_string(count));
}

void TestTotal(uint32_t files, uint64_t bytes, uint64_t problems, uint64_t unclaimed, uint64_t fileSize) {
  char share[16];
  snprintf(share, sizeof share, "%.1f",
           fileSize == 0 ? 0.0 : 100.0 * static_cast<double>(unclaimed) / static_cast<double>(fileSize));
  Print("Total " + FormatGrouped(static_cast<int32_t>(files)) + " files / " + FormatGroupedUnsigned(bytes) +
        " bytes, " + std::to_string(problems) + (problems == 1 ? " problem, " : " problems, ") +
        FormatGroupedUnsigned(unclaimed) + " bytes unclaimed (" + share + "%)\n");
}

void UpdateHead(int64_t address, const std::string& storedPath, int64_t oldSize, int64_t newSize) {
  Print("Update 0x" + Hex(static_cast<uint64_t>(address), 8) + " " + storedPath + " (" +
        FormatGrouped64(oldSize) + " -> " + FormatGrouped64(newSize) + " bytes)\n");
}

void UpdateTotal(uint64_t changed, uint64_t unchanged, uint64_t unknown, uint64_t skipped, bool dryRun) {
  const auto grouped = FormatGroupedUnsigned;
  Print("Total " + grouped(changed) + " changed, " + grouped(unchanged) + " unchanged, " + grouped(unknown) +
        " not in the archive" + (skipped > 0 ? ", " + grouped(skipped) + " skipped" : "") +
        (dryRun ? ", nothing written\n" : "\n"));
}

void NotPutBack(const std::string& path) { Error("通常のファイルではないため書き戻しません", path); }
void ChangedWhileRead(const std::string& path) { Error("読み込み中にファイルが変更されました", path); }
void SeveralNames(const std::string& archivePath) {
  Error("ハードリンクが複数あるため置き換えられません", archivePath);
}
void AttributesNotKept(const std::string& archivePath) { Error("所有者や属性を引き継げません", archivePath); }
void FileExists(const std::string& path) { Error("同じ名前のファイルが既にあります", path); }

void CompactTotal(int64_t oldSize, int64_t newSize) {
  Print("Compact " + FormatGrouped64(oldSize) + " -> " + FormatGrouped64(newSize) + " bytes\n");
}

void DirectoryLookalike(const std::string& archivePath) {
  Error("データにディレクトリと読める箇所があるため詰められません", archivePath);
}

void DataInTheWay(const std::string& path) { Error("データがヘッダかディレクトリと重なっています", path); }

void SameNameWritten(const std::string& path, const std::string& earlier) {
  Error("書き出したファイルと同じ名前になるため書き出しません", path + " = " + earlier);
}

void OneNameForTwo(const std::string& path, const std::string& other) {
  Error("同じ名前になる格納ファイルが複数あるため書き戻しません", path + " = " + other);
}

void Capture(std::string* text) { captured = text; }

void PrintCaptured(const std::string& text) {
  std::string* const capturing = captured;
  captured = nullptr;
  Emit(text);
  captured = capturing;
}

}  // namespace kel::messages
