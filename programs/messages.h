// Every text the tool prints, and the one way it reaches standard output.
// The Japanese texts are written here once, in UTF-8, and printed in the
// process code page: UTF-8 under a UTF-8 locale, Shift-JIS bytes otherwise.
// Paths and names are printed as the bytes they are.
#ifndef KEL_PROGRAMS_MESSAGES_H_
#define KEL_PROGRAMS_MESSAGES_H_

#include <cstdint>
#include <string>

#include "status.h"

namespace kel::messages {

/// From now on only error lines are printed.
void SetQuiet(bool quiet);
/// The texts in UTF-8 (`utf8`) or in Shift-JIS.
void SetUtf8(bool utf8);
/// From now on every line but data (JSON, stored bytes) goes to standard error.
void SetMessagesToError(bool messagesToError);
void Print(const std::string& text);
/// Prints a progress mark, pushed out at once when standard output is a
/// terminal, so that a person watching sees the copy advance.
void Progress(const std::string& mark);
/// Pushes out everything printed; false when some output was lost.
bool Flush();
/// A live status line, only where standard output is a terminal and every
/// line is printed: StartStatus says whether it is shown. ShowStatus draws
/// it over the last one; any other text erases it first, as EndStatus does.
bool StartStatus();
void ShowStatus(const std::string& text);
void EndStatus();

void Usage(const std::string& program);
/// One line per command saying what it does, for -h.
void Commands();
/// What was wrong with a command line, told before the usage text.
void UnknownCommand(const std::string& argument);
void OptionBeforeCommand(const std::string& argument);
void NotAnOption(const std::string& option);
void MixedLetters(const std::string& argument);
void MissingOperands(const std::string& command);
void BadDestination(const std::string& destination);
void BadThreadCount(const std::string& count);
void Version(const std::string& program);

void ListingHead();
void ListingLine(uint64_t address, uint64_t size, const std::string& path);
void ListingTotal(uint32_t count, uint64_t bytes);
/// One JSON object on a line: the stored path as UTF-8 text (a byte that is
/// no Shift-JIS, and each byte from 0x80 on of a character that Python's
/// cp932 codec gives back under another code, becomes \udcXX, as its
/// surrogateescape reads it), the address and the size.
void ListingJson(uint64_t address, uint64_t size, const std::string& storedPath);

void ExtractRangeHead(int64_t address, int64_t size, const std::string& destFile);
void ExtractAllHead(const std::string& destDir);
void ExtractEntryHead(const std::string& path, uint64_t size);
/// Ends the line of a stored file whose output exists and is kept (-k).
void Kept();
/// An output of -e that exists and is kept (-k).
void KeptFile(const std::string& path);
void MergeHead(int64_t address, const std::string& mergeFile);
void ReplaceHead(int64_t address, const std::string& file, int64_t oldSize, int64_t newSize,
                 const std::string& storedPath);

void OpenFailed(const std::string& path);
void ReadFailed(const std::string& path);
void MemoryFailed(int64_t bytes);
void NotKelFile(uint32_t magic);
void DirectoryNotFound(uint32_t directoryEnd);
void NotStartAddress(int64_t address);
void RangePastEnd(int64_t missingBytes);
void BadAddress(int64_t address);
void BadSize(int64_t size);
void AddressPastEnd(int64_t address);
void FirstBytesDiffer(int count);
void NotANumber(const std::string& text);
void ArchiveCut(uint64_t missingBytes);
void Interrupted(const std::string& path);
void NotInArchive(const std::string& name);
void FileNotFound(const std::string& path);
void SizeDiffers(int64_t storedSize, int64_t fileSize);
void WaitingFor(const std::string& archivePath);
void CannotRollBack(const std::string& archivePath);
/// An interrupted write of the archive was undone.
void RolledBack(const std::string& archivePath);
/// The archive is read as it was before an interrupted write, which this
/// process may not undo.
void ReadingAsBefore(const std::string& archivePath);
/// A merge into a kel archive would write outside the stored files' data.
void MergeOutsideData(int64_t address);

/// Ends the line in progress, if one is.
void EndLine();
void HeaderCut(int64_t missingBytes);
/// Names in UTF-8 under a locale that is not: what to set, on a line of its own.
void Utf8Names();
/// A put-back's folder lies below the top of an extraction, which is `top`.
void NotTop(const std::string& folder, const std::string& top);
/// `path` names the same file as `earlier`, written before, for the file system.
void SameNameWritten(const std::string& path, const std::string& earlier);
/// One file below a put-back's folder stands for both stored files.
void OneNameForTwo(const std::string& path, const std::string& other);
void StoredPastEnd(const std::string& path);
void StoredOverlap(const std::string& path, const std::string& other);
void MoreOverlaps(uint64_t count);
/// The summary of -t: stored files, their bytes, the problems found, and
/// the bytes that nothing claims with their share of the file.
void TestTotal(uint32_t files, uint64_t bytes, uint64_t problems, uint64_t unclaimed, uint64_t fileSize);
/// `dryRun`: the line says that it is one.
void UpdateHead(int64_t address, const std::string& storedPath, int64_t oldSize, int64_t newSize,
                bool dryRun);
/// `skipped`: entries below the folder that are not put back, told only when there are some.
void UpdateTotal(uint64_t changed, uint64_t unchanged, uint64_t unknown, uint64_t skipped, bool dryRun);
void CompactTotal(int64_t oldSize, int64_t newSize);

/// The one line of a failure the library reported, naming `archivePath`
/// where the status says the change could not be undone either. Nothing
/// for a cancel before anything began (no path).
void Failure(const Status& status, const std::string& archivePath = "");

/// Decimal text with a comma between groups of three digits: -1,234,567.
std::string FormatGrouped(int32_t value);
std::string FormatGrouped64(int64_t value);
/// The same text written backwards from `end`, which has room for 26
/// characters before it; returns where the text starts.
char* WriteGrouped(int64_t value, char* end);
/// The same for byte counts and sizes, which may pass 2^63 in a damaged
/// archive.
std::string FormatGroupedUnsigned(uint64_t value);
char* WriteGroupedUnsigned(uint64_t value, char* end);

}  // namespace kel::messages

#endif  // KEL_PROGRAMS_MESSAGES_H_
