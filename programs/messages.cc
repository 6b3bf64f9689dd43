// The tool's texts. Formats that a script may parse (the listing, the
// progress lines) are kept byte for byte; error lines all have the form
// "error : " + text + "(detail)." + line end.
#include "messages.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <utility>

#include "console.h"
#include "platform.h"
#include "text.h"

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
bool utf8Texts = false;
// Standard output carries data alone (JSON, stored bytes): every line of
// the tool's own goes to standard error.
bool toError = false;

// The live status line on a terminal, drawn over in place between lines
// (a stored file's line shows its own marks): any other text erases it
// first. Blanks erase it, which every console understands.
bool statusOn = false;
size_t statusShown = 0;  ///< the length of the status line on the screen

void EraseStatus() {
  if (statusShown == 0) return;
  const std::string blank = "\r" + std::string(statusShown, ' ') + "\r";
  console::WriteOutput(blank.data(), blank.size());
  statusShown = 0;
}

void Emit(const std::string& text) {
  if (text.empty()) return;
  EraseStatus();
  toError ? (void)console::WriteErrorOutput(text.data(), text.size())
          : console::WriteOutput(text.data(), text.size());
  midLine = text.back() != '\n';
}

// One of the tool's own UTF-8 texts in the process code page.
std::string TextFromUtf8(const std::string& utf8) {
  std::string converted;
  if (utf8Texts || !platform::Utf8ToCp932(utf8, &converted)) return utf8;
  return converted;
}

// An error line starts a line of its own, so that grep '^error' finds it.
void ErrorLine(const std::string& line) {
  EndLine();
  Emit(line);
}

void Error(const char* utf8Text, const std::string& detail, const char* utf8Tail = ").\n") {
  ErrorLine(TextFromUtf8(std::string("error : ") + utf8Text + "(") + detail + TextFromUtf8(utf8Tail));
}

}  // namespace

void SetQuiet(bool quiet) { quietly = quiet; }

void SetUtf8(bool utf8) { utf8Texts = utf8; }

void SetMessagesToError(bool messagesToError) { toError = messagesToError; }

void Print(const std::string& text) {
  if (!quietly) Emit(text);
}

void Progress(const std::string& mark) {
  Print(mark);
  if (console::OutputIsTerminal()) console::FlushOutput();
}

bool Flush() { return console::FlushOutput(); }

bool StartStatus() {
  statusOn = !quietly && !toError && console::OutputIsTerminal();
  return statusOn;
}

void ShowStatus(const std::string& text) {
  if (!statusOn || midLine) return;
  const std::string line =
      "\r" + text + std::string(statusShown > text.size() ? statusShown - text.size() : 0, ' ');
  console::WriteOutput(line.data(), line.size());
  console::FlushOutput();
  statusShown = std::max(statusShown, text.size());
}

void EndStatus() {
  EraseStatus();
  console::FlushOutput();
}

void Version(const std::string& program) { Print(program + " ver." KEL_VERSION "\n"); }

void Usage(const std::string& program) {
  Version(program);
  Print("Usage : " + program + " -d [-q] [-k] [-j N] [-x pattern]... <kel_file> [dest_dir [pattern...]]\n");
  Print("        " + program + " <kel_file> [dest_dir [pattern...]]\n");
  Print("        " + program + " -l [--json] [-x pattern]... <kel_file> [pattern...]\n");
  Print("        " + program + " -t [-q] [-x pattern]... <kel_file>\n");
  Print("        " + program + " -m [-q] <kel_file> <merge_file> [0x<address>]\n");
  Print("        " + program + " -m [-q] <kel_file> <merge_name> <merge_file>\n");
  Print("        " + program + " -e [-q] <kel_file> <address> <size> <dest_file>\n");
  Print("        " + program + " -e [-q] [-k] <kel_file> <address> [dest_dir]\n");
  Print("        " + program + " -r [-q] <kel_file> <file>\n");
  Print("        " + program + " -r [-q] <kel_file> <stored_name> <file>\n");
  Print("        " + program + " -u [-q] [-n] [--full] [-x pattern]... <kel_file> <folder> [pattern...]\n");
  Print("        " + program + " -c [-q] <kel_file> [new_file]\n");
  Print("        " + program + " -p [-x pattern]... <kel_file> [pattern...]\n");
  Print("        -j N: 1 to 64 threads\n");
}

