/* kel.h: the C API of libkel, a library for kel game archives.
 *
 * A kel archive is one file holding a tree of stored files: a scrambled
 * header, a directory block (every stored file's folder path, size and
 * address) and the stored files' data. libkel lists, reads, tests and
 * extracts archives, and changes them in place: a merge of a file of the
 * same size, a replacement of any size, a put-back of an edited folder, a
 * compact copy. Every change goes through a journal: whatever stops it (a
 * failure, a crash, a power cut) leaves the archive wholly old or wholly new.
 *
 * Conventions
 * - Every function that can fail returns a kel_code: KEL_OK (0) or an error.
 *   kel_last_error() then tells the code, the system's error number and the
 *   path or numbers the error concerns, for the calling thread.
 * - Handles are opaque. A kel_archive is used by one thread at a time, except
 *   for kel_cancel(), which any thread (and a signal handler) may call at any
 *   moment. Different handles may be used on different threads at once.
 * - Strings passed in are zero-terminated. File paths are in the handle's
 *   name encoding (see KEL_OPEN_UTF8_NAMES); on Windows they reach the system
 *   as UTF-16. Stored paths use the backslash as the folder separator; a
 *   slash is taken as one too.
 * - Strings passed out (in kel_entry, kel_event, kel_error) belong to libkel
 *   and stay valid until the next call on the same handle (the same thread
 *   for kel_error), or until the callback returns; copy what you keep.
 * - Stored names are Shift-JIS bytes. An archive opened with
 *   KEL_OPEN_UTF8_NAMES gives paths and writes files with names converted to
 *   UTF-8 (a name that is not Shift-JIS keeps its bytes); without it, paths
 *   and file names are the stored bytes. kel_entry always carries the stored
 *   bytes as well.
 * - Progress and per-file results reach the caller through one callback,
 *   always on the thread that called the library, in the archive's order,
 *   whatever the thread count of an extraction.
 */
#ifndef KEL_H_
#define KEL_H_

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && defined(KEL_BUILDING_LIBRARY)
#define KEL_API __declspec(dllexport)
#elif defined(_WIN32) && !defined(KEL_STATIC)
#define KEL_API __declspec(dllimport)
#elif defined(__GNUC__)
#define KEL_API __attribute__((visibility("default")))
#else
#define KEL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** What a call did: one code per failure the kel tool tells apart. The
 * values never change; new codes are added at the end. */
