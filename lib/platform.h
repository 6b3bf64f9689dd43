// The seam between the library and the operating system: files, folders,
// locks and the conversion of names. Nothing above this header includes an
// OS or C runtime header for those jobs; a build for another system
// supplies a second implementation of these functions. Nothing here prints,
// ends the process or catches a signal.
//
// Paths and names handed to these functions are in the system's form
// (SystemPath in paths.h): folders separated by slashes (POSIX) or either
// separator (Windows), names as bytes (POSIX) or UTF-8 (Windows, which
// hands them on as UTF-16).
#ifndef KEL_LIB_PLATFORM_H_
#define KEL_LIB_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kel::platform {

/// Access asked of an open file. Every open of an existing file also takes
/// an advisory lock: shared for kRead, exclusive for the writing modes. A
/// file the open creates anew is not locked: nothing else holds it.
enum class Access {
  kRead,      ///< read only; the file must exist
  kWriteNew,  ///< write only; created when missing, emptied once locked
  /// As kWriteNew, for a name that comes from an archive, made in a folder
  /// held open (OpenFileIn): what stands there and is not a plain file of
  /// its own (a link, a file with other hard links, a pipe, a device) is
  /// replaced by a new file, never written through.
  kWriteEntry,
  kReadWrite,  ///< read and write; the file must exist
};

/// Opens `path`. Returns 0 and stores a handle, or returns a non-zero error
/// number (a folder, a lock held elsewhere, the same file held by this
/// process in a conflicting mode, or a file to write that is this process's
/// own standard output all fail) and stores -1.
int OpenFile(const std::string& path, Access access, int* handle);
/// Whether an OpenFile error means that another process holds the file
/// (its lock or its sharing mode), so that waiting may help.
bool HeldElsewhere(int error);
/// Closes the file; false when the system reports that written data were lost.
bool CloseFile(int handle);
bool IsRegularFile(int handle);
/// The file's length now, or 0 when it has none (a device, a pipe).
int64_t FileLength(int handle);
/// What tells an open file from others and from itself at another moment.
struct FileFacts {
  uint64_t id = 0;     ///< the number its file system gives it alone
  uint64_t links = 0;  ///< its count of names
  int64_t size = 0;
  int64_t modified = 0;  ///< the times of its last change of bytes and of anything, in ns
  int64_t changed = 0;   ///< since 1970 (as the system clock counts)
  uint64_t device = 0;   ///< the file system's number (Windows: the volume's serial)
  bool SameState(const FileFacts& other) const {
    return size == other.size && modified == other.modified && changed == other.changed;
  }
};
bool FactsOf(int handle, FileFacts* facts);
/// The facts of the regular file named `path`, without opening it where the
/// system allows (a link is not followed); false for anything else.
bool FactsAt(const std::string& path, FileFacts* facts);
/// Whether the open file is the user's own and no one else may write it
/// (POSIX: owner and mode; Windows keeps a user's local data private).
bool PrivateFile(int handle);
/// Reads up to `count` bytes at `position`; fewer only at the end of the file.
/// Returns the count read, or -1 on an error.
int64_t ReadAt(int handle, int64_t position, void* destination, size_t count);
/// Writes all `count` bytes at `position`; returns false on any failure.
bool WriteAt(int handle, int64_t position, const void* source, size_t count);
/// Writes all `count` bytes at the file's current position (works on pipes
/// and devices too); returns false on any failure.
bool WriteNext(int handle, const void* source, size_t count);
/// Secures the disk space for `count` bytes at `position`, growing the file
/// when they reach past its end; false, with the file as it was, when the
/// space cannot be had. A file system that cannot reserve space passes.
bool ReserveSpace(int handle, int64_t position, int64_t count);
/// Cuts or grows the file to `length` bytes.
bool ResizeFile(int handle, int64_t length);
/// Pushes the file's written bytes to the disk.
bool SyncFile(int handle);
bool RemoveFile(const std::string& path);
/// Whether a file, a folder or a link (followed or not) has the name `path`.
bool NameTaken(const std::string& path);
/// `path` with every link resolved; empty when it cannot be resolved.
std::string RealPath(const std::string& path);

/// A new file to read and write that takes a name only once whole (see
/// PlaceFile), made in the folder of `target`, readable by its owner alone,
/// and held as an output. Where the system can (Linux) no name leads to it
/// until then; elsewhere it is `spare`, created anew and never through a
/// link. 0, or the error number.
int CreateUnnamed(const std::string& target, const std::string& spare, int* handle);
/// Gives the file `to` the owner, group, mode and extended attributes (ACLs
/// among them) of the file `from`; on Windows its attributes and access
/// rights. `from` < 0: the mode a new file gets.
bool TakeAttributes(int to, int from);
/// Puts the whole, synced file `handle` from CreateUnnamed at `target` and
/// closes it: over the file `held` (an open handle of `target`, closed here
/// too) when it is not -1, and then only while `target` still names that
/// file; else only where nothing has that name. Once the name lasts
/// on the disk, 0; an error number, the file removed, when nothing was
/// changed; -1 when `target` is the file but the folder could not be synced.
int PlaceFile(int handle, const std::string& spare, const std::string& target, int held);
/// Closes a file from CreateUnnamed that is not to be placed, and removes it.
void DiscardFile(int handle, const std::string& spare);
/// Removes `spare` when it is what CreateUnnamed left behind on a run that
/// was killed: a file of one name, not a link, that no process holds (and,
/// on POSIX, of the user's own). Whether it was removed.
bool RemoveLeftover(const std::string& spare);