void Commands() {
  Print(
      "\n"
      "  -d  extract every stored file, or those the patterns choose, below dest_dir\n"
      "  -l  list the stored files (--json: one JSON object per line, for programs)\n"
      "  -t  test the archive: data past its end, overlaps, unsafe names, unclaimed bytes\n"
      "  -m  merge a file over the stored file of its name, which has its size\n"
      "  -e  copy a byte range of the archive, or extract the stored file at an address\n"
      "  -r  replace a stored file by a file of any size\n"
      "  -u  put back every changed file of an extracted folder (-n: a dry run; --full: read every file)\n"
      "  -c  write a compact copy, without the bytes nothing claims\n"
      "  -p  write the stored bytes of the chosen files to standard output\n"
      "  -q: only error lines; -k: keep files that exist; -x: leave out what the pattern matches\n");
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
  console::WriteOutput(line, static_cast<size_t>(at - line));
  console::WriteOutput(path.data(), path.size());
  console::WriteOutput("\n", 1);
}

void ListingJson(uint64_t address, uint64_t size, const std::string& storedPath) {
  const std::string line = "{\"path\":\"" + JsonPath(storedPath) +
                           "\",\"address\":" + std::to_string(address) + ",\"size\":" + std::to_string(size) +
                           "}\n";
  console::WriteOutput(line.data(), line.size());
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

void Kept() { Print(" kept\n"); }
void KeptFile(const std::string& path) { Print(path + " kept\n"); }

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

void MemoryFailed(int64_t bytes) { Error("メモリ確保に失敗", Decimal(bytes), "bytes).\n"); }

void NotKelFile(uint32_t magic) { Error("kelファイルではありません？", "0x" + Hex(magic, 4)); }

void DirectoryNotFound(uint32_t directoryEnd) {
  ErrorLine(TextFromUtf8("error : アーカイブヘッダが見つかりません.(0x") + Hex(directoryEnd, 8) + ")\n");
}

void NotStartAddress(int64_t address) {
  Error("格納ファイルの先頭アドレスではありません", "0x" + Hex(static_cast<uint64_t>(address), 8));
}

void RangePastEnd(int64_t missingBytes) {
  Error("範囲がアーカイブの終端を越えています", Decimal(missingBytes), "bytes不足).\n");
}

void BadAddress(int64_t address) { Error("不正なアドレスです", Decimal(address)); }
void BadSize(int64_t size) { Error("不正なサイズです", Decimal(size)); }

void AddressPastEnd(int64_t address) {
  Error("アドレスがアーカイブの終端を越えています", "0x" + Hex(static_cast<uint64_t>(address), 8));
}

void FirstBytesDiffer(int count) {
  ErrorLine(TextFromUtf8("error : 先頭データ" + Decimal(count) + "バイトが不一致.\n"));
}

void NotANumber(const std::string& text) { Error("数値が正しくありません", text); }

void ArchiveCut(uint64_t missingBytes) {
  Error("アーカイブが途中で切れています", std::to_string(missingBytes), "bytes不足).\n");
}

void Interrupted(const std::string& path) { Error("中断のため書き出しを取り消しました", path); }

void NotInArchive(const std::string& name) { Error("そのファイルはアーカイブ内に存在しません", name); }

void FileNotFound(const std::string& path) { Error("ファイルが見つかりません", path); }

void SizeDiffers(int64_t storedSize, int64_t fileSize) {
  Error("アーカイブ内のファイルサイズと違います", "arc=" + Decimal(storedSize) + "/in=" + Decimal(fileSize));
}

// Out at once: the wait may last a minute.
void WaitingFor(const std::string& archivePath) {
  Print("Waiting for " + archivePath + ", in use by another program\n");
  console::FlushOutput();
}

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
  if (midLine) Emit("\n");
}