typedef enum kel_code {
  KEL_OK = 0,
  KEL_ERR_ARGUMENT,          /**< a null pointer, an unknown flag, a handle not open to write */
  KEL_ERR_OPEN,              /**< a file or folder could not be opened (path) */
  KEL_ERR_READ,              /**< a read failed (path) */
  KEL_ERR_WRITE,             /**< a write, sync or placement failed (path) */
  KEL_ERR_MEMORY,            /**< memory could not be had (number: bytes) */
  KEL_ERR_NOT_KEL,           /**< no kel header (number: the magic found) */
  KEL_ERR_HEADER_CUT,        /**< the file ends inside the header (number: bytes missing) */
  KEL_ERR_NO_DIRECTORY,      /**< no directory block (number: where it should end) */
  KEL_ERR_ARCHIVE_CUT,       /**< the file ends before its directory or data (number: bytes missing) */
  KEL_ERR_NOT_START_ADDRESS, /**< no stored file starts at the address (number) */
  KEL_ERR_UNSAFE_PATH,       /**< a stored path that would leave the destination (path) */
  KEL_ERR_RANGE_PAST_END,    /**< a range runs past the archive's end (number: bytes missing) */
  KEL_ERR_BAD_ADDRESS,       /**< a negative address (number) */
  KEL_ERR_BAD_SIZE,          /**< a size below -1 (number) */
  KEL_ERR_ADDRESS_PAST_END,  /**< an address past the archive's end (number) */
  KEL_ERR_FIRST_BYTES,       /**< a merge whose first bytes differ from the stored ones (number: 4) */
  KEL_ERR_CANCELLED,         /**< kel_cancel() or a callback stopped the call; path: what was undone */
  KEL_ERR_NOT_FOUND,         /**< no stored file by that name or pattern (path) */
  KEL_ERR_AMBIGUOUS,         /**< several stored files by that name (path) */
  KEL_ERR_NO_FILE,           /**< the file to merge does not exist (path) */
  KEL_ERR_SIZE_DIFFERS,      /**< a merge with another size (number: stored, other_number: the file's) */
  KEL_ERR_IN_USE,            /**< another program held the archive past the wait (path) */
  KEL_ERR_ROLLBACK,          /**< a stopped write could not be undone (path) */
  KEL_ERR_OUTSIDE_DATA,      /**< a merge outside the stored files' data (number: address) */
  KEL_ERR_MISSING_FOLDER,    /**< a folder of the path does not exist (path) */
  KEL_ERR_NAME_TOO_LONG,     /**< the file system refuses the name (path) */
  KEL_ERR_NO_SPACE,          /**< the disk or quota is full (path) */
  KEL_ERR_READ_ONLY,         /**< a read-only file system (path) */
  KEL_ERR_DESTINATION,       /**< the destination folder cannot be made (path) */
  KEL_ERR_SAME_NAME,         /**< an output has the name of one written before (path, other) */
  KEL_ERR_ONE_NAME_FOR_TWO,  /**< a put-back's file stands for two stored files (path, other) */
  KEL_ERR_DATA_PAST_END,     /**< a stored file's data run past the archive's end (path) */
  KEL_ERR_OVERLAP,           /**< two stored files' data overlap (path, other) */
  KEL_ERR_MORE_OVERLAPS,     /**< overlaps beyond those told (number) */
  KEL_ERR_NOT_REGULAR,       /**< a put-back's entry is no regular file: not read (path) */
  KEL_ERR_CHANGED,           /**< a file changed while it was read (path) */
  KEL_ERR_SEVERAL_NAMES,     /**< an archive with other hard links cannot be replaced (path) */
  KEL_ERR_ATTRIBUTES,        /**< the owner or attributes cannot go to the copy (path) */
  KEL_ERR_EXISTS,            /**< a file that must be new exists (path) */
  KEL_ERR_DATA_IN_THE_WAY,   /**< a stored file's data lie in the header or directory (path) */
  KEL_ERR_LOOKALIKE,         /**< a compact copy's data would read as its directory (path) */
  KEL_ERR_NOT_WHOLE,         /**< the job went on past failures of single files, each reported */
  KEL_ERR_DAMAGED,           /**< kel_test found problems (number: how many) */
  KEL_END,                   /**< kel_next: no stored file is left (no error) */
  KEL_ERR_DENIED,            /**< the system refused the write: no permission (path) */
  KEL_ERR_NOT_TOP            /**< a put-back's folder lies below the top of an extraction: its files are
                                  stored below one folder (path: the folder, other: the top it lies in) */
} kel_code;

/** The last error of the calling thread. */
typedef struct kel_error {
  int code;              /**< a kel_code */
  int system_error;      /**< errno, or GetLastError() on Windows; 0 when none */
  const char* path;      /**< the path it concerns, or "" */
  const char* other;     /**< a second path (the stored file met before, say), or "" */
  uint64_t number;       /**< the number it concerns, or 0 */
  uint64_t other_number; /**< a second number, or 0 */
  int undo_failed;       /**< non-zero: the change could not be undone either (KEL_ERR_ROLLBACK) */
} kel_error;

/** The calling thread's last error; valid until its next call into libkel. */
KEL_API const kel_error* kel_last_error(void);
/** An English sentence for a code; never null. */
KEL_API const char* kel_code_text(int code);
/** The version of the library that runs, as "MAJOR.MINOR". */
KEL_API const char* kel_version(void);

