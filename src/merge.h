// Merging: overwriting a stored file's bytes inside the archive, in place,
// with a replacement file scrambled the way stored data are; and replacing
// a stored file by one of any size.
#ifndef KEL_MERGE_H_
#define KEL_MERGE_H_

#include <cstdint>
#include <string>

namespace kel {

class Selection;

/// Writes `mergeFile` over the archive from `address` on, once its first
/// bytes (up to 4) equal the stored plain bytes there. 0, or -1 after its
/// message; whatever stops it leaves the archive as it was or wholly
/// merged, and a refusal writes nothing.
int MergeAt(const std::string& mergeFile, const std::string& archivePath, int64_t address);

/// Finds the one stored file whose name is the replacement's own name
/// (ignoring the case of A-Z) and merges the replacement over it.
int MergeByFile(const std::string& archivePath, const std::string& mergeFile);

/// Finds the one stored file by `mergeName`: a bare name compares with the
/// stored file's name ignoring case; a name with a folder part (`\` or `/`)
/// must stand in the stored path, case-sensitive.
int MergeByName(const std::string& archivePath, const std::string& mergeName, const std::string& mergeFile);

/// Replaces the one stored file whose name is the file's own name (matched
/// as MergeByFile does) by the file, whatever its size. The new bytes go
/// into the first unclaimed range that holds them, else behind everything
/// claimed; the archive reads as the old or the new one at every moment,
/// also after a crash, and ends where its claimed bytes end.
int ReplaceByFile(const std::string& archivePath, const std::string& file);

/// The same for the stored file whose path ends in the whole components of
/// `storedName` (either separator), ignoring the case of A-Z.
int ReplaceByName(const std::string& archivePath, const std::string& storedName, const std::string& file);

/// Puts back every file below `folder` (that the patterns choose) whose
/// path is that of a stored file as extraction writes it and whose bytes
/// differ from the stored ones, all in one change (or, with `dryRun`, says
/// what it would do). Files that name no stored file, and entries that are
/// not read (links, which are never followed, other entries that are no
/// regular file, what cannot be read) are reported, and make the result -1
/// once the others are put back. A file that changes while it is read makes
/// the whole change write nothing.
int UpdateFromFolder(const std::string& archivePath, const std::string& folder, Selection& selection,
                     bool dryRun);

/// Writes a copy with every stored file's data once, in directory order,
/// and nothing unclaimed: to `newFile`, which must not exist, or (when it
/// is empty) in the place of the archive's own name (behind any link), which
/// holds the old archive until the copy is whole and has its owner, mode and
/// attributes. The copy is a new file that no name leads to while it is
/// written, or one of kel's own name that a later run removes if this one
/// is killed.
int CompactArchive(const std::string& archivePath, const std::string& newFile);

}  // namespace kel

#endif  // KEL_MERGE_H_