void HeaderCut(int64_t missingBytes) {
  Error("kelヘッダが途中で切れています", Decimal(missingBytes), "bytes不足).\n");
}

void Utf8Names() {
  EndLine();
  Emit("Names here are UTF-8 but the locale is not: set LC_ALL=C.UTF-8 (or a ja_JP.UTF-8 locale)\n");
}

void NotTop(const std::string& folder, const std::string& top) {
  Error("展開したフォルダの最上位を指定してください", folder + " -> " + top);
}

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

void UpdateHead(int64_t address, const std::string& storedPath, int64_t oldSize, int64_t newSize,
                bool dryRun) {
  Print("Update 0x" + Hex(static_cast<uint64_t>(address), 8) + " " + storedPath + " (" +
        FormatGrouped64(oldSize) + " -> " + FormatGrouped64(newSize) + " bytes)" +
        (dryRun ? ", dry run\n" : "\n"));
}

void UpdateTotal(uint64_t changed, uint64_t unchanged, uint64_t unknown, uint64_t skipped, bool dryRun) {
  const auto grouped = FormatGroupedUnsigned;
  Print("Total " + grouped(changed) + " changed, " + grouped(unchanged) + " unchanged, " + grouped(unknown) +
        " not in the archive" + (skipped > 0 ? ", " + grouped(skipped) + " skipped" : "") +
        (dryRun ? ", nothing written\n" : "\n"));
}

void CompactTotal(int64_t oldSize, int64_t newSize) {
  Print("Compact " + FormatGrouped64(oldSize) + " -> " + FormatGrouped64(newSize) + " bytes\n");
}

void SameNameWritten(const std::string& path, const std::string& earlier) {
  Error("書き出したファイルと同じ名前になるため書き出しません", path + " = " + earlier);
}

void OneNameForTwo(const std::string& path, const std::string& other) {
  Error("同じ名前になる格納ファイルが複数あるため書き戻しません", path + " = " + other);
}