typedef struct kel_archive kel_archive;

/* Flags of kel_open. */
#define KEL_OPEN_READ 0u       /**< read only, sharing the archive with other readers */
#define KEL_OPEN_WRITE 1u      /**< locked for writing until kel_close */
#define KEL_OPEN_NO_WAIT 2u    /**< fail at once with KEL_ERR_IN_USE instead of waiting 60 s */
#define KEL_OPEN_UTF8_NAMES 4u /**< paths in UTF-8 (else the stored Shift-JIS bytes) */

/** What happened; which fields mean something depends on the kind. */
typedef enum kel_event_kind {
  KEL_EVENT_WAITING,     /**< another program holds the archive; waiting (path) */
  KEL_EVENT_ROLLED_BACK, /**< a stopped write was undone on open (path) */
  KEL_EVENT_READ_BEFORE, /**< a stopped write is read through, not undone: no write access (path) */
  KEL_EVENT_FILE,        /**< a stored file or range begins: path, size, address (-e, -d); a merge
                              or replacement: path the file, other the stored path, address, size,
                              old_size */
  KEL_EVENT_PROGRESS,    /**< one more MiB of the file begun: done, size */
  KEL_EVENT_FILE_DONE,   /**< a stored file is done: code KEL_OK or why not, path, other */
  KEL_EVENT_PROBLEM,     /**< kel_test: a problem found: code, path, other, number */
  KEL_EVENT_UPDATE,      /**< put-back: a stored file to change: path, address (new), size (new), old_size */
  KEL_EVENT_NOT_FOUND,   /**< a pattern, or a put-back's file, that names no stored file: path */
  KEL_EVENT_CHANGE,      /**< a change is about to write: the last moment to stop it, nothing
                              written yet (compact: size the copy's length, old_size the archive's) */
  KEL_EVENT_COPIED       /**< bytes copied since the last COPIED event of the call (number), told
                              while the work goes on: an extraction's worker threads, a change's
                              copies */
} kel_event_kind;

typedef struct kel_event {
  int kind; /**< a kel_event_kind */
  int code; /**< for FILE_DONE and PROBLEM */
  int system_error;
  const char* path; /**< a stored path, or a file path */
  const char* other;
  uint64_t address;
  uint64_t size;
  uint64_t old_size;
  uint64_t done;
  uint64_t number;
} kel_event;

/** Takes each event; return non-zero to stop the call (KEL_ERR_CANCELLED). */
typedef int (*kel_event_fn)(void* user, const kel_event* event);

/** Opens the archive at `path`, checks its header and finds its directory.
 * `on_event` (may be null) hears WAITING, ROLLED_BACK and READ_BEFORE. On
 * success *archive is a handle to close; on failure it is null. */
KEL_API int kel_open(const char* path, unsigned flags, kel_event_fn on_event, void* user,
                     kel_archive** archive);
/** Releases the handle and its lock. Null is no handle. */
KEL_API void kel_close(kel_archive* archive);
/** Stops the call running on the handle as soon as it can; an interrupted
 * change is undone. Any thread, a signal handler too. The flag stays set
 * until kel_close: later calls stop at once. */
KEL_API void kel_cancel(kel_archive* archive);

/** One stored file, in directory order. */
typedef struct kel_entry {
  const char* path; /**< in the handle's name encoding */
  size_t path_length;
  const char* raw_path; /**< the stored Shift-JIS bytes, folders joined by '\\' */
  size_t raw_path_length;
  uint64_t address; /**< where its data start in the archive */
  uint64_t size;
  uint64_t index; /**< its place in the directory, from 0 */
} kel_entry;

/** Starts the walk of the stored files again from the first. */
KEL_API int kel_rewind(kel_archive* archive);
/** The next stored file: KEL_OK with *entry filled, KEL_END after the last
 * one, or an error. */
