// Merging and replacing. A merge overwrites a stored file's bytes in place
// with a replacement of the same size, once its first plain bytes match the
// stored ones. A replacement (-r) may have any size: its bytes go where
// nothing is claimed, then the record's size and address are switched.
//
// Both hold the archive for writing from the directory walk to the last
// write, check everything before the first byte is written, and change
// claimed bytes (the merged range, the record) only through the journal, so
// that whatever stops them leaves the old archive or the new one. SIGINT,
// SIGTERM and SIGHUP are only noted from before the archive is opened (a
// roll-back of an earlier write that the open makes is finished first):
// before the first write they end the run at once, while the change's bytes
// are written they cancel it, and the switch itself is short and is
// finished first. The replacement is copied
// in chunks, so memory does not grow with it.
#include "merge.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <functional>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "archive.h"
#include "cli.h"
#include "extract.h"
#include "journal.h"
#include "messages.h"
#include "select.h"
#include "support.h"

namespace kel {
namespace {

constexpr int kCheckedBytes = 4;
// How long a file read into the archive must have been left alone.
constexpr auto kQuiet = std::chrono::milliseconds(250);

using Matcher = std::function<bool(const ArchiveEntry&)>;

// A block for copying `count` bytes: no larger than the work.
bool AllocateFor(Cbuffer& block, int64_t count) {
  if (block.FitFor(count)) return true;
  messages::MemoryFailed(kCopyBlockSize);
  return false;
}

// Writes the replacement's `count` bytes, scrambled, into the archive from
// `position` on. 0, or -1 after its message; an interrupt stops it.
int WriteScrambled(Cfile& replacement, Cfile& archive, int64_t position, int64_t count, Cbuffer& block) {
  // A file rewritten while it is read would be stored half old, half new:
  // its size and times before and after tell, as tar tells. A writer that
  // had begun before the first look and pauses shows only by its next
  // write, so a file written less than kQuiet ago is looked at again when
  // kQuiet has passed (where the file system keeps times that fine).
  platform::FileFacts before;
  platform::FileFacts after;
  if (!platform::FactsOf(replacement.handle, &before) || before.size != count) {
    messages::ChangedWhileRead(replacement.path);
    return -1;
  }
  for (int64_t done = 0; done < count;) {
    if (platform::CaughtInterrupt() != 0) {
      messages::Interrupted(archive.path);
      return -1;
    }
    const auto chunk =
        static_cast<size_t>(std::min<int64_t>(count - done, static_cast<int64_t>(block.length)));
    if (replacement.ReadAt(done, block.data, chunk) != static_cast<int64_t>(chunk)) {
      messages::ReadFailed(replacement.path);
      return -1;
    }
    ApplyDataKey(block.data, chunk);
    if (!archive.WriteAt(position + done, block.data, chunk)) {
      messages::WriteFailed(archive.path);
      return -1;
    }
    done += static_cast<int64_t>(chunk);
  }
  const auto sinceWritten = [&after] {
    return std::chrono::system_clock::now().time_since_epoch() - std::chrono::nanoseconds(after.modified);
  };
  bool same = platform::FactsOf(replacement.handle, &after) && after.SameState(before);
  if (same && sinceWritten() < kQuiet) {
    std::this_thread::sleep_for(std::min<std::chrono::nanoseconds>(kQuiet - sinceWritten(), kQuiet));
    same = platform::FactsOf(replacement.handle, &after) && after.SameState(before);
  }
  if (!same) {
    messages::ChangedWhileRead(replacement.path);
    return -1;
  }
  return 0;
}

// Pushes out what was printed before a change begins, and ends the run on a
// stop noted so far: a run that could not tell its outcome changes nothing.
bool ReadyToChange() {
  if (!messages::Flush()) return false;
  platform::EndIfInterrupted();
  return true;
}

// One walk of the directory: the one stored file that `matches` (when
// there is a matcher), the space that everything claims (when `space` is
// given), and the refusal of a cut archive and of one whose data lie in its
// header or directory. 0, or -1 after its message.
int Survey(Directory& directory, const std::string& printedName, const Matcher& matches, ArchiveEntry* found,
           ClaimedSpace* space, const std::function<void(const ArchiveEntry&)>& also = nullptr) {
  int matched = 0;
  uint64_t dataEnd = 0;
  std::optional<std::string> inTheWay;
  const uint64_t blockStart = directory.location.blockPosition;
  const uint64_t blockEnd = blockStart + directory.location.blockLength;
  // Claimed in the order the bytes lie in, as a rule: front to back.
  const auto claim = [space](uint64_t position, uint64_t count) {
    if (space != nullptr) space->Claim(position, count);
  };
  // Nothing new goes below the directory block's end: the scan that finds
  // the block looks there, and new bytes that read as a block head would be
  // found first.
  claim(0, blockEnd);
  const int walked = WalkDirectory(directory, [&](const ArchiveEntry& entry) {
    dataEnd = std::max(dataEnd, DataEnd(entry));
    // A stored file whose data are the header or the directory would change
    // with the records that a write switches.
    const bool inHeader = entry.size > 0 && entry.address < kFrontHeaderSize;
    if ((inHeader || (entry.size > 0 && entry.address < blockEnd && DataEnd(entry) > blockStart)) &&
        !inTheWay) {
      inTheWay = entry.path;
    }
    claim(entry.address, entry.size);
    if (matches && matches(entry) && ++matched == 1) *found = entry;
    if (also) also(entry);
    return true;
  });
  if (walked != 0 || ReportCut(directory, dataEnd) != 0) return -1;
  if (inTheWay) {
    messages::DataInTheWay(*inTheWay);
    return -1;
  }
  if (!matches || matched == 1) return 0;
  matched == 0 ? messages::NotInArchive(printedName) : messages::SeveralInArchive(printedName);
  return -1;
}

// The stored file named by the replacement's own name: what follows its
// last separator, compared with stored names ignoring the case of A-Z.
Matcher ByFileName(const std::string& file, std::string* searchName) {
  const size_t last = FindLastSeparator(file);
  *searchName = last == std::string::npos ? file : file.substr(last + 1);
  return [name = *searchName](const ArchiveEntry& entry) {
    return platform::EqualIgnoringCase(LastPathComponent(entry.path), name);
  };
}

std::string WithBackslashes(std::string name) {
  std::replace(name.begin(), name.end(), '/', '\\');
  return name;
}

// A bare name compares as ByFileName does; a name with a folder part (either
// separator) must stand in the stored path, case-sensitive.
Matcher ByName(const std::string& mergeName) {
  const std::string name = WithBackslashes(mergeName);
  const bool hasFolderPart = platform::FindCharacter(name, '\\') != std::string::npos;
  return [name, hasFolderPart](const ArchiveEntry& entry) {
    return hasFolderPart ? entry.path.find(name) != std::string::npos
                         : platform::EqualIgnoringCase(LastPathComponent(entry.path), name);
  };
}

// Whole path components at the end of the stored path, ignoring the case of
// A-Z: with no first-bytes check to catch a slip, a fragment names nothing.
Matcher ByLastComponents(const std::string& storedName) {
  return [name = WithBackslashes(storedName)](const ArchiveEntry& entry) {
    if (entry.path.size() < name.size()) return false;
    const size_t start = entry.path.size() - name.size();
    // A quick look at the bytes, letters folded, before the exact test.
    const auto folded = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (!std::equal(name.begin(), name.end(), entry.path.begin() + static_cast<std::ptrdiff_t>(start),
                    [&folded](char a, char b) { return folded(a) == folded(b); })) {
      return false;
    }
    const bool boundary =
        start == 0 || platform::FindLastCharacter(entry.path.substr(0, start), '\\') == start - 1;
    return boundary && platform::EqualIgnoringCase(entry.path.substr(start), name);
  };
}

// Opens the replacement: a pipe or a device has no size to write.
int OpenReplacement(const std::string& file, Cfile& replacement) {
  if (replacement.Open(file, platform::Access::kRead) != 0 || !platform::IsRegularFile(replacement.handle)) {
    messages::OpenFailed(file);
    return -1;
  }
  return 0;
}

// The change of a merge: the range from `address` saved in the journal,
// then overwritten. In a kel archive (`location`) the range lies in the
// stored files' data; any other file grows where it runs past its end.
int WriteMerge(Cfile& archive, Cfile& replacement, int64_t address, const DirectoryLocation* location,
               Cbuffer& block) {
  const int64_t count = replacement.fileSize;
  const int64_t oldLength = archive.fileSize;
  if (count == 0) return 0;
  Journal journal(archive, location, std::max(oldLength, address + count));
  if (journal.Save({address, std::min(count, oldLength - address)}, block) != 0) return -1;
  if (WriteScrambled(replacement, archive, address, count, block) != 0) {
    journal.RollBack();
    return -1;
  }
  return journal.Commit();
}

int MergeOpen(Directory& directory, const ClaimedSpace& space, const std::string& mergeFile, int64_t address,
              int64_t expectedSize) {
  Cfile& archive = directory.archive;
  Cfile replacement;
  if (OpenReplacement(mergeFile, replacement) != 0) return -1;
  if (expectedSize >= 0 && replacement.fileSize != expectedSize) {
    messages::SizeDiffers(expectedSize, replacement.fileSize);
    return -1;
  }
  messages::MergeHead(address, mergeFile);
  const int64_t count = replacement.fileSize;
  // A replacement shorter than the check compares the bytes it has. Fewer
  // archive bytes than that at the address is no match but a range past
  // the archive's end, and so is any address behind it.
  const auto checked = static_cast<size_t>(std::min<int64_t>(count, kCheckedBytes));
  if (address > archive.fileSize || static_cast<int64_t>(checked) > archive.fileSize - address) {
    messages::AddressPastEnd(address);
    return -1;
  }
  // In a kel archive a merge writes stored files' data only: never the
  // header, the directory, or the archive's own bytes past its claims.
  const bool kelArchive = space.End() > 0;
  if (kelArchive && count > 0 &&
      !InDataArea(directory.location, space.End(), static_cast<uint64_t>(address),
                  static_cast<uint64_t>(count))) {
    messages::MergeOutsideData(address);
    return -1;
  }
  uint8_t head[kCheckedBytes] = {};
  uint8_t sample[kCheckedBytes] = {};
  if (replacement.ReadAt(0, head, checked) != static_cast<int64_t>(checked)) {
    messages::ReadFailed(mergeFile);
    return -1;
  }
  if (archive.ReadAt(address, sample, checked) != static_cast<int64_t>(checked)) {
    messages::ReadFailed(archive.path);
    return -1;
  }
  if (!std::equal(head, head + checked, sample,
                  [](uint8_t plain, uint8_t stored) { return plain == (stored ^ DataKey); })) {
    messages::FirstBytesDiffer(kCheckedBytes);
    return -1;
  }
  Cbuffer block;
  if (!AllocateFor(block, count) || !ReadyToChange()) return -1;
  return WriteMerge(archive, replacement, address, kelArchive ? &directory.location : nullptr, block);
}

int Resolve(const std::string& archivePath, const std::string& printedName, const Matcher& matches,
            const std::string& mergeFile) {
  // Held for writing from the walk to the last write: nobody moves the
  // stored file in between.
  Directory directory;
  ClaimedSpace space;
  ArchiveEntry found;
  platform::CatchInterrupts();
  if (LoadDirectory(archivePath, &directory, platform::Access::kReadWrite) != 0 ||
      Survey(directory, printedName, matches, &found, &space) != 0) {
    return -1;
  }
  int64_t fileSize = 0;
  if (!platform::FindFile(mergeFile, &fileSize)) {
    messages::FileNotFound(mergeFile);
    return -1;
  }
  if (static_cast<uint64_t>(fileSize) != found.size) {
    messages::SizeDiffers(static_cast<int64_t>(found.size), fileSize);
    return -1;
  }
  return MergeOpen(directory, space, mergeFile, static_cast<int64_t>(found.address), fileSize);
}

// New bytes for one stored file: `count` bytes of `file`, to `position`.
struct Move {
  ArchiveEntry target;
  std::string file;
  int64_t count;
  int64_t position;
};

// Where a stored file's new bytes go: an empty one keeps its address, which
// lies inside the archive (never made shorter), so that a game seeking
// there reads nothing; others go where Place puts them, behind the
// archive's own bytes past its claims (padding, a footer), which are
// claimed first.
int64_t NewAddress(ClaimedSpace& space, const Cfile& archive, const ArchiveEntry& entry, int64_t count) {
  const auto length = static_cast<uint64_t>(archive.fileSize);
  if (length > space.End()) space.Claim(space.End(), length - space.End());
  return static_cast<int64_t>(count == 0 ? entry.address : space.Place(static_cast<uint64_t>(count)));
}

// The change of -r and -u: every record switched, through the journal, to
// its file's bytes, written where nothing claims them once the journal is
// synced; the archive is then `length` long, where it ended or where the
// last of them end.
int WriteMoves(Directory& directory, const std::vector<Move>& moves, int64_t length, Cbuffer& block) {
  Cfile& archive = directory.archive;
  std::vector<RecordSwitch> switches(moves.size());
  std::transform(moves.begin(), moves.end(), switches.begin(), [&directory](const Move& move) {
    return RecordSwitch{static_cast<int64_t>(directory.location.blockPosition + move.target.sizeFieldOffset),
                        static_cast<uint64_t>(move.count), static_cast<uint64_t>(move.position)};
  });
  Journal journal(archive, &directory.location, length);
  if (journal.Save(switches, block) != 0) return -1;
  for (const Move& move : moves) {
    Cfile replacement;
    if (OpenReplacement(move.file, replacement) != 0 ||
        WriteScrambled(replacement, archive, move.position, move.count, block) != 0) {
      journal.RollBack();
      return -1;
    }
  }
  return journal.Commit();
}

int Replace(const std::string& archivePath, const std::string& printedName, const Matcher& matches,
            const std::string& file) {
  Directory directory;
  ClaimedSpace space;
  ArchiveEntry target;
  Cfile replacement;
  platform::CatchInterrupts();
  if (LoadDirectory(archivePath, &directory, platform::Access::kReadWrite) != 0 ||
      Survey(directory, printedName, matches, &target, &space) != 0 ||
      OpenReplacement(file, replacement) != 0) {
    return -1;
  }
  const int64_t count = replacement.fileSize;
  const Move move = {target, file, count, NewAddress(space, directory.archive, target, count)};
  messages::ReplaceHead(move.position, file, static_cast<int64_t>(target.size), count, target.path);
  Cbuffer block;
  if (!AllocateFor(block, count) || !ReadyToChange()) return -1;
  return WriteMoves(directory, {move}, static_cast<int64_t>(space.End()), block);
}

// Whether the stored bytes of `entry` are those of `file`.
bool StoredBytesEqual(Cfile& archive, const ArchiveEntry& entry, Cfile& file, Cbuffer& block) {
  if (file.fileSize != static_cast<int64_t>(entry.size)) return false;
  const size_t half = block.length / 2;
  for (uint64_t done = 0; done < entry.size;) {
    const auto chunk = static_cast<size_t>(std::min<uint64_t>(entry.size - done, half));
    if (file.ReadAt(static_cast<int64_t>(done), block.data, chunk) != static_cast<int64_t>(chunk) ||
        archive.ReadAt(static_cast<int64_t>(entry.address + done), block.data + half, chunk) !=
            static_cast<int64_t>(chunk)) {
      return false;
    }
    ApplyDataKey(block.data + half, chunk);
    if (!std::equal(block.data, block.data + chunk, block.data + half)) return false;
    done += chunk;
  }
  return true;
}

// The clusters of a compaction: stored data that overlap are one run,
// copied once, so that stored files sharing bytes still share them.
struct Cluster {
  uint64_t start, end;
  uint64_t placed = UINT64_MAX;
};

// Copies `count` bytes of `from` at `position` into `to` at `at`.
bool CopyBytes(Cfile& from, int64_t position, Cfile& to, int64_t at, int64_t count, Cbuffer& block) {
  for (int64_t done = 0; done < count;) {
    if (platform::CaughtInterrupt() != 0) return false;
    const auto chunk =
        static_cast<size_t>(std::min<int64_t>(count - done, static_cast<int64_t>(block.length)));
    if (from.ReadAt(position + done, block.data, chunk) != static_cast<int64_t>(chunk) ||
        !to.WriteAt(at + done, block.data, chunk)) {
      return false;
    }
    done += static_cast<int64_t>(chunk);
  }
  return true;
}

// Writes the compact copy of the archive into `output`: the header, what
// lies before a directory block in front of the data, the block with the
// moved stored files' addresses, and every cluster once, in directory
// order. Its length, or -1 after its message.
int64_t WriteCompact(Directory& directory, Cfile& output, Cbuffer& block, uint64_t* newBlockAt) {
  Cfile& archive = directory.archive;
  const uint64_t blockStart = directory.location.blockPosition;
  const uint64_t blockLength = directory.location.blockLength;
  const uint64_t blockEnd = blockStart + blockLength;
  struct Stored {
    uint64_t address, size, record;
    size_t cluster;
  };
  std::vector<Stored> stored;
  bool before = false;
  if (Survey(directory, "", nullptr, nullptr, nullptr, [&](const ArchiveEntry& entry) {
        stored.push_back({entry.address, entry.size, entry.sizeFieldOffset, 0});
        before = before || (entry.size > 0 && entry.address < blockStart);
      }) != 0) {
    return -1;
  }
  // Stored data that overlap make one cluster.
  std::vector<size_t> order(stored.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&stored](size_t a, size_t b) { return stored[a].address < stored[b].address; });
  std::vector<Cluster> clusters;
  for (size_t i : order) {
    if (stored[i].size == 0) continue;
    if (clusters.empty() || stored[i].address >= clusters.back().end) {
      clusters.push_back({stored[i].address, stored[i].address + stored[i].size});
    }
    clusters.back().end = std::max(clusters.back().end, stored[i].address + stored[i].size);
    stored[i].cluster = clusters.size() - 1;
  }
  // A block with data before it goes behind all of them (also behind what
  // replacements put behind it); one with none stays where it is.
  const bool directoryFirst = !before;
  uint64_t cursor = directoryFirst ? blockEnd : kFrontHeaderSize;
  // The new addresses, in directory order; an empty stored file takes the
  // place where the next data go.
  std::vector<uint64_t> addresses(stored.size());
  for (size_t i = 0; i < stored.size(); ++i) {
    if (stored[i].size == 0) {
      addresses[i] = cursor;
      continue;
    }
    Cluster& cluster = clusters[stored[i].cluster];
    if (cluster.placed == UINT64_MAX) {
      cluster.placed = cursor;
      cursor += cluster.end - cluster.start;
    }
    addresses[i] = cluster.placed + (stored[i].address - cluster.start);
  }
  // Behind the data the block goes where the scan for it looks: 34 + 4k.
  const uint64_t blockAt =
      directoryFirst ? blockStart : kFrontHeaderSize + (cursor - kFrontHeaderSize + 3) / 4 * 4;
  const uint64_t length = directoryFirst ? cursor : blockAt + blockLength;
  *newBlockAt = blockAt;
  uint8_t header[kFrontHeaderSize];
  bool written = archive.ReadAt(0, header, sizeof header) == static_cast<int64_t>(sizeof header);
  // Behind the data the block moves, and the header's directoryEnd (the
  // only header bytes that change) follows it.
  for (int i = 0; i < 4 && !directoryFirst; ++i) {
    header[26 + i] = static_cast<uint8_t>(((blockAt + blockLength) >> (8 * i)) ^ ScrambleKey[(26 + i) % 24]);
  }
  written = written && platform::ReserveSpace(output.handle, 0, static_cast<int64_t>(length)) &&
            output.WriteAt(0, header, sizeof header) &&
            (!directoryFirst || CopyBytes(archive, kFrontHeaderSize, output, kFrontHeaderSize,
                                          static_cast<int64_t>(blockStart - kFrontHeaderSize), block)) &&
            CopyBytes(archive, static_cast<int64_t>(blockStart), output, static_cast<int64_t>(blockAt),
                      static_cast<int64_t>(blockLength), block);
  for (const Cluster& cluster : clusters) {
    written = written && CopyBytes(archive, static_cast<int64_t>(cluster.start), output,
                                   static_cast<int64_t>(cluster.placed),
                                   static_cast<int64_t>(cluster.end - cluster.start), block);
  }
  for (size_t i = 0; i < stored.size() && written; ++i) {
    if (addresses[i] == stored[i].address) continue;
    uint8_t field[8];
    PutLittleEndian64(field, addresses[i]);
    written = output.WriteAt(static_cast<int64_t>(blockAt + stored[i].record + 8), field, sizeof field);
  }
  if (platform::CaughtInterrupt() != 0) {
    messages::Interrupted(output.path);
    return -1;
  }
  if (!written || !platform::SyncFile(output.handle)) {
    messages::WriteFailed(output.path);
    return -1;
  }
  return static_cast<int64_t>(length);
}

}  // namespace

