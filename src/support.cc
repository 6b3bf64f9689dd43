// Owned files and blocks, output folders, grouped numbers.
#include "support.h"

#include <algorithm>
#include <new>
#include <vector>

namespace kel {

Cfile::~Cfile() { Close(); }

bool Cfile::Close() {
  bool closed = handle == -1 || platform::CloseFile(handle);
  handle = -1;
  fileSize = 0;
  path.clear();
  patches_.clear();
  readEnd_ = -1;
  return closed;
}

int Cfile::Open(const std::string& filePath, platform::Access access) {
  Close();
  int error = platform::OpenFile(filePath, access, &handle);
  if (error != 0) return error;
  // An output starts empty: there is nothing to measure.
  const bool output = access == platform::Access::kWriteNew || access == platform::Access::kWriteEntry;
  fileSize = output ? 0 : platform::FileLength(handle);
  path = filePath;
  return 0;
}

int Cfile::OpenIn(int folder, const std::string& name, const std::string& shownPath) {
  Close();
  const int error = platform::OpenFileIn(folder, name, &handle);
  if (error == 0) path = shownPath;
  return error;
}

int64_t Cfile::ReadAt(int64_t position, void* destination, size_t count) {
  if (readEnd_ >= 0) {
    count = static_cast<size_t>(std::clamp<int64_t>(readEnd_ - position, 0, static_cast<int64_t>(count)));
  }
  const int64_t got = platform::ReadAt(handle, position, destination, count);
  // The patches that end behind `position` and begin before what was read ends.
  auto patch = std::upper_bound(patches_.begin(), patches_.end(), position,
                                [](int64_t at, const Patch& p) { return at < p.position + p.count; });
  for (; got > 0 && patch != patches_.end() && patch->position < position + got; ++patch) {
    const int64_t from = std::max(position, patch->position);
    const int64_t overlap = std::min(position + got, patch->position + patch->count) - from;
    if (platform::ReadAt(handle, patch->from + (from - patch->position),
                         static_cast<uint8_t*>(destination) + (from - position),
                         static_cast<size_t>(overlap)) != overlap) {
      return -1;
    }
  }
  return got;
}

void Cfile::ReadAs(std::vector<Patch> patches, int64_t length) {
  patches_ = std::move(patches);
  readEnd_ = length;
  if (length >= 0) fileSize = length;
}

bool Cfile::WriteAt(int64_t position, const void* source, size_t count) {
  return platform::WriteAt(handle, position, source, count);
}

bool Cfile::Write(const void* source, size_t count) { return platform::WriteNext(handle, source, count); }

// Blocks start on a page: the kernel copies into a misaligned one at half speed.
constexpr std::align_val_t kBlockAlignment{4096};

Cbuffer::~Cbuffer() { operator delete[](data, kBlockAlignment); }

uint8_t* Cbuffer::Allocate(size_t count) {
  operator delete[](data, kBlockAlignment);
  length = 0;
  data = new (kBlockAlignment, std::nothrow) uint8_t[count]();
  if (data != nullptr) length = count;
  return data;
}

bool Cbuffer::FitFor(int64_t count) {
  const auto size = static_cast<size_t>(std::clamp<int64_t>(count, 64, kCopyBlockSize));
  return length >= size || Allocate(size) != nullptr;
}

uint64_t LittleEndian(const uint8_t* bytes, int width) {
  uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

void PutLittleEndian64(uint8_t* at, uint64_t value) {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

size_t FindSeparator(const std::string& path, size_t from) {
  // A forward slash is never the second byte of a double-byte character; a
  // 0x5C byte may be, which only a character-aware search from `from` tells.
  // That search stops at the byte in question: on to the end, it made a walk
  // over the folders of a long path cost the square of its length.
  for (size_t at = path.find_first_of("\\/", from); at != std::string::npos;
       at = path.find_first_of("\\/", from)) {
    if (path[at] == '/' || platform::FindCharacter(path.substr(from, at + 1 - from), '\\') == at - from) {
      return at;
    }
    from = at + 1;  // the 0x5C ended a character, so the next one starts here
  }
  return std::string::npos;
}

size_t FindLastSeparator(const std::string& path) {
  size_t backslash = platform::FindLastCharacter(path, '\\');
  size_t slash = path.rfind('/');
  if (backslash == std::string::npos) return slash;
  return slash == std::string::npos ? backslash : std::max(backslash, slash);
}

OutputFolders::OutputFolders(int destination) : destination_(destination) {}

OutputFolders::~OutputFolders() {
  for (int held : {folder_, parent_}) {
    if (held >= 0 && held != destination_) platform::CloseFolder(held);
  }
}

OutputFolders::Result OutputFolders::Reach(const std::string& path, const MayMake* mayMake, size_t* cut) {
  const size_t last = FindLastSeparator(path);
  const std::string folder = path.substr(0, last == std::string::npos ? 0 : last);
  *cut = path.size();
  if (known_ && folder == ready_) return kReady;
  // Outputs opened by their path below the destination need no folder held.
  if (mayMake == nullptr && beneath_) return kReady;
  // Whether `text` (empty: the destination) is `folder` or holds it.
  const auto within = [&folder](const std::string& text) {
    return text.empty() ||
           (folder.compare(0, text.size(), text) == 0 &&
            (folder.size() == text.size() || FindSeparator(folder, text.size()) == text.size()));
  };
  // From the deepest folder held that holds this one: the last one, the one
  // that holds it, one that holds both reached in one step, or the
  // destination.
  std::vector<int> opened;  // here; closed unless kept
  int at = destination_;
  std::string atText;
  if (known_ && folder_ >= 0 && within(ready_)) {
    at = folder_;
    atText = ready_;
  } else if (known_ && parent_ >= 0 && within(parentText_)) {
    at = parent_;
    atText = parentText_;
  } else if (known_ && beneath_) {
    size_t common = 0;
    for (size_t end = FindSeparator(folder); end != std::string::npos; end = FindSeparator(folder, end + 1)) {
      if (ready_.compare(0, end, folder, 0, end) != 0) break;
      if (ready_.size() == end || FindSeparator(ready_, end) == end) common = end;
    }
    int below = -1;
    if (common > 0 && platform::OpenFolderBeneath(destination_, folder.substr(0, common), &below)) {
      opened.push_back(below);
      at = below;
      atText = folder.substr(0, common);
    }
  }
  int holder = at == folder_ ? parent_ : -1;
  std::string holderText = at == folder_ ? parentText_ : "";
  for (size_t start = atText.empty() ? 0 : atText.size() + 1; start <= folder.size();) {
    const size_t end = std::min(FindSeparator(folder, start), folder.size());
    const std::string name = folder.substr(start, end - start);
    start = end + 1;
    if (name.empty() || name == ".") continue;
    const bool create = mayMake != nullptr && (*mayMake)(folder.substr(0, end));
    // The last folder is opened only when outputs are opened in it.
    int below = -1;
    const platform::FolderResult made =
        platform::OpenFolderIn(at, name, create, end == folder.size() && beneath_ ? nullptr : &below);
    const int error = platform::LastError();
    if (below >= 0) opened.push_back(below);
    if (made != platform::FolderResult::kMade && made != platform::FolderResult::kExists) {
      for (int handle : opened) platform::CloseFolder(handle);
      if (made == platform::FolderResult::kLink) return kLink;
      // A folder that may not be made stands where a file of this run is.
      const bool missing = made == platform::FolderResult::kMissingParent;
      failure_ = missing && mayMake != nullptr && !create ? platform::Failure::kOther
                 : missing                                ? platform::Failure::kMissingFolder
                                                          : platform::FailureOf(error);
      if (failure_ != platform::Failure::kOther) *cut = end;
      return kFailed;
    }
    holder = at;
    holderText = atText;
    at = below;
    atText = folder.substr(0, end);
  }
  for (int held : {folder_, parent_}) {
    if (held >= 0 && held != destination_ && held != at && held != holder) platform::CloseFolder(held);
  }
  for (int handle : opened) {
    if (handle != at && handle != holder) platform::CloseFolder(handle);
  }
  known_ = true;
  ready_ = folder;
  folder_ = at;
  parent_ = holder;
  parentText_ = holderText;
  return kReady;
}

int OutputFolders::OutputIn(const std::string& path, std::string* relative) const {
  if (beneath_) {
    *relative = path;
    return destination_;
  }
  const size_t last = FindLastSeparator(path);
  *relative = path.substr(last == std::string::npos ? 0 : last + 1);
  return folder_;
}

bool FailsEveryOutput(platform::Failure failure) {
  return failure == platform::Failure::kNoSpace || failure == platform::Failure::kReadOnly;
}

std::string FormatGrouped(int32_t value) { return FormatGrouped64(value); }

std::string FormatGrouped64(int64_t value) {
  char text[32];
  return std::string(WriteGrouped(value, text + sizeof text), text + sizeof text);
}

std::string FormatGroupedUnsigned(uint64_t value) {
  char text[32];
  return std::string(WriteGroupedUnsigned(value, text + sizeof text), text + sizeof text);
}

char* WriteGrouped(int64_t value, char* end) {
  char* at =
      WriteGroupedUnsigned(value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value), end);
  if (value < 0) *--at = '-';
  return at;
}

char* WriteGroupedUnsigned(uint64_t value, char* end) {
  char* at = end;
  for (int digits = 0; digits == 0 || value > 0; ++digits) {
    if (digits > 0 && digits % 3 == 0) *--at = ',';
    *--at = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return at;
}

}  // namespace kel
