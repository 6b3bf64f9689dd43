// The Windows side of the platform seam.
//
// Files: handles from CreateFileW in a small table, so that the seam keeps
// int handles. Sharing does what locks do elsewhere: a file open for reading
// lets others read only, a file open for writing lets nobody else in, and a
// refusal is an open failure. The system applies it within this process too,
// so the archive is never opened again in a conflicting mode. An output is
// opened without truncation and emptied only once opened, after the check
// that it is not this process's own standard output.
//
// Folders below a destination, and the outputs the archive names, are
// opened by name in their parent's handle (NtCreateFile with a root
// handle), never through a reparse point; a folder is held without
// FILE_SHARE_DELETE while outputs are made in it, so that no other program
// can rename it or put a junction in its place meanwhile.
//
// Names: paths come as UTF-8 (ToSystemNames converts Shift-JIS ones) and
// reach the system as UTF-16.
// clang-format off
#include <windows.h>
#include <aclapi.h>     // needs windows.h before it
#include <winternl.h>   // the same
// clang-format on

#include "platform_win32.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace kel::platform {

namespace win32 {

// A read or write at `position`.
OVERLAPPED At(uint64_t position) {
  OVERLAPPED where = {};
  where.Offset = static_cast<DWORD>(position);
  where.OffsetHigh = static_cast<DWORD>(position >> 32);
  return where;
}

std::wstring Widen(const std::string& text, UINT codePage, DWORD flags) {
  if (text.empty()) return std::wstring();
  const int size = static_cast<int>(text.size());
  const int length = MultiByteToWideChar(codePage, flags, text.data(), size, nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(codePage, flags, text.data(), size, &wide[0], length);
  return wide;
}

std::string Narrow(const std::wstring& wide, UINT codePage) {
  if (wide.empty()) return std::string();
  const int size = static_cast<int>(wide.size());
  const int length = WideCharToMultiByte(codePage, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return std::string();
  std::string text(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(codePage, 0, wide.data(), size, &text[0], length, nullptr, nullptr);
  return text;
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// A path in the system's form: UTF-16, backslashes only, and past the length
// that plain paths may have, absolute behind the \\?\ prefix.
std::wstring ToOsPath(const std::string& path) {
  std::wstring wide = Widen(path, CP_UTF8);
  std::replace(wide.begin(), wide.end(), L'/', L'\\');
  if (wide.size() < MAX_PATH - 12 || wide.compare(0, 4, L"\\\\?\\") == 0) return wide;
  const DWORD length = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (length == 0) return wide;
  std::wstring full(length, L'\0');
  const DWORD written = GetFullPathNameW(wide.c_str(), length, &full[0], nullptr);
  if (written == 0 || written >= length) return wide;
  full.resize(written);
  if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// The part of a path in front of the first folder that can be made: a drive
// ("C:"), the root of a share ("\\server\share") or of a device path.
bool IsRootPart(const std::wstring& path) {
  if (path.size() == 2 && path[1] == L':') return true;
  if (path.size() < 2 || !IsSeparator(path[0]) || !IsSeparator(path[1])) return false;
  size_t parts = 0;
  for (size_t at = 2; at <= path.size(); ++at) {
    if (at == path.size() || IsSeparator(path[at])) ++parts;
  }
  const bool device = path.size() >= 3 && (path[2] == L'?' || path[2] == L'.');
  if (!device) return parts <= 2;
  // \\?\C: and \\?\UNC\server\share
  const bool unc = path.size() >= 7 && _wcsnicmp(path.c_str() + 4, L"UNC", 3) == 0;
  return parts <= (unc ? 4u : 2u);
}

// A name longer than file systems hold (255 UTF-16 units on NTFS, FAT and
// exFAT alike), told as such: the system's own answer varies.
bool HasTooLongName(const std::wstring& osPath) {
  size_t start = 0;
  for (size_t at = 0; at <= osPath.size(); ++at) {
    if (at < osPath.size() && !IsSeparator(osPath[at])) continue;
    if (at - start > 255) return true;
    start = at + 1;
  }
  return false;
}

// The table is shared by the threads; an output is marked while it is
// written, so that another thread that meets its file under another name
// waits for it.
struct Slot {
  HANDLE file;
  bool output;
};
std::mutex handlesMutex;
std::condition_variable outputClosed;
std::vector<Slot> handles;
uint64_t outputsClosed = 0;

int AddHandle(HANDLE file, bool output) {
  const std::lock_guard<std::mutex> lock(handlesMutex);
  for (size_t i = 0; i < handles.size(); ++i) {
    if (handles[i].file == INVALID_HANDLE_VALUE) {
      handles[i] = {file, output};
      return static_cast<int>(i);
    }
  }
  handles.push_back({file, output});
  return static_cast<int>(handles.size() - 1);
}

HANDLE Handle(int handle) {
  const std::lock_guard<std::mutex> lock(handlesMutex);
  if (handle < 0 || static_cast<size_t>(handle) >= handles.size()) return INVALID_HANDLE_VALUE;
  return handles[static_cast<size_t>(handle)].file;
}

bool IsDisk(HANDLE file) { return GetFileType(file) == FILE_TYPE_DISK; }

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// Whether one of the open files of the table, outputs being written
// (`outputs`) or the others, is `info`'s. Call with handlesMutex held.
bool InTable(const BY_HANDLE_FILE_INFORMATION& info, bool outputs) {
  BY_HANDLE_FILE_INFORMATION other;
  return std::any_of(handles.begin(), handles.end(), [&info, &other, outputs](const Slot& slot) {
    return slot.file != INVALID_HANDLE_VALUE && slot.output == outputs &&
           GetFileInformationByHandle(slot.file, &other) && SameFile(info, other);
  });
}

// Whether `info` is the file behind standard output, or one this process
// holds other than an output another thread writes: writing to it would
// empty it.
bool IsHeld(const BY_HANDLE_FILE_INFORMATION& info) {
  BY_HANDLE_FILE_INFORMATION other;
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output != nullptr && output != INVALID_HANDLE_VALUE && IsDisk(output) &&
      GetFileInformationByHandle(output, &other) && SameFile(info, other)) {
    return true;
  }
  const std::lock_guard<std::mutex> lock(handlesMutex);
  return InTable(info, false);
}

// After a refusal to share the file `file` (an open handle with no access,
// closed here): when another thread writes that file under another name (a
// link, letters of another case), or did so since `closedBefore` outputs
// had been closed, waits until it is done and returns true, so that the
// open starts again.
bool WaitedForOutput(HANDLE file, uint64_t closedBefore) {
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(file, &info);
  CloseHandle(file);
  std::unique_lock<std::mutex> lock(handlesMutex);
  if (!known || (!InTable(info, true) && outputsClosed == closedBefore)) return false;
  outputClosed.wait(lock, [&info] { return !InTable(info, true); });
  return true;
}

uint64_t OutputsClosed() {
  const std::lock_guard<std::mutex> lock(handlesMutex);
  return outputsClosed;
}

HANDLE CreateNew(const std::wstring& osPath) {
  return CreateFileW(osPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Opens `name`, one name, in the open folder `folder` (the system's own
// call, which takes a folder handle and a name the way openat does), not
// following a link there unless `follow`. Names compare as the Win32 calls
// compare them, without regard to case. Sets the last error on failure.
HANDLE OpenIn(HANDLE folder, const std::string& name, ACCESS_MASK access, ULONG share, ULONG disposition,
              ULONG options, ULONG_PTR* information, bool follow) {
  // An empty name would open the folder itself.
  std::wstring wide = Widen(name, CP_UTF8);
  if (wide.empty() || wide.size() > 255) {
    SetLastError(wide.empty() ? ERROR_INVALID_NAME : ERROR_FILENAME_EXCED_RANGE);
    return INVALID_HANDLE_VALUE;
  }
  UNICODE_STRING text = {static_cast<USHORT>(wide.size() * sizeof(wchar_t)),
                         static_cast<USHORT>(wide.size() * sizeof(wchar_t)), &wide[0]};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder, nullptr);
  IO_STATUS_BLOCK status = {};
  HANDLE file = INVALID_HANDLE_VALUE;
  const NTSTATUS result = NtCreateFile(
      &file, access | SYNCHRONIZE, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL, share, disposition,
      options | FILE_SYNCHRONOUS_IO_NONALERT | (follow ? 0 : FILE_OPEN_REPARSE_POINT), nullptr, 0);
  if (result < 0) {
    SetLastError(RtlNtStatusToDosError(result));
    return INVALID_HANDLE_VALUE;
  }
  if (information != nullptr) *information = status.Information;
  return file;
}

// Whether the open `file` is a link (any reparse point) or a file with
// other hard links: an output never writes through one.
bool IsLink(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
  return !GetFileInformationByHandle(file, info) ||
         (info->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || info->nNumberOfLinks > 1;
}

// Marks the open `file` (opened with DELETE) to go once it is closed.
bool DeleteOnClose(HANDLE file) {
  FILE_DISPOSITION_INFO gone = {TRUE};
  return SetFileInformationByHandle(file, FileDispositionInfo, &gone, sizeof gone) != 0;
}

}  // namespace win32

namespace {

using namespace win32;

bool IsAscii(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

bool win32::WriteAll(HANDLE file, const void* source, size_t count) {
  const auto* at = static_cast<const char*>(source);
  size_t done = 0;
  while (done < count) {
    const auto wanted = static_cast<DWORD>(std::min<size_t>(count - done, 1u << 30));
    DWORD put = 0;
    if (!WriteFile(file, at + done, wanted, &put, nullptr) || put == 0) return false;
    done += put;
  }
  return true;
}

int OpenFile(const std::string& path, Access access, int* handle) {
  *handle = -1;
  const std::wstring osPath = ToOsPath(path);
  const bool creates = access == Access::kWriteNew || access == Access::kWriteEntry;
  if (creates && HasTooLongName(osPath)) return ERROR_FILENAME_EXCED_RANGE;
  if (creates) {
    HANDLE made = CreateNew(osPath);
    if (made != INVALID_HANDLE_VALUE) {
      *handle = AddHandle(made, true);
      return 0;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return static_cast<int>(error);
  }
  DWORD desired = GENERIC_READ;
  DWORD share = FILE_SHARE_READ;
  DWORD disposition = OPEN_EXISTING;
  if (creates) {
    desired = GENERIC_WRITE;
    share = 0;
    disposition = OPEN_ALWAYS;
  } else if (access == Access::kReadWrite) {
    desired = GENERIC_READ | GENERIC_WRITE;
    share = 0;
  }
  // A folder cannot be opened this way (no backup semantics): it is the
  // open failure it should be.
  const uint64_t closedBefore = OutputsClosed();
  HANDLE file =
      CreateFileW(osPath.c_str(), desired, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (creates && error == ERROR_SHARING_VIOLATION &&
        WaitedForOutput(CreateFileW(osPath.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr),
                        closedBefore)) {
      return OpenFile(path, access, handle);
    }
    return static_cast<int>(error);
  }
  auto fail = [file](DWORD error) {
    CloseHandle(file);
    return static_cast<int>(error);
  };
  if (IsDisk(file)) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info)) return fail(GetLastError());
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return fail(ERROR_ACCESS_DENIED);
    if (access != Access::kRead && IsHeld(info)) return fail(ERROR_SHARING_VIOLATION);
    // Only files are emptied: a device cannot be.
    FILE_END_OF_FILE_INFO empty = {};
    if (creates && (info.nFileSizeHigh != 0 || info.nFileSizeLow != 0) &&
        !SetFileInformationByHandle(file, FileEndOfFileInfo, &empty, sizeof empty)) {
      return fail(GetLastError());
    }
  }
  *handle = AddHandle(file, creates);
  return 0;
}

bool HeldElsewhere(int error) { return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION; }

bool CloseFile(int handle) {
  Slot slot = {INVALID_HANDLE_VALUE, false};
  {
    const std::lock_guard<std::mutex> lock(handlesMutex);
    if (handle < 0 || static_cast<size_t>(handle) >= handles.size()) return false;
    std::swap(slot, handles[static_cast<size_t>(handle)]);
  }
  if (slot.file == INVALID_HANDLE_VALUE) return false;
  const bool closed = CloseHandle(slot.file) != 0;
  if (!slot.output) return closed;
  // The reason of a failed close outlives the wake-up.
  const DWORD error = GetLastError();
  {
    const std::lock_guard<std::mutex> lock(handlesMutex);
    ++outputsClosed;
  }
  outputClosed.notify_all();
  SetLastError(error);
  return closed;
}

bool IsRegularFile(int handle) {
  HANDLE file = Handle(handle);
  return file != INVALID_HANDLE_VALUE && IsDisk(file);
}

int64_t FileLength(int handle) {
  HANDLE file = Handle(handle);
  LARGE_INTEGER size;
  if (file == INVALID_HANDLE_VALUE || !IsDisk(file) || !GetFileSizeEx(file, &size)) return 0;
  return size.QuadPart;
}

bool FactsOf(int handle, FileFacts* facts) {
  HANDLE file = Handle(handle);
  BY_HANDLE_FILE_INFORMATION info;
  FILE_BASIC_INFO times;
  if (!GetFileInformationByHandle(file, &info) ||
      !GetFileInformationByHandleEx(file, FileBasicInfo, &times, sizeof times)) {
    return false;
  }
  // Times count 100 ns from 1601, 11,644,473,600 s before 1970.
  constexpr int64_t k1970 = 116444736000000000;
  *facts = {(uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow,
            info.nNumberOfLinks,
            static_cast<int64_t>((uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow),
            (times.LastWriteTime.QuadPart - k1970) * 100,
            (times.ChangeTime.QuadPart - k1970) * 100,
            info.dwVolumeSerialNumber};
  return true;
}

int64_t ReadAt(int handle, int64_t position, void* destination, size_t count) {
  HANDLE file = Handle(handle);
  auto* at = static_cast<char*>(destination);
  size_t done = 0;
  while (done < count) {
    const auto wanted = static_cast<DWORD>(std::min<size_t>(count - done, 1u << 30));
    OVERLAPPED where = At(static_cast<uint64_t>(position) + done);
    DWORD got = 0;
    if (!ReadFile(file, at + done, wanted, &got, &where)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return -1;
    }
    if (got == 0) break;
    done += got;
  }
  return static_cast<int64_t>(done);
}

bool WriteAt(int handle, int64_t position, const void* source, size_t count) {
  HANDLE file = Handle(handle);
  const auto* at = static_cast<const char*>(source);
  size_t done = 0;
  while (done < count) {
    const auto wanted = static_cast<DWORD>(std::min<size_t>(count - done, 1u << 30));
    OVERLAPPED where = At(static_cast<uint64_t>(position) + done);
    DWORD put = 0;
    if (!WriteFile(file, at + done, wanted, &put, &where) || put == 0) return false;
    done += put;
  }
  return true;
}

bool WriteNext(int handle, const void* source, size_t count) {
  return WriteAll(Handle(handle), source, count);
}

bool ReserveSpace(int handle, int64_t position, int64_t count) {
  HANDLE file = Handle(handle);
  LARGE_INTEGER size;
  if (file == INVALID_HANDLE_VALUE) return false;
  if (!IsDisk(file) || !GetFileSizeEx(file, &size)) return true;
  // Moving the end of a file that is not sparse allocates its clusters; a
  // range inside the file has its clusters already.
  FILE_END_OF_FILE_INFO end = {};
  end.EndOfFile.QuadPart = position + count;
  if (end.EndOfFile.QuadPart <= size.QuadPart) return true;
  return SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end) != 0;
}

bool ResizeFile(int handle, int64_t length) {
  FILE_END_OF_FILE_INFO end = {};
  end.EndOfFile.QuadPart = length;
  return SetFileInformationByHandle(Handle(handle), FileEndOfFileInfo, &end, sizeof end) != 0;
}

bool SyncFile(int handle) { return FlushFileBuffers(Handle(handle)) != 0; }

bool RemoveFile(const std::string& path) { return DeleteFileW(ToOsPath(path).c_str()) != 0; }

std::string ToSystemNames(const std::string& path, bool shiftJis) {
  if (!shiftJis || IsAscii(path)) return path;
  return Narrow(Widen(path, 932), CP_UTF8);
}

std::string FromSystemNames(const std::string& name, bool shiftJis) {
  if (!shiftJis || IsAscii(name)) return name;
  return Narrow(Widen(name, CP_UTF8), 932);
}

bool Cp932ToUtf8(const std::string& cp932, std::string* utf8) {
  const std::wstring wide = Widen(cp932, 932, MB_ERR_INVALID_CHARS);
  if (wide.empty() && !cp932.empty()) return false;
  *utf8 = Narrow(wide, CP_UTF8);
  return true;
}

bool Utf8ToCp932(const std::string& utf8, std::string* cp932) {
  const std::wstring wide = Widen(utf8, CP_UTF8, MB_ERR_INVALID_CHARS);
  if (wide.empty() && !utf8.empty()) return false;
  *cp932 = Narrow(wide, 932);
  return true;
}

size_t FindWord(const uint8_t* words, size_t count, const char word[4]) {
  // A wchar_t is two bytes here, so the wide-character search of the POSIX
  // side would match half words: compare whole 4-byte words instead.
  uint32_t wanted;
  memcpy(&wanted, word, sizeof wanted);
  for (size_t index = 0; index < count; ++index) {
    uint32_t candidate;
    memcpy(&candidate, words + 4 * index, sizeof candidate);
    if (candidate == wanted) return index;
  }
  return count;
}

int LastError() { return static_cast<int>(GetLastError()); }

// ERROR_DISK_QUOTA_EXCEEDED, which mingw's headers lack.
constexpr DWORD kDiskQuotaExceeded = 1295;

Failure FailureOf(int error) {
  switch (static_cast<DWORD>(error)) {
    case ERROR_PATH_NOT_FOUND:
    case ERROR_FILE_NOT_FOUND:
      return Failure::kMissingFolder;
    case ERROR_FILENAME_EXCED_RANGE:
      return Failure::kNameTooLong;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case kDiskQuotaExceeded:
      return Failure::kNoSpace;
    case ERROR_WRITE_PROTECT:
      return Failure::kReadOnly;
    // Not ERROR_ACCESS_DENIED: Windows gives it for a folder in the way too.
    default:
      return Failure::kOther;
  }
}

}  // namespace kel::platform
