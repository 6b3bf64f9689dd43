// The record of what kel wrote: for one archive and one folder, the outputs
// that kel knows equal to their stored files, each with what the file
// system told of it right after (its size, times to the nanosecond, file
// number and device). A put-back takes an output that still shows exactly
// those facts for unchanged without reading it; anything the record cannot
// prove is compared byte for byte.
//
// One file per (archive, folder) pair in the caller's record folder, named
// by a digest of their real paths; written whole under another name, then
// put in place; safe to delete at any time. A record that is missing,
// unreadable, not the user's own private file, damaged (checksum), of
// another version, from the future, or for another archive identity (its
// length, a digest of its header and directory block, its times, file
// number and device) is no record: never an error, never a message.
//
// Trust needs more than equal facts: a file changed within one tick of the
// file system's clock after kel looked at it may show the same times. An
// entry is trusted only when the output's newest time is older than the
// record's writing by more than that tick (20 ms where times carry digits
// below the millisecond, 2 s elsewhere); the writer waits out that tick
// for what it has just seen, up to 20 ms, before it dates the record. The
// archive's own times obey the same rule.
#ifndef KEL_LIB_RECORD_H_
#define KEL_LIB_RECORD_H_

#include <cstdint>
#include <string>
#include <vector>

#include "archive.h"
#include "journal.h"

namespace kel {

/// Where the records go, and whether -u may use them.
struct RecordOptions {
  std::string folder;   ///< the record folder, in the system's form; empty: no record
  bool ignore = false;  ///< compare every byte whatever the record says
};

/// What identifies an archive unchanged: as the file system tells it, and
/// the digest of its header and directory block.
struct ArchiveIdentity {
  platform::FileFacts facts;
  uint64_t digest = 0;
};
/// The identity of the open archive; false when it cannot be had.
bool IdentityOf(Archive& archive, ArchiveIdentity* identity);

/// One output that equals its stored file (the `index`-th in the walk).
struct RecordEntry {
  uint32_t index = 0;
  uint32_t pathDigest = 0;  ///< of the stored path as the walk gives it
  uint64_t address = 0;
  uint64_t size = 0;
  platform::FileFacts facts;  ///< of the output; its size is `size`
};
/// The digest that an entry keeps of a stored path.
uint32_t PathDigest(const std::string& storedPath);
/// Whether `entry` proves the output whose facts are now `now` unchanged,
/// for a record written at `written` (ns since 1970).
bool Proves(const RecordEntry& entry, const platform::FileFacts& now, int64_t written);
/// The most entries a record keeps (about 230 MB); outputs past them are
/// compared.
constexpr uint64_t kMostEntries = uint64_t{1} << 22;

/// A record read for a put-back: its entries, in walk order, once the
/// file was found whole and for this archive as it is.
class RecordReader {
 public:
  /// Reads the record of `archive` (opened from `archivePath`) and
  /// `folder`, if one proves anything; `identity` takes the archive's.
  RecordReader(const RecordOptions& options, Archive& archive, const std::string& folder,
               ArchiveIdentity* identity);
  /// The entry of the stored file `index` in the walk, when it is that of
  /// `entry`; null otherwise.
  const RecordEntry* Find(uint32_t index, const ArchiveEntry& entry) const;
  int64_t Written() const { return written_; }

 private:
  std::vector<RecordEntry> entries_;
  int64_t written_ = 0;
};

/// Writes a record, entry by entry in walk order, to a new file that
/// replaces the pair's record once whole; memory does not grow with the
/// count. Every failure only leaves no new record (and the old one, which
/// proves no more than it did).
class RecordWriter {
 public:
  RecordWriter(const RecordOptions& options, const std::string& archivePath, const std::string& folder,
               Encoding encoding);
  ~RecordWriter();
  RecordWriter(const RecordWriter&) = delete;
  RecordWriter& operator=(const RecordWriter&) = delete;

  void Add(const RecordEntry& entry);
  /// Dates the record and puts it in place, for `archive` as it is now.
  void Finish(Archive& archive);
  /// The same, for an archive whose identity is known.
  void Finish(const ArchiveIdentity& identity);

 private:
  void Open();
  void Flush();

  const RecordOptions options_;
  const std::string archivePath_, folder_;
  const Encoding encoding_;
  std::string target_, spare_;
  uint64_t pair_ = 0;
  int handle_ = -1;
  uint64_t count_ = 0;
  int64_t newest_ = 0;  ///< the newest time among the entries that count a fine clock
  journal::Checksum sum_;
  std::vector<uint8_t> pending_;
  int64_t at_ = 0;
  bool failed_ = false;
};

}  // namespace kel

#endif  // KEL_LIB_RECORD_H_
