// Owned files and blocks, output folders, grouped numbers.
#include "support.h"

#include <algorithm>
#include <new>

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

OutputFolders::Result OutputFolders::CreateFolders(std::string& path) {
  const size_t last = FindLastSeparator(path);
  const std::string folder = last == std::string::npos ? "" : path.substr(0, last + 1);
  // Stored files come folder by folder: only what is new since the last
  // path is made. Equal texts up to a separator name the same folders.
  size_t same = 0;
  while (same < folder.size() && same < ready_.size() && folder[same] == ready_[same]) ++same;
  const size_t sameFolders = FindLastSeparator(folder.substr(0, same));
  const size_t from = sameFolders == std::string::npos ? 0 : sameFolders + 1;
  // Slashes stay slashes: a backslash written behind half a double-byte
  // character (a UTF-8 name read as Shift-JIS) would become its second byte.
  int failedInARow = 0;
  for (size_t at = FindSeparator(path, from); at != std::string::npos && at <= last;
       at = FindSeparator(path, at + 1)) {
    // The empty prefix in front of a leading separator is the root.
    if (at == 0) continue;
    const std::string prefix = path.substr(0, at);
    const platform::FolderResult made = platform::MakeFolder(prefix);
    const bool missing = made == platform::FolderResult::kMissingParent;
    if (missing || made == platform::FolderResult::kFailed) {
      failure_ = missing ? platform::Failure::kMissingFolder : platform::FailureOf(platform::LastError());
      if (failure_ != platform::Failure::kOther) {
        path.resize(at);
        return missing ? kMissingParent : kFailed;
      }
    }
    // Below two folders in a row that could not be made (a path too long, a
    // file in the way), no folder can be: trying each one would cost the
    // square of a long path.
    failedInARow = made == platform::FolderResult::kFailed ? failedInARow + 1 : 0;
    if (failedInARow == 2) break;
    if (made == platform::FolderResult::kExists && at > destDir_.size() &&
        platform::LeadsOutside(prefix, destDir_)) {
      return kOutside;
    }
  }
  ready_ = folder;
  return kReady;
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