KEL_API int kel_next(kel_archive* archive, kel_entry* entry);

/** Copies `size` bytes of the archive from `address`, unscrambled, into
 * `buffer` (at least `size` bytes): a stored file is (entry.address,
 * entry.size). KEL_ERR_RANGE_PAST_END when the archive ends before. */
KEL_API int kel_read(kel_archive* archive, uint64_t address, uint64_t size, void* buffer);

/** What to extract and how. Zero-initialise, then set what you need. */
typedef struct kel_extract_options {
  const char* const* patterns; /**< null, or `pattern_count` name patterns (see kel(1)) */
  size_t pattern_count;
  int threads;           /**< 0: one per core, at most 8 */
  kel_event_fn on_event; /**< FILE, PROGRESS, FILE_DONE, NOT_FOUND; may be null */
  void* user;
  /** Null, or the folder (UTF-8 on Windows) of the records of what was written (kel(1), RECORD):
   * what is written whole becomes the record of the pair (archive, destination). */
  const char* record_folder;
} kel_extract_options;

/** Every chosen stored file below `destination`, folders made as needed;
 * no output lands outside it. Goes on past a stored file that fails
 * (FILE_DONE says why) and then returns KEL_ERR_NOT_WHOLE. */
KEL_API int kel_extract(kel_archive* archive, const char* destination, const kel_extract_options* options);

/** Reads the header and directory, never the data; each problem is a
 * PROBLEM event; KEL_ERR_DAMAGED when there was one. `unclaimed` (may be
 * null) takes the bytes nothing claims. */
KEL_API int kel_test(kel_archive* archive, kel_event_fn on_event, void* user, uint64_t* unclaimed);

/* Changes. The archive must be open with KEL_OPEN_WRITE; `on_event` may be
 * null, and hears FILE and CHANGE. */

/** Merges `file` over the one stored file named `name` (a bare name, any
 * case of A-Z, or a part of the path with a folder), which must have the
 * file's size and its first bytes (up to 4). */
KEL_API int kel_merge(kel_archive* archive, const char* name, const char* file, kel_event_fn on_event,
                      void* user);
/** Replaces the one stored file whose path ends in the whole components of
 * `name` (letters A-Z in either case) by `size` bytes of `data`. */
KEL_API int kel_replace(kel_archive* archive, const char* name, const void* data, uint64_t size,
                        kel_event_fn on_event, void* user);

/** What a put-back found; filled before its CHANGE event. */
typedef struct kel_update_counts {
  uint64_t changed, unchanged, not_found, skipped;
} kel_update_counts;

typedef struct kel_update_options {
  const char* const* patterns;
  size_t pattern_count;
  int dry_run;           /**< non-zero: report, write nothing */
  kel_event_fn on_event; /**< UPDATE, NOT_FOUND, FILE_DONE (a file not put back), CHANGE */
  void* user;
  /** Null, or the folder of the records: a file that the pair's record proves
   * unchanged is not read, and what was found equal or put back is recorded. */
  const char* record_folder;
  int full; /**< non-zero: compare every file whatever the record says */
} kel_update_options;

/** Puts back every file of `folder` (as kel_extract wrote it) whose bytes
 * differ from its stored file, all in one change. `counts` (may be null)
 * takes what was found. */
KEL_API int kel_update(kel_archive* archive, const char* folder, const kel_update_options* options,
                       kel_update_counts* counts);

/** Writes a copy with every stored file's data once and nothing unclaimed:
 * to `new_file` (which must not exist), or, when it is null, in the
 * archive's place (the handle must be open to write; it is closed then,
 * and only kel_close is left to call). `new_length` (may be null) takes the
 * copy's length. */
KEL_API int kel_compact(kel_archive* archive, const char* new_file, uint64_t* new_length);

#ifdef __cplusplus
}
#endif

#endif /* KEL_H_ */
