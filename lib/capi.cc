// kel.h over the C++ API: handles own an open Archive, its cancel flag and
// the strings handed out; statuses become the calling thread's last error.
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "archive.h"
#include "compact.h"
#include "kel.h"
#include "listing.h"
#include "names.h"
#include "paths.h"
#include "update.h"
#include "workers.h"
#include "write.h"

struct kel_archive {
  kel::Archive archive;
  std::string path;
  bool writable = false;
  std::atomic<int> cancel{0};
  std::optional<kel::DirectoryWalk> walk;
  uint64_t index = 0;
  kel::ArchiveEntry entry;
  std::string shown;
};

namespace {

struct LastError {
  kel_error error = {};
  std::string path, other;
};
thread_local LastError lastError;

int Record(const kel::Status& status) {
  lastError.path = status.path;
  lastError.other = status.other;
  lastError.error = {status.code,   status.systemError, lastError.path.c_str(),   lastError.other.c_str(),
                     status.number, status.otherNumber, status.undoFailed ? 1 : 0};
  return status.code;
}

int Argument() { return Record(kel::Fail(KEL_ERR_ARGUMENT)); }

// A context whose events go to a C callback, and whose cancel flag is the handle's.
struct CallContext {
  CallContext(kel_archive* archive, kel_event_fn fn, void* user) {
    context.cancel = &archive->cancel;
    if (fn == nullptr) return;
    context.onEvent = [fn, user](const kel::Event& event) {
      const kel_event out = {event.kind,          event.code,    event.systemError, event.path.c_str(),
                             event.other.c_str(), event.address, event.size,        event.oldSize,
                             event.done,          event.number};
      return fn(user, &out) == 0;
    };
  }
  kel::Context context;
};

std::vector<std::string> Patterns(const char* const* patterns, size_t count) {
  std::vector<std::string> list;
  for (size_t i = 0; patterns != nullptr && i < count; ++i) list.emplace_back(patterns[i]);
  return list;
}

}  // namespace

