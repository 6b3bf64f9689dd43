// Owned files and blocks.
#include "file.h"

#include <algorithm>
#include <new>
#include <vector>

#include "paths.h"

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

int Cfile::Open(const std::string& filePath, platform::Access access, Encoding encoding) {
  Close();
  int error = platform::OpenFile(SystemPath(filePath, encoding), access, &handle);
  if (error != 0) return error;
  // An output starts empty: there is nothing to measure.
  const bool output = access == platform::Access::kWriteNew || access == platform::Access::kWriteEntry;
  fileSize = output ? 0 : platform::FileLength(handle);
  path = filePath;
  return 0;
}

int Cfile::OpenIn(int folder, const std::string& name, const std::string& shownPath, Encoding encoding,
                  bool keep) {
  Close();
  const int error = platform::OpenFileIn(folder, SystemPath(name, encoding), &handle, keep);
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

}  // namespace kel