enum class FolderResult { kMade, kExists, kMissingParent, kFailed, kLink };
/// Creates one folder. kExists when something of that name is there.
FolderResult MakeFolder(const std::string& path);

// Folders held open, so that an output lands in the folder that was
// reached, whatever another process renames or links meanwhile. Below the
// first one, each is reached from its parent's handle by name, and never
// through a link (a symbolic link, a junction or any reparse point).

/// Holds the folder `path` (empty: the current one) open; a link as `path`
/// itself is followed. 0, or the system's error number.
int OpenFolder(const std::string& path, int* folder);
/// Makes sure of the folder `name`, one name in the held `folder`: made
/// first when `create`, and held open as `*below` unless `below` is null.
/// kLink when a link stands there (a file in its place is kFailed);
/// kMissingParent when it is missing.
FolderResult OpenFolderIn(int folder, const std::string& name, bool create, int* below);
/// Whether the system resolves a path beneath a held folder in one step
/// and follows no link on the way (Linux's openat2). Outputs are then
/// opened by their path below the destination, and no folder of theirs
/// needs to be held; otherwise each is opened by name in its own folder.
bool ResolvesBeneath();
/// Holds the folder `relative` (names joined by separators) below the held
/// `folder` open in one step where the system resolves beneath a folder;
/// false when it cannot or the folder is missing.
bool OpenFolderBeneath(int folder, const std::string& relative, int* below);
void CloseFolder(int folder);
/// Opens the output `relative` below the held `folder` as kWriteEntry; as
/// OpenFile. `relative` is one name unless ResolvesBeneath(). With `keep`,
/// only a new file is made: whatever stands there fails the open (Exists).
int OpenFileIn(int folder, const std::string& relative, int* handle, bool keep = false);
/// Whether an error number of OpenFileIn says that the name is taken.
bool Exists(int error);
/// Removes the output `relative` below the held `folder` when it is still
/// the open file `handle` (-1: whatever file it is).
bool RemoveFileIn(int folder, const std::string& relative, int handle);

/// Looks `path` up; on success stores its size in bytes.
bool FindFile(const std::string& path, int64_t* size);

/// Whether the file system refuses some names (CanHoldName) or takes
/// names that differ in letter case for one (FoldedName).
#ifdef _WIN32
constexpr bool kRestrictsNames = true;
#else
constexpr bool kRestrictsNames = false;
#endif
/// A path with slashes as the system takes its names: on Windows, whose
/// names are UTF-16, Shift-JIS bytes (`shiftJis`) are converted to UTF-8;
/// elsewhere names are the bytes they are.
std::string ToSystemNames(const std::string& path, bool shiftJis);
/// A name the system gave back (ListFiles, RealPath) in the encoding asked.
std::string FromSystemNames(const std::string& name, bool shiftJis);
/// Code page 932 (Shift-JIS as Windows has it) to UTF-8 and back; false
/// when the text holds a sequence that the source lacks (or the target).
bool Cp932ToUtf8(const std::string& cp932, std::string* utf8);
bool Utf8ToCp932(const std::string& utf8, std::string* cp932);

/// Index of the first of `count` 4-byte words at `words` (4-byte aligned)
/// whose bytes equal `word`'s four bytes; `count` when none does.
size_t FindWord(const uint8_t* words, size_t count, const char word[4]);

/// The system's error number of the last call here that failed.
int LastError();
/// What an error number says about writing outputs.
enum class Failure {
  kOther,
  kMissingFolder,  ///< a folder of the path does not exist
  kNameTooLong,    ///< the file system refuses a name or path that long
  kNoSpace,        ///< the disk or the user's quota is full
  kReadOnly,       ///< the file system is read-only
  kDenied,         ///< no permission
};
Failure FailureOf(int error);
bool IsFolder(const std::string& path);
/// Every regular file below `folder`: its path relative to the folder,
/// folders joined by backslashes, and its size. Links are never followed:
/// they go to `others`, with every other entry that is neither a file nor
/// a folder (a pipe, a device, a socket), and with every folder that cannot
/// be read (marked true). False when `folder` itself cannot be read.
bool ListFiles(const std::string& folder, std::vector<std::pair<std::string, int64_t>>* files,
               std::vector<std::pair<std::string, bool>>* others);
/// Whether the file system can hold `name` as one file or folder name.
/// Windows cannot: device names (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with
/// any extension, in any case), names that end in a dot or a space, and
/// the characters <>:"|?* and control characters. POSIX holds every name.
bool CanHoldName(const std::string& name);
/// Where the file system takes names that differ only in letter case for
/// one file: `path` as it compares them, folded to one case and to one
/// separator. Empty where every spelling is a name of its own.
std::string FoldedName(const std::string& path);

}  // namespace kel::platform

#endif  // KEL_LIB_PLATFORM_H_