void Failure(const Status& status, const std::string& archivePath) {
  const std::string& path = status.path;
  const auto number = static_cast<int64_t>(status.number);
  // The failures told by their path alone.
  static const std::pair<Code, void (*)(const std::string&)> kByPath[] = {
      {KEL_ERR_READ, ReadFailed},
      {KEL_ERR_NOT_FOUND, NotInArchive},
      {KEL_ERR_NO_FILE, FileNotFound},
      {KEL_ERR_ROLLBACK, CannotRollBack},
      {KEL_ERR_DATA_PAST_END, StoredPastEnd},
  };
  static const std::pair<Code, const char*> kTexts[] = {
      {KEL_ERR_WRITE, "ファイル書き込みに失敗"},
      {KEL_ERR_UNSAFE_PATH, "安全でないパスのため書き出しません"},
      {KEL_ERR_AMBIGUOUS, "そのファイル名はアーカイブ内に複数存在します"},
      {KEL_ERR_IN_USE, "アーカイブが使用中です"},
      {KEL_ERR_MISSING_FOLDER, "出力先のフォルダが存在しません"},
      {KEL_ERR_NAME_TOO_LONG, "名前が長すぎて作成できません"},
      {KEL_ERR_NO_SPACE, "ディスクの空き容量が足りません"},
      {KEL_ERR_READ_ONLY, "読み込み専用のファイルシステムです"},
      {KEL_ERR_DENIED, "書き込む権限がありません"},
      {KEL_ERR_DESTINATION, "出力先フォルダを作成できません"},
      {KEL_ERR_NOT_REGULAR, "通常のファイルではないため書き戻しません"},
      {KEL_ERR_CHANGED, "読み込み中にファイルが変更されました"},
      {KEL_ERR_SEVERAL_NAMES, "ハードリンクが複数あるため置き換えられません"},
      {KEL_ERR_ATTRIBUTES, "所有者や属性を引き継げません"},
      {KEL_ERR_EXISTS, "同じ名前のファイルが既にあります"},
      {KEL_ERR_DATA_IN_THE_WAY, "データがヘッダかディレクトリと重なっています"},
      {KEL_ERR_LOOKALIKE, "データにディレクトリと読める箇所があるため詰められません"},
  };
  for (const auto& [code, tell] : kByPath) {
    if (status.code == code) tell(path);
  }
  for (const auto& [code, text] : kTexts) {
    if (status.code == code) Error(text, path);
  }
  switch (status.code) {
    case KEL_ERR_OPEN:
      // A misspelled archive name is told as such.
      status.systemError != 0 && platform::FailureOf(status.systemError) == platform::Failure::kMissingFolder
          ? FileNotFound(path)
          : OpenFailed(path);
      break;
    case KEL_ERR_MEMORY:
      MemoryFailed(number);
      break;
    case KEL_ERR_NOT_KEL:
      NotKelFile(static_cast<uint32_t>(status.number));
      break;
    case KEL_ERR_HEADER_CUT:
      HeaderCut(number);
      break;
    case KEL_ERR_NO_DIRECTORY:
      DirectoryNotFound(static_cast<uint32_t>(status.number));
      break;
    case KEL_ERR_ARCHIVE_CUT:
      ArchiveCut(status.number);
      break;
    case KEL_ERR_NOT_START_ADDRESS:
      NotStartAddress(number);
      break;
    case KEL_ERR_RANGE_PAST_END:
      RangePastEnd(number);
      break;
    case KEL_ERR_BAD_ADDRESS:
      BadAddress(number);
      break;
    case KEL_ERR_BAD_SIZE:
      BadSize(number);
      break;
    case KEL_ERR_ADDRESS_PAST_END:
      AddressPastEnd(number);
      break;
    case KEL_ERR_FIRST_BYTES:
      FirstBytesDiffer(static_cast<int>(number));
      break;
    case KEL_ERR_CANCELLED:
      if (!path.empty()) Interrupted(path);
      break;
    case KEL_ERR_SIZE_DIFFERS:
      SizeDiffers(number, static_cast<int64_t>(status.otherNumber));
      break;
    case KEL_ERR_OUTSIDE_DATA:
      MergeOutsideData(number);
      break;
    case KEL_ERR_NOT_TOP:
      NotTop(path, status.other);
      break;
    case KEL_ERR_SAME_NAME:
      SameNameWritten(path, status.other);
      break;
    case KEL_ERR_ONE_NAME_FOR_TWO:
      OneNameForTwo(path, status.other);
      break;
    case KEL_ERR_OVERLAP:
      StoredOverlap(path, status.other);
      break;
    case KEL_ERR_MORE_OVERLAPS:
      MoreOverlaps(status.number);
      break;
    default:
      break;
  }
  if (status.undoFailed) CannotRollBack(archivePath);
}

std::string FormatGrouped(int32_t value) { return FormatGrouped64(value); }

std::string FormatGrouped64(int64_t value) {
  char text[32];
  return std::string(WriteGrouped(value, text + sizeof text), text + sizeof text);
}

std::string FormatGroupedUnsigned(uint64_t value) {
  char text[32];
  return std::string(WriteGroupedUnsigned(value, text + sizeof text), text + sizeof text);
}

char* WriteGrouped(int64_t value, char* end) {
  char* at =
      WriteGroupedUnsigned(value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value), end);
  if (value < 0) *--at = '-';
  return at;
}

char* WriteGroupedUnsigned(uint64_t value, char* end) {
  char* at = end;
  for (int digits = 0; digits == 0 || value > 0; ++digits) {
    if (digits > 0 && digits % 3 == 0) *--at = ',';
    *--at = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return at;
}

}  // namespace kel::messages
