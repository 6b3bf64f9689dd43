// Each command of the tool as a client of the library: it opens the
// archive, says what it does, turns the library's events into lines as
// they come and its status into the one error line, and returns 0 when the
// whole job was done, -1 otherwise.
#ifndef KEL_PROGRAMS_COMMANDS_H_
#define KEL_PROGRAMS_COMMANDS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "text.h"

namespace kel {

/// The encoding of names and texts, chosen once from the locale.
void SetNameEncoding(Encoding encoding);
Encoding NameEncoding();
/// Under a locale that is not UTF-8, names or patterns written in UTF-8
/// match nothing: says once what to set. Japanese in UTF-8 is mostly valid
/// Shift-JIS byte for byte as well; the other way round it is rare.
void NoteUtf8Names(const std::vector<std::string>& given);

// `excluded`: the patterns of -x; `keep`: -k.
int ListEntries(const std::string& archivePath, const std::vector<std::string>& patterns,
                const std::vector<std::string>& excluded, bool json);
int TestArchive(const std::string& archivePath, const std::vector<std::string>& excluded);
int ExtractRange(const std::string& archivePath, int64_t address, int64_t size, const std::string& destFile);
int ExtractAll(const std::string& archivePath, const std::string& destDir,
               const std::vector<std::string>& patterns, const std::vector<std::string>& excluded,
               int threads, bool keep);
int ExtractByAddress(const std::string& archivePath, const std::string& destDir, int64_t address, bool keep);
/// The stored bytes of the chosen files, in the archive's order, to standard output.
int PrintStored(const std::string& archivePath, const std::vector<std::string>& patterns,
                const std::vector<std::string>& excluded);
int MergeAt(const std::string& mergeFile, const std::string& archivePath, int64_t address);
int MergeByFile(const std::string& archivePath, const std::string& mergeFile);
int MergeByName(const std::string& archivePath, const std::string& mergeName, const std::string& mergeFile);
int ReplaceByFile(const std::string& archivePath, const std::string& file);
int ReplaceByName(const std::string& archivePath, const std::string& storedName, const std::string& file);
int UpdateFromFolder(const std::string& archivePath, const std::string& folder,
                     const std::vector<std::string>& patterns, const std::vector<std::string>& excluded,
                     bool dryRun, bool full);
int CompactArchive(const std::string& archivePath, const std::string& newFile);

}  // namespace kel

#endif  // KEL_PROGRAMS_COMMANDS_H_