int MergeAt(const std::string& mergeFile, const std::string& archivePath, int64_t address) {
  if (address < 0) {
    messages::BadAddress(address);
    return -1;
  }
  // Any file may be patched at an address; a kel archive is first checked
  // whole, with the lock held to the last write.
  Directory directory;
  ClaimedSpace space;
  platform::CatchInterrupts();
  if (OpenArchive(archivePath, platform::Access::kReadWrite, directory.archive) != 0 ||
      (IsKelFile(directory.archive) &&
       (FindDirectory(&directory) != 0 || Survey(directory, "", nullptr, nullptr, &space) != 0))) {
    return -1;
  }
  return MergeOpen(directory, space, mergeFile, address, -1);
}

int MergeByFile(const std::string& archivePath, const std::string& mergeFile) {
  std::string searchName;
  const Matcher matches = ByFileName(mergeFile, &searchName);
  return Resolve(archivePath, searchName, matches, mergeFile);
}

int MergeByName(const std::string& archivePath, const std::string& mergeName, const std::string& mergeFile) {
  return Resolve(archivePath, mergeName, ByName(mergeName), mergeFile);
}

int ReplaceByFile(const std::string& archivePath, const std::string& file) {
  std::string searchName;
  const Matcher matches = ByFileName(file, &searchName);
  return Replace(archivePath, searchName, matches, file);
}