extern "C" {

const kel_error* kel_last_error(void) { return &lastError.error; }

const char* kel_code_text(int code) { return kel::CodeText(code); }

const char* kel_version(void) { return KEL_VERSION; }

int kel_open(const char* path, unsigned flags, kel_event_fn on_event, void* user, kel_archive** archive) {
  if (archive == nullptr) return Argument();
  *archive = nullptr;
  if (path == nullptr || (flags & ~7u) != 0) return Argument();
  auto* opened = new kel_archive;
  opened->path = path;
  opened->writable = (flags & KEL_OPEN_WRITE) != 0;
  kel::OpenOptions options;
  options.access = opened->writable ? kel::platform::Access::kReadWrite : kel::platform::Access::kRead;
  options.wait = (flags & KEL_OPEN_NO_WAIT) == 0;
  options.encoding = (flags & KEL_OPEN_UTF8_NAMES) != 0 ? kel::Encoding::kUtf8 : kel::Encoding::kShiftJis;
  CallContext call(opened, on_event, user);
  const kel::Status status = kel::OpenArchive(path, options, call.context, &opened->archive);
  if (!status) {
    delete opened;
    return Record(status);
  }
  *archive = opened;
  return Record(status);
}

void kel_close(kel_archive* archive) { delete archive; }

void kel_cancel(kel_archive* archive) {
  if (archive != nullptr) archive->cancel = 1;
}

int kel_rewind(kel_archive* archive) {
  if (archive == nullptr) return Argument();
  archive->walk.reset();
  archive->index = 0;
  return Record({});
}

int kel_next(kel_archive* archive, kel_entry* entry) {
  if (archive == nullptr || entry == nullptr) return Argument();
  if (!archive->walk) archive->walk.emplace(kel::WalkOf(archive->archive, true));
  const kel::DirectoryWalk::Step step = archive->walk->Next(&archive->entry);
  if (step == kel::DirectoryWalk::kFailed) return Record(kel::Fail(KEL_ERR_READ, archive->path));
  if (step == kel::DirectoryWalk::kEnd) return Record(kel::Fail(KEL_END));
  const std::string& raw = archive->entry.path;
  const kel::Encoding encoding = archive->archive.encoding;
  // Each stored name converted on its own, as the walk converts them.
  archive->shown.clear();
  for (size_t start = 0; start <= raw.size();) {
    const size_t end = std::min(kel::FindCharacter(raw, '\\', kel::Encoding::kShiftJis, start), raw.size());
    if (start > 0) archive->shown += '\\';
    archive->shown += kel::NameFromArchive(raw.substr(start, end - start), encoding);
    start = end + 1;
  }
  *entry = {archive->shown.c_str(), archive->shown.size(), raw.c_str(),     raw.size(),
            archive->entry.address, archive->entry.size,   archive->index++};
  return Record({});
}

int kel_read(kel_archive* archive, uint64_t address, uint64_t size, void* buffer) {
  if (archive == nullptr || (buffer == nullptr && size > 0) || size > static_cast<uint64_t>(INT64_MAX) ||
      address > static_cast<uint64_t>(INT64_MAX)) {
    return Argument();
  }
  auto* bytes = static_cast<uint8_t*>(buffer);
  const int64_t got =
      archive->archive.file.ReadAt(static_cast<int64_t>(address), bytes, static_cast<size_t>(size));
  if (got < 0) return Record(kel::Fail(KEL_ERR_READ, archive->path));
  kel::ApplyDataKey(bytes, static_cast<size_t>(got));
  if (static_cast<uint64_t>(got) < size) {
    return Record(kel::Fail(KEL_ERR_RANGE_PAST_END, "", size - static_cast<uint64_t>(got)));
  }
  return Record({});
}

int kel_extract(kel_archive* archive, const char* destination, const kel_extract_options* options) {
  if (archive == nullptr || destination == nullptr) return Argument();
  const kel_extract_options none = {};
  const kel_extract_options& chosen = options != nullptr ? *options : none;
  if (chosen.threads < 0 || chosen.threads > 64) return Argument();
  std::string destDir = destination;
  kel::AppendBackslash(destDir, archive->archive.encoding);
  kel::Selection selection(Patterns(chosen.patterns, chosen.pattern_count), archive->archive.encoding);
  CallContext call(archive, chosen.on_event, chosen.user);
  kel::RecordOptions record;
  if (chosen.record_folder != nullptr) record.folder = chosen.record_folder;
  return Record(
      kel::ExtractAll(archive->archive, destDir, selection, chosen.threads, call.context, false, &record));
}

int kel_test(kel_archive* archive, kel_event_fn on_event, void* user, uint64_t* unclaimed) {
  if (archive == nullptr) return Argument();
  CallContext call(archive, on_event, user);
  kel::TestSummary summary;
  const kel::Status status = kel::TestArchive(archive->archive, call.context, &summary);
  if (unclaimed != nullptr) *unclaimed = summary.unclaimed;
  return Record(status);
}

int kel_merge(kel_archive* archive, const char* name, const char* file, kel_event_fn on_event, void* user) {
  if (archive == nullptr || name == nullptr || file == nullptr || !archive->writable) return Argument();
  CallContext call(archive, on_event, user);
  return Record(
      kel::Merge(archive->archive, name, kel::ByName(name, archive->archive.encoding), file, call.context));
}

int kel_replace(kel_archive* archive, const char* name, const void* data, uint64_t size,
                kel_event_fn on_event, void* user) {
  if (archive == nullptr || name == nullptr || (data == nullptr && size > 0) || !archive->writable ||
      size > static_cast<uint64_t>(INT64_MAX)) {
    return Argument();
  }
  static const uint8_t kNothing = 0;
  CallContext call(archive, on_event, user);
  return Record(kel::Replace(
      archive->archive, name, kel::ByLastComponents(name, archive->archive.encoding), "", call.context,
      data != nullptr ? static_cast<const uint8_t*>(data) : &kNothing, static_cast<int64_t>(size)));
}

int kel_update(kel_archive* archive, const char* folder, const kel_update_options* options,
               kel_update_counts* counts) {
  const kel_update_options none = {};
  const kel_update_options& chosen = options != nullptr ? *options : none;
  if (archive == nullptr || folder == nullptr || (!chosen.dry_run && !archive->writable)) return Argument();
  const kel::Encoding encoding = archive->archive.encoding;
  kel::FolderListing listing;
  if (kel::Status listed = kel::ListFolder(folder, encoding, &listing); !listed) return Record(listed);
  kel::Selection selection(Patterns(chosen.patterns, chosen.pattern_count), encoding);
  kel::UpdateCounts found;
  CallContext call(archive, nullptr, nullptr);
  // The counts are the caller's before its CHANGE event.
  call.context.onEvent = [&found, counts, &chosen](const kel::Event& event) {
    if (counts != nullptr) *counts = {found.changed, found.unchanged, found.notFound, found.skipped};
    if (chosen.on_event == nullptr) return true;
    const kel_event out = {event.kind,          event.code,    event.systemError, event.path.c_str(),
                           event.other.c_str(), event.address, event.size,        event.oldSize,
                           event.done,          event.number};
    return chosen.on_event(chosen.user, &out) == 0;
  };
  kel::RecordOptions record;
  if (chosen.record_folder != nullptr) record.folder = chosen.record_folder;
  record.ignore = chosen.full != 0;
  const kel::Status status =
      kel::Update(archive->archive, listing, selection, chosen.dry_run != 0, call.context, &found, &record);
  if (counts != nullptr) *counts = {found.changed, found.unchanged, found.notFound, found.skipped};
  return Record(status);
}

int kel_compact(kel_archive* archive, const char* new_file, uint64_t* new_length) {
  if (archive == nullptr || (new_file == nullptr && !archive->writable)) return Argument();
  CallContext call(archive, nullptr, nullptr);
  return Record(kel::Compact(archive->archive, archive->path, new_file != nullptr ? new_file : "",
                             call.context, new_length));
}

}  // extern "C"
