// Listing and extraction: the table of stored files, the copy engine that
// unscrambles a byte range into a file, and the commands built on it.
#ifndef KEL_EXTRACT_H_
#define KEL_EXTRACT_H_

#include <cstdint>
#include <string>

#include "support.h"

namespace kel {

/// Prints the loaded EntryTable with addresses, grouped sizes and totals.
int ListEntries();

/// Copies `size` bytes from `address` of the open archive (size -1: to the
/// archive's end) into a new `destFile`, opened with `access`, XORing each
/// with DataKey and printing `progressMark` after every started MiB. 0, or
/// -1 after its message; a range past the archive's end leaves the bytes
/// that exist. Interrupted, it removes the output and ends the process.
int CopyRange(Cfile& archiveFile, const std::string& destFile, int64_t address, int64_t size,
              const std::string& progressMark, platform::Access access = platform::Access::kWriteNew);

/// The -e command with a size: any byte range of the archive into a file.
int ExtractRange(const std::string& archivePath, int64_t address, int64_t size,
                 const std::string& destFile, platform::Access access = platform::Access::kWriteNew);

/// Every stored file below `destDir` (empty, or ending in a backslash).
/// Goes on after a stored file fails, and then returns -1 at the end.
int ExtractAll(const std::string& archivePath, const std::string& destDir);

/// The stored file that starts at `address`, under its bare name in `destDir`.
int ExtractByAddress(const std::string& archivePath, const std::string& destDir, int64_t address);

/// Whether a name taken from the archive stays below the folder it is
/// written into: not absolute, no drive prefix, no ".." component.
bool IsSafeEntryPath(const std::string& path);

}  // namespace kel

#endif  // KEL_EXTRACT_H_
