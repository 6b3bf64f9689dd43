// Extraction's decisions: what a stored file's output is, whether it may be
// written, and its folders, made in walk order before any bytes are copied;
// and the extraction of a byte range or of the stored file at an address.
#ifndef KEL_LIB_EXTRACT_H_
#define KEL_LIB_EXTRACT_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "archive.h"
#include "copy.h"
#include "events.h"
#include "folders.h"
#include "status.h"

namespace kel {

/// -e with a size: `size` bytes of the file open in `archive` from
/// `address` (size -1: to its end) into `destFile`, a FILE event (path,
/// address, size) first, once the range is known good.
Status ExtractRange(Cfile& archive, Encoding encoding, int64_t address, int64_t size,
                    const std::string& destFile, const Context& context);
/// The stored file that starts at `address` (the first there that holds
/// bytes), under its bare name in `destDir` (empty, or ending in a
/// backslash), with the FILE event of ExtractRange. With `keep`, an output
/// that exists is kept: EXISTS.
Status ExtractByAddress(Archive& archive, const std::string& destDir, int64_t address, const Context& context,
                        bool keep = false);

/// Takes the events of one stored file: at once, or kept with it.
using Sink = std::function<void(const Event&)>;

/// A chosen stored file: what the walk decided for it and how its copy went.
struct Task {
  uint64_t address = 0;
  uint64_t size = 0;
  std::string outputName;
  bool copies = false;  ///< the checks passed: its bytes are to be copied
  bool started = false;
  bool written = false;
  size_t key = 0;              ///< the hash of its OutputKey
  uint64_t index = 0;          ///< its place in the walk
  uint32_t pathDigest = 0;     ///< for the record of what was written
  bool recorded = false;       ///< written whole by this run (not kept): `facts` hold
  platform::FileFacts facts;   ///< of its output, once written whole
  std::optional<Status> stop;  ///< the failure that stops the whole run
  std::vector<Event> events;   ///< what it tells, while threads work side by side
};

/// The output names this run writes below the destination, as the walk
/// decides them before any worker copies (see extract.cc).
class RunNames {
 public:
  explicit RunNames(Archive& archive) : archive_(archive) {}
  /// The place in the walk, plus one, of the stored file that made `key` a
  /// file name of this run, with its path; 0 when none did.
  uint64_t Find(const std::string& key, std::string* path) const;
  void Add(const std::string& key, uint64_t index);
  /// The path of the stored file `oneBased` in the walk, in the archive's
  /// encoding or as stored.
  std::string PathAt(uint64_t oneBased, bool stored) const;

 private:
  static constexpr int kIndexBits = 27;
  static constexpr uint64_t kIndexMask = (uint64_t{1} << kIndexBits) - 1;
  static uint64_t Tag(const std::string& key);
  size_t Home(uint64_t tag) const { return static_cast<size_t>(tag >> kIndexBits) & (slots_.size() - 1); }
  size_t Next(size_t at) const { return (at + 1) & (slots_.size() - 1); }
  void Put(uint64_t slot);
  void Grow();

  Archive& archive_;
  std::vector<uint64_t> slots_;
  size_t used_ = 0;
};

/// Extract-all: each stored file's checks, folders and line head, made in
/// walk order, then its bytes.
class Extraction {
 public:
  Extraction(Archive& archive, const std::string& destDir, const Context& context);
  ~Extraction();
  Extraction(const Extraction&) = delete;
  Extraction& operator=(const Extraction&) = delete;

  /// Decides `task` for the stored file `entry`, `index` in the walk, and
  /// makes its folders; leaves `task.copies` set when its bytes are next.
  void Prepare(const ArchiveEntry& entry, uint64_t index, Task& task, const Sink& sink);
  /// Copies the bytes of a prepared stored file into its folder, reached
  /// through `folders`: any thread, each with folders of its own; null on
  /// the walk's thread, which has its folder open already.
  void Copy(Task& task, RangeCopier& copier, OutputFolders* folders, const Sink& sink);
  /// Outputs that exist are kept: their FILE_DONE says EXISTS, which is no failure.
  bool keep = false;
  bool recording = false;  ///< outputs' facts are taken for the record
  /// The destination folder, held open once a stored file needed it.
  int Destination() const { return destination_; }
  Encoding NameEncoding() const { return archive_.encoding; }

 private:
  bool OpenDestination(Task& task);

  Archive& archive_;
  const std::string destDir_;
  const Context& context_;
  int destination_ = -1;
  std::optional<OutputFolders> folders_;  ///< the walk's, once the destination is open
  RunNames names_;
  const OutputFolders::MayMake mayMake_;
};

}  // namespace kel

#endif  // KEL_LIB_EXTRACT_H_