int ReplaceByName(const std::string& archivePath, const std::string& storedName, const std::string& file) {
  return Replace(archivePath, storedName, ByLastComponents(storedName), file);
}

int UpdateFromFolder(const std::string& archivePath, const std::string& folder, Selection& selection,
                     bool dryRun) {
  if (!dryRun) platform::CatchInterrupts();
  std::vector<std::pair<std::string, int64_t>> files;
  std::vector<std::pair<std::string, bool>> others;
  if (!platform::ListFiles(folder, &files, &others)) {
    messages::OpenFailed(folder);
    return -1;
  }
  std::sort(files.begin(), files.end());
  std::sort(others.begin(), others.end());
  // The files the patterns choose, by the name on disk of the stored path
  // each stands for, as extraction writes it.
  std::unordered_map<std::string, size_t> chosen;
  std::vector<bool> named(files.size(), true);
  for (size_t i = 0; i < files.size(); ++i) {
    if (!selection.Chooses(files[i].first)) continue;
    chosen.emplace(OutputKey(files[i].first), i);
    named[i] = false;
  }
  Directory directory;
  ClaimedSpace space;
  std::vector<std::pair<ArchiveEntry, size_t>> found;
  // Where in `found` each file's stored file is: a file that stands for two
  // stored files (one name on disk for both) is refused, and nothing written.
  std::unordered_map<size_t, size_t> foundAt;
  std::vector<bool> refused(files.size(), false);
  bool ambiguous = false;
  if (LoadDirectory(archivePath, &directory,
                    dryRun ? platform::Access::kRead : platform::Access::kReadWrite) != 0 ||
      Survey(directory, "", nullptr, nullptr, &space, [&](const ArchiveEntry& entry) {
        // What extraction refuses to write has no file below the folder.
        const auto file = IsSafeEntryPath(entry.path) ? chosen.find(OutputKey(entry.path)) : chosen.end();
        if (file == chosen.end()) return;
        const auto [first, alone] = foundAt.emplace(file->second, found.size());
        if (!alone) {
          messages::OneNameForTwo(found[first->second].first.path, entry.path);
          refused[file->second] = true;
          ambiguous = true;
          return;
        }
        found.emplace_back(entry, file->second);
        named[file->second] = true;
      }) != 0) {
    return -1;
  }
  std::string prefix = folder;
  AppendBackslash(prefix);
  Cbuffer block;
  if (!AllocateFor(block, kCopyBlockSize)) return -1;
  std::vector<Move> moves;
  uint64_t unchanged = 0;
  uint64_t skipped = 0;
  for (const auto& [entry, index] : found) {
    platform::EndIfInterrupted();
    if (refused[index]) continue;
    const std::string path = prefix + files[index].first;
    const int64_t size = files[index].second;
    Cfile file;
    if (file.Open(path, platform::Access::kRead) != 0) {
      messages::OpenFailed(path);
      ++skipped;
      continue;
    }
    if (size == static_cast<int64_t>(entry.size) && StoredBytesEqual(directory.archive, entry, file, block)) {
      ++unchanged;
      continue;
    }
    moves.push_back({entry, path, size, NewAddress(space, directory.archive, entry, size)});
    messages::UpdateHead(moves.back().position, entry.path, static_cast<int64_t>(entry.size), size);
  }
  // A link is never followed (it may lead out of the folder), nor is any
  // entry read that is not a regular file; a folder that cannot be read may
  // hold anything.
  for (const auto& [path, unreadFolder] : others) {
    if (!unreadFolder && !selection.Chooses(path)) continue;
    unreadFolder ? messages::OpenFailed(prefix + path) : messages::NotPutBack(prefix + path);
    ++skipped;
  }
  uint64_t unknown = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    if (named[i]) continue;
    messages::NotInArchive(prefix + files[i].first);
    ++unknown;
  }
  int result = selection.ReportUnmatched() != 0 || unknown > 0 || skipped > 0 || ambiguous ? -1 : 0;
  messages::UpdateTotal(moves.size(), unchanged, unknown, skipped, dryRun || ambiguous);
  if (!dryRun && !ambiguous && !moves.empty() &&
      (!ReadyToChange() || WriteMoves(directory, moves, static_cast<int64_t>(space.End()), block) != 0)) {
    result = -1;
  }
  return result;
}

