// Put-back: the files of a folder against the stored files they stand for.
#include "update.h"

#include <algorithm>
#include <optional>
#include <unordered_map>

#include "paths.h"
#include "space.h"
#include "write.h"

namespace kel {
namespace {

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

Event Told(EventKind kind, Code code, const std::string& path, const std::string& other = "") {
  Event event;
  event.kind = kind;
  event.code = code;
  event.path = path;
  event.other = other;
  return event;
}

// When no file of the folder names a stored file, but most of them name
// stored files below one stored folder, the folder is a folder of an
// extraction, not its top: one failure says so, naming the top (the folder
// without that stored folder's levels at its end) or else the stored folder.
Status BelowTheTop(Archive& archive, const FolderListing& listing,
                   const std::unordered_map<std::string, size_t>& chosen) {
  const Encoding encoding = archive.encoding;
  std::unordered_map<std::string, size_t> below;
  Status walked = WalkDirectory(archive, [&](const ArchiveEntry& entry) {
    for (size_t at = FindSeparator(entry.path, encoding); at != std::string::npos;
         at = FindSeparator(entry.path, encoding, at + 1)) {
      if (chosen.count(OutputKey(entry.path.substr(at + 1), encoding)) != 0) {
        ++below[entry.path.substr(0, at + 1)];
      }
    }
    return true;
  });
  const auto most = std::max_element(below.begin(), below.end(),
                                     [](const auto& a, const auto& b) { return a.second < b.second; });
  if (!walked || most == below.end() || most->second * 2 <= chosen.size()) return {};
  Status notTop = Fail(KEL_ERR_NOT_TOP, listing.folder);
  // Both with a separator in front, so that a folder given as one level ends too.
  std::string folder = "\\" + WithBackslashes(listing.folder);
  while (folder.size() > 2 && folder.back() == '\\') folder.pop_back();
  const std::string levels = "\\" + most->first.substr(0, most->first.size() - 1);
  const size_t kept = folder.size() - std::min(folder.size(), levels.size());
  if (folder.size() >= levels.size() && EqualIgnoringCase(folder.substr(kept), levels, encoding)) {
    notTop.other = kept == 0 ? "." : listing.folder.substr(0, std::max<size_t>(kept - 1, 1));
  } else {
    notTop.other = most->first;
  }
  return notTop;
}

}  // namespace

Status ListFolder(const std::string& folder, Encoding encoding, FolderListing* listing) {
  listing->folder = folder;
  if (!platform::ListFiles(SystemPath(folder, encoding), &listing->files, &listing->others)) {
    return Fail(KEL_ERR_OPEN, folder);
  }
  for (auto& file : listing->files) file.first = FromSystem(file.first, encoding);
  for (auto& other : listing->others) other.first = FromSystem(other.first, encoding);
  std::sort(listing->files.begin(), listing->files.end());
  std::sort(listing->others.begin(), listing->others.end());
  return {};
}

Status Update(Archive& archive, const FolderListing& listing, Selection& selection, bool dryRun,
              const Context& context, UpdateCounts* counts, const RecordOptions* record) {
  const Encoding encoding = archive.encoding;
  ArchiveIdentity identity;
  std::optional<RecordReader> proofs;
  std::optional<RecordWriter> writer;
  if (record != nullptr && !record->ignore) proofs.emplace(*record, archive, listing.folder, &identity);
  if (record != nullptr) writer.emplace(*record, archive.file.path, listing.folder, encoding);
  const auto& files = listing.files;
  // The files the patterns choose, by the name on disk of the stored path
  // each stands for, as extraction writes it.
  std::unordered_map<std::string, size_t> chosen;
  std::vector<bool> named(files.size(), true);
  for (size_t i = 0; i < files.size(); ++i) {
    if (!selection.Chooses(files[i].first)) continue;
    chosen.emplace(OutputKey(files[i].first, encoding), i);
    named[i] = false;
  }
  ClaimedSpace space;
  std::vector<std::pair<ArchiveEntry, size_t>> found;
  // The place in the walk of each stored file found, and its record's entry.
  std::vector<std::pair<uint32_t, const RecordEntry*>> walked;
  uint32_t walkIndex = 0;
  // Where in `found` each file's stored file is: a file that stands for two
  // stored files (one name on disk for both) is refused, and nothing written.
  std::unordered_map<size_t, size_t> foundAt;
  std::vector<bool> refused(files.size(), false);
  bool ambiguous = false;
  Status surveyed = Survey(archive, "", nullptr, nullptr, &space, [&](const ArchiveEntry& entry) {
    const uint32_t index = walkIndex++;
    // What extraction refuses to write has no file below the folder.
    const auto file =
        IsSafeEntryPath(entry.path, encoding) ? chosen.find(OutputKey(entry.path, encoding)) : chosen.end();
    if (file == chosen.end()) return;
    const auto [first, alone] = foundAt.emplace(file->second, found.size());
    if (!alone) {
      context.Report(
          Told(KEL_EVENT_FILE_DONE, KEL_ERR_ONE_NAME_FOR_TWO, found[first->second].first.path, entry.path));
      refused[file->second] = true;
      ambiguous = true;
      return;
    }
    found.emplace_back(entry, file->second);
    walked.emplace_back(index, proofs ? proofs->Find(index, entry) : nullptr);
    named[file->second] = true;
  });
  if (!surveyed) return surveyed;
  if (found.empty() && !chosen.empty() && !ambiguous) {
    if (Status top = BelowTheTop(archive, listing, chosen); !top) return top;
  }
  std::string prefix = listing.folder;
  AppendBackslash(prefix, encoding);
  Cbuffer block;
  if (Status allocated = AllocateFor(block, kCopyBlockSize); !allocated) return allocated;
  std::vector<Move> moves;
  UpdateCounts& count = *counts;
  // A dry run, or one that writes nothing, records no new addresses.
  const bool writes = !dryRun && !ambiguous;
  for (size_t at = 0; at < found.size(); ++at) {
    const auto& [entry, index] = found[at];
    if (context.Cancelled()) return Fail(KEL_ERR_CANCELLED);
    if (refused[index]) continue;
    const std::string path = prefix + files[index].first;
    const int64_t size = files[index].second;
    // What the record proves unchanged is not even opened.
    RecordEntry noted = {walked[at].first, PathDigest(entry.path), entry.address, entry.size, {}};
    if (walked[at].second != nullptr && platform::FactsAt(SystemPath(path, encoding), &noted.facts) &&
        Proves(*walked[at].second, noted.facts, proofs->Written())) {
      ++count.unchanged;
      if (writer) writer->Add(noted);
      continue;
    }
    Cfile file;
    if (file.Open(path, platform::Access::kRead, encoding) != 0) {
      context.Report(Told(KEL_EVENT_FILE_DONE, KEL_ERR_OPEN, path));
      ++count.skipped;
      continue;
    }
    // The facts before the bytes are read: what the record keeps of a file
    // found equal, or put back, when they still hold after.
    platform::FileFacts before;
    platform::FileFacts after;
    const bool known = platform::FactsOf(file.handle, &before);
    noted.facts = before;
    if (size == static_cast<int64_t>(entry.size) && StoredBytesEqual(archive.file, entry, file, block)) {
      ++count.unchanged;
      if (writer && known && platform::FactsOf(file.handle, &after) && after.id == before.id &&
          after.SameState(before)) {
        writer->Add(noted);
      }
      continue;
    }
    moves.push_back({entry, path, size, NewAddress(space, archive.file, entry, size)});
    // What the change reads of the file is stored only while its size and
    // times stay these; if they do not, the entry never proves anything.
    noted.address = static_cast<uint64_t>(moves.back().position);
    noted.size = static_cast<uint64_t>(size);
    if (writer && known && writes) writer->Add(noted);
    Event update = Told(KEL_EVENT_UPDATE, KEL_OK, entry.path);
    update.address = static_cast<uint64_t>(moves.back().position);
    update.size = static_cast<uint64_t>(size);
    update.oldSize = entry.size;
    context.Report(update);
  }
  // A link is never followed (it may lead out of the folder), nor is any
  // entry read that is not a regular file; a folder that cannot be read may
  // hold anything.
  for (const auto& [path, unreadFolder] : listing.others) {
    if (!unreadFolder && !selection.Chooses(path)) continue;
    context.Report(
        Told(KEL_EVENT_FILE_DONE, unreadFolder ? KEL_ERR_OPEN : KEL_ERR_NOT_REGULAR, prefix + path));
    ++count.skipped;
  }
  for (size_t i = 0; i < files.size(); ++i) {
    if (named[i]) continue;
    context.Report(Told(KEL_EVENT_NOT_FOUND, KEL_ERR_NOT_FOUND, prefix + files[i].first));
    ++count.notFound;
  }
  bool whole = true;
  for (const std::string& pattern : selection.Unmatched()) {
    context.Report(Told(KEL_EVENT_NOT_FOUND, KEL_ERR_NOT_FOUND, pattern));
    whole = false;
  }
  whole = whole && count.notFound == 0 && count.skipped == 0 && !ambiguous;
  count.changed = moves.size();
  count.nothingWritten = dryRun || ambiguous;
  if (!count.nothingWritten && !moves.empty()) {
    if (Status ready = ReadyToChange(context); !ready) return ready;
    if (Status written =
            WriteMoves(archive, moves, static_cast<int64_t>(space.End()), block, context, &identity.digest);
        !written) {
      return written;
    }
    // The journal read the directory as the change left it.
    if (writer && platform::FactsOf(archive.file.handle, &identity.facts)) writer->Finish(identity);
  } else if (writer && proofs && proofs->Written() != 0) {
    writer->Finish(identity);
  } else if (writer) {
    writer->Finish(archive);
  }
  return whole ? Status() : Fail(KEL_ERR_NOT_WHOLE);
}

}  // namespace kel
