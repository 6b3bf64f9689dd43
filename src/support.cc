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
  return platform::ReadAt(handle, position, destination, count);
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

OutputFolders::~OutputFolders() { Hold("", destination_); }

void OutputFolders::Hold(const std::string& folder, int handle) {
  if (folder_ >= 0 && folder_ != destination_ && folder_ != handle) platform::CloseFolder(folder_);
  folder_ = handle;
  ready_ = folder;
}

OutputFolders::Result OutputFolders::Reach(const std::string& path, const MayMake* mayMake, size_t* cut) {
  const size_t last = FindLastSeparator(path);
  const std::string folder = path.substr(0, last == std::string::npos ? 0 : last);
  *cut = path.size();
  if (folder_ >= 0 && folder == ready_) return kReady;
  // From the folder last reached when this one lies below it; else from
  // the destination, in one step where the system can.
  int from = destination_;
  size_t start = 0;
  if (folder_ >= 0 && !ready_.empty() && folder.size() > ready_.size() &&
      folder.compare(0, ready_.size(), ready_) == 0 &&
      FindSeparator(folder, ready_.size()) == ready_.size()) {
    from = folder_;
    start = ready_.size() + 1;
  } else if (int below = -1; !folder.empty() && platform::OpenFolderBeneath(destination_, folder, &below)) {
    Hold(folder, below);
    return kReady;
  }
  int at = from;
  while (start <= folder.size()) {
    const size_t end = std::min(FindSeparator(folder, start), folder.size());
    const std::string name = folder.substr(start, end - start);
    start = end + 1;
    if (name.empty() || name == ".") continue;
    const bool create = mayMake != nullptr && (*mayMake)(folder.substr(0, end));
    int below = -1;
    const platform::FolderResult made = platform::OpenFolderIn(at, name, create, &below);
    const int error = platform::LastError();
    if (at != from) platform::CloseFolder(at);
    if (made == platform::FolderResult::kLink) return kLink;
    if (made == platform::FolderResult::kMissingParent || made == platform::FolderResult::kFailed) {
      // A folder that may not be made stands where a file of this run is.
      const bool refused = made == platform::FolderResult::kMissingParent && mayMake != nullptr && !create;
      failure_ = refused                                          ? platform::Failure::kOther
                 : made == platform::FolderResult::kMissingParent ? platform::Failure::kMissingFolder
                                                                  : platform::FailureOf(error);
      if (failure_ != platform::Failure::kOther) *cut = end;
      return kFailed;
    }
    at = below;
  }
  Hold(folder, at);
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