int CompactArchive(const std::string& archivePath, const std::string& newFile) {
  // The archive is held to the end, also while its copy takes its place.
  const bool inPlace = newFile.empty();
  Directory directory;
  platform::CatchInterrupts();
  if (LoadDirectory(archivePath, &directory,
                    inPlace ? platform::Access::kReadWrite : platform::Access::kRead) != 0) {
    return -1;
  }
  Cfile& archive = directory.archive;
  // In place the copy takes the name that the archive has behind any link.
  const std::string target = inPlace ? platform::RealPath(archivePath) : newFile;
  platform::FileFacts facts;
  if (target.empty() || !platform::FactsOf(archive.handle, &facts)) {
    messages::OpenFailed(archivePath);
    return -1;
  }
  // Its other names would keep the old bytes.
  if (inPlace && facts.links > 1) {
    messages::SeveralNames(archivePath);
    return -1;
  }
  if (!inPlace && platform::NameTaken(newFile)) {
    messages::FileExists(newFile);
    return -1;
  }
  // A copy that a killed run left bears the archive's file number; the
  // platform tells it from a file of the user's before it goes.
  char number[24];
  snprintf(number, sizeof number, "%" PRIx64, facts.id);
  const std::string spare = target + ".kel-compact-" + number;
  // What has that name and is not kel's (a link, say) stays, and is in the way.
  if (!platform::RemoveLeftover(spare) && platform::NameTaken(spare)) {
    messages::FileExists(spare);
    return -1;
  }
  Cfile output;
  if (platform::CreateUnnamed(target, spare, &output.handle) != 0) {
    output.handle = -1;
    messages::OpenFailed(inPlace ? archivePath : newFile);
    return -1;
  }
  output.path = inPlace ? archivePath : newFile;
  Cbuffer block;
  uint64_t blockAt = 0;
  int64_t length = -1;
  if (!platform::TakeAttributes(output.handle, inPlace ? archive.handle : -1)) {
    messages::AttributesNotKept(archivePath);
  } else if (AllocateFor(block, kCopyBlockSize)) {
    length = WriteCompact(directory, output, block, &blockAt);
  }
  // Moved behind the data, the block must be the first the scan finds: data
  // that read as a directory head with the right length would come first.
  DirectoryLocation first;
  if (length >= 0 && blockAt != directory.location.blockPosition &&
      (FindDirectoryBlock(output, static_cast<uint32_t>(blockAt + directory.location.blockLength), &first) !=
           0 ||
       first.blockPosition != blockAt)) {
    messages::DirectoryLookalike(archivePath);
    length = -1;
  }
  if (length >= 0 && platform::CaughtInterrupt() != 0) {
    messages::Interrupted(output.path);
    length = -1;
  }
  // The line goes out before the copy takes its place, which is then finished.
  if (length >= 0) messages::CompactTotal(archive.fileSize, length);
  int placed = length >= 0 && messages::Flush() ? 0 : -1;
  if (placed != 0) {
    platform::DiscardFile(output.handle, spare);
  } else {
    placed = platform::PlaceFile(output.handle, spare, target, inPlace ? archive.handle : -1);
    if (inPlace) archive.handle = -1;
    if (placed != 0 && !inPlace && placed != -1 && platform::NameTaken(newFile)) {
      messages::FileExists(newFile);
    } else if (placed != 0) {
      messages::WriteFailed(output.path);
    }
  }
  output.handle = -1;
  return placed == 0 ? 0 : -1;
}

}  // namespace kel
