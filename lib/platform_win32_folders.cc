// The Windows side of the platform seam: folders held open, names looked
// up, the compact copy's file made and put in place, and folder listings.
// clang-format off
#include <windows.h>
#include <aclapi.h>     // needs windows.h before it
#include <winternl.h>   // the same
// clang-format on

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform_win32.h"

namespace kel::platform {

using namespace win32;

bool NameTaken(const std::string& path) {
  return GetFileAttributesW(ToOsPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The path with every link resolved, as the system names the open file.
std::wstring FinalPath(const std::wstring& osPath) {
  HANDLE file = CreateFileW(osPath.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::wstring();
  std::wstring resolved(MAX_PATH, L'\0');
  DWORD length = GetFinalPathNameByHandleW(file, &resolved[0], static_cast<DWORD>(resolved.size()), 0);
  if (length >= resolved.size()) {
    resolved.resize(length + 1);
    length = GetFinalPathNameByHandleW(file, &resolved[0], static_cast<DWORD>(resolved.size()), 0);
  }
  CloseHandle(file);
  if (length == 0 || length >= resolved.size()) return std::wstring();
  resolved.resize(length);
  return resolved;
}

std::string RealPath(const std::string& path) {
  const std::wstring resolved = FinalPath(ToOsPath(path));
  const std::string inner = Narrow(resolved, CP_UTF8);
  // A name that the code page cannot hold stays as it was given.
  return Widen(inner, CP_UTF8) == resolved ? inner : path;
}

int CreateUnnamed(const std::string&, const std::string& spare, int* handle) {
  HANDLE file = CreateFileW(ToOsPath(spare).c_str(), GENERIC_READ | GENERIC_WRITE | WRITE_DAC, 0, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  *handle = AddHandle(file, true);
  return 0;
}

bool TakeAttributes(int to, int from) {
  // A new file has the access rights that its folder gives.
  if (from < 0) return true;
  HANDLE source = Handle(from);
  HANDLE copy = Handle(to);
  BY_HANDLE_FILE_INFORMATION info;
  FILE_BASIC_INFO basic = {};  // times of 0 stay as they are
  const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                     FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  if (!GetFileInformationByHandle(source, &info)) return false;
  basic.FileAttributes =
      (info.dwFileAttributes & kept) != 0 ? info.dwFileAttributes & kept : FILE_ATTRIBUTE_NORMAL;
  PACL rights = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!SetFileInformationByHandle(copy, FileBasicInfo, &basic, sizeof basic) ||
      GetSecurityInfo(source, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &rights, nullptr,
                      &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  // The archive's own list of rights, taking the folder's as it did or not.
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(descriptor, &control, &revision);
  const SECURITY_INFORMATION which =
      DACL_SECURITY_INFORMATION |
      ((control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION
                                          : UNPROTECTED_DACL_SECURITY_INFORMATION);
  const bool set =
      SetSecurityInfo(copy, SE_FILE_OBJECT, which, nullptr, nullptr, rights, nullptr) == ERROR_SUCCESS;
  LocalFree(descriptor);
  return set;
}

int PlaceFile(int handle, const std::string& spare, const std::string& target, int held) {
  const std::wstring osSpare = ToOsPath(spare);
  const std::wstring osTarget = ToOsPath(target);
  BY_HANDLE_FILE_INFORMATION archive = {};
  BY_HANDLE_FILE_INFORMATION now = {};
  const bool known = held == -1 || GetFileInformationByHandle(Handle(held), &archive);
  // A file open here cannot be moved, nor replaced: both are let go first.
  DWORD error = CloseFile(handle) ? 0 : GetLastError();
  if (held != -1) {
    CloseFile(held);
    // Only the file that kel held is replaced, not one put there since.
    HANDLE named = CreateFileW(osTarget.c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    const bool same =
        named != INVALID_HANDLE_VALUE && GetFileInformationByHandle(named, &now) && SameFile(archive, now);
    if (named != INVALID_HANDLE_VALUE) CloseHandle(named);
    if (error == 0 && !(known && same)) error = ERROR_SHARING_VIOLATION;
  }
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (held != -1 ? MOVEFILE_REPLACE_EXISTING : 0);
  if (error == 0 && !MoveFileExW(osSpare.c_str(), osTarget.c_str(), flags)) error = GetLastError();
  if (error == 0) return 0;
  DeleteFileW(osSpare.c_str());
  return static_cast<int>(error);
}

void DiscardFile(int handle, const std::string& spare) {
  CloseFile(handle);
  DeleteFileW(ToOsPath(spare).c_str());
}

bool RemoveLeftover(const std::string& spare) {
  // Shared with nobody: a kel that writes it holds it open.
  HANDLE file = CreateFileW(ToOsPath(spare).c_str(), DELETE | FILE_READ_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  FILE_DISPOSITION_INFO remove = {TRUE};
  const bool left =
      GetFileInformationByHandle(file, &info) &&
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0 &&
      info.nNumberOfLinks == 1 &&
      SetFileInformationByHandle(file, FileDispositionInfo, &remove, sizeof remove);
  CloseHandle(file);
  return left;
}

FolderResult MakeFolder(const std::string& path) {
  const std::wstring osPath = ToOsPath(path);
  if (IsRootPart(osPath)) return FolderResult::kExists;
  if (HasTooLongName(osPath)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return FolderResult::kFailed;
  }
  if (CreateDirectoryW(osPath.c_str(), nullptr)) return FolderResult::kMade;
  const DWORD error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS || GetFileAttributesW(osPath.c_str()) != INVALID_FILE_ATTRIBUTES) {
    return FolderResult::kExists;
  }
  SetLastError(error);  // the reason, not that of the look that followed
  return error == ERROR_PATH_NOT_FOUND ? FolderResult::kMissingParent : FolderResult::kFailed;
}

// Folders are held without FILE_SHARE_DELETE: while kel makes outputs in
// one, no other program can rename it, remove it or put a link in its place.
int OpenFolder(const std::string& path, int* folder) {
  *folder = -1;
  HANDLE file = CreateFileW(path.empty() ? L"." : ToOsPath(path).c_str(),
                            FILE_READ_ATTRIBUTES | FILE_TRAVERSE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  BY_HANDLE_FILE_INFORMATION info;
  if (file == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  if (!GetFileInformationByHandle(file, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    CloseHandle(file);
    return ERROR_DIRECTORY;
  }
  *folder = AddHandle(file, false);
  return 0;
}

FolderResult OpenFolderIn(int folder, const std::string& name, bool create, int* below) {
  if (below != nullptr) *below = -1;
  ULONG_PTR information = 0;
  HANDLE file =
      OpenIn(Handle(folder), name, FILE_READ_ATTRIBUTES | FILE_TRAVERSE, FILE_SHARE_READ | FILE_SHARE_WRITE,
             create ? FILE_OPEN_IF : FILE_OPEN, FILE_DIRECTORY_FILE, &information);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FolderResult::kMissingParent
                                                                          : FolderResult::kFailed;
  }
  BY_HANDLE_FILE_INFORMATION info;
  const bool link = IsLink(file, &info);
  if (link || below == nullptr) CloseHandle(file);
  if (link) return FolderResult::kLink;
  if (below != nullptr) *below = AddHandle(file, false);
  return information == FILE_CREATED ? FolderResult::kMade : FolderResult::kExists;
}

bool ResolvesBeneath() { return false; }

bool OpenFolderBeneath(int, const std::string&, int*) { return false; }

void CloseFolder(int folder) { CloseFile(folder); }
bool Exists(int error) { return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS; }

int OpenFileIn(int folder, const std::string& name, int* handle, bool keep) {
  *handle = -1;
  HANDLE in = Handle(folder);
  const ACCESS_MASK access = GENERIC_WRITE | DELETE;
  HANDLE file = OpenIn(in, name, access, 0, FILE_CREATE, FILE_NON_DIRECTORY_FILE);
  if (file != INVALID_HANDLE_VALUE) {
    *handle = AddHandle(file, true);
    return 0;
  }
  if (!Exists(static_cast<int>(GetLastError())) || keep) return static_cast<int>(GetLastError());
  // Something stands there: a plain file of its own is emptied and written,
  // as an output the user names.
  const uint64_t closedBefore = OutputsClosed();
  file = OpenIn(in, name, access, 0, FILE_OPEN, 0);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION &&
        WaitedForOutput(OpenIn(in, name, FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, 0),
                        closedBefore)) {
      return OpenFileIn(folder, name, handle, keep);
    }
    return static_cast<int>(error);
  }
  BY_HANDLE_FILE_INFORMATION info;
  const bool link = IsLink(file, &info);
  if (!link && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    CloseHandle(file);
    return ERROR_ACCESS_DENIED;
  }
  if (!link) {
    FILE_END_OF_FILE_INFO empty = {};
    if (IsHeld(info) || ((info.nFileSizeHigh != 0 || info.nFileSizeLow != 0) &&
                         !SetFileInformationByHandle(file, FileEndOfFileInfo, &empty, sizeof empty))) {
      const DWORD error = IsHeld(info) ? ERROR_SHARING_VIOLATION : GetLastError();
      CloseHandle(file);
      return static_cast<int>(error);
    }
    *handle = AddHandle(file, true);
    return 0;
  }
  // A link, a junction or a file with other hard links is removed and a new
  // file made in its place. What it leads to may be a file this process
  // holds (the archive): that stays the conflict it is.
  HANDLE target = OpenIn(in, name, FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, 0, nullptr, true);
  BY_HANDLE_FILE_INFORMATION reached;
  bool held = IsHeld(info);
  if (target != INVALID_HANDLE_VALUE) {
    held = held || (GetFileInformationByHandle(target, &reached) && IsHeld(reached));
    CloseHandle(target);
  }
  const bool removed = !held && DeleteOnClose(file);
  const DWORD error = held ? ERROR_SHARING_VIOLATION : GetLastError();
  CloseHandle(file);
  if (!removed) return static_cast<int>(error);
  file = OpenIn(in, name, access, 0, FILE_CREATE, FILE_NON_DIRECTORY_FILE);
  if (file == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  *handle = AddHandle(file, true);
  return 0;
}

bool RemoveFileIn(int folder, const std::string& name, int handle) {
  if (handle >= 0) return DeleteOnClose(Handle(handle));
  HANDLE file = OpenIn(Handle(folder), name, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       FILE_OPEN, FILE_NON_DIRECTORY_FILE);
  const bool removed = file != INVALID_HANDLE_VALUE && DeleteOnClose(file);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return removed;
}

bool FindFile(const std::string& path, int64_t* size) {
  WIN32_FILE_ATTRIBUTE_DATA info;
  if (!GetFileAttributesExW(ToOsPath(path).c_str(), GetFileExInfoStandard, &info)) return false;
  const bool folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  *size = folder ? 0 : static_cast<int64_t>((uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow);
  return true;
}

// A user's local data are private on Windows: the folder's rights keep
// others out.
bool PrivateFile(int handle) { return IsRegularFile(handle); }

bool FactsAt(const std::string& path, FileFacts* facts) {
  int handle = -1;
  if (OpenFile(path, Access::kRead, &handle) != 0) return false;
  const bool known = IsRegularFile(handle) && FactsOf(handle, facts);
  CloseFile(handle);
  return known;
}

bool IsFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(path.empty() ? L"." : ToOsPath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

namespace {

bool ListBelow(const std::wstring& folder, const std::string& prefix,
               std::vector<std::pair<std::string, int64_t>>* files,
               std::vector<std::pair<std::string, bool>>* others) {
  WIN32_FIND_DATAW item;
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &item);
  if (search == INVALID_HANDLE_VALUE) return false;
  do {
    const std::wstring name = item.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::string path = prefix + Narrow(name, CP_UTF8);
    // A link or a junction stands for another name; other reparse points (a
    // file kept in the cloud) are files and folders as any.
    if ((item.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
        IsReparseTagNameSurrogate(item.dwReserved0)) {
      others->emplace_back(path, false);
    } else if ((item.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      files->emplace_back(path,
                          static_cast<int64_t>((uint64_t{item.nFileSizeHigh} << 32) | item.nFileSizeLow));
    } else if (!ListBelow(folder + L"\\" + name, path + '\\', files, others)) {
      others->emplace_back(path, true);
    }
  } while (FindNextFileW(search, &item));
  FindClose(search);
  return true;
}

}  // namespace

bool ListFiles(const std::string& folder, std::vector<std::pair<std::string, int64_t>>* files,
               std::vector<std::pair<std::string, bool>>* others) {
  return IsFolder(folder) &&
         ListBelow(folder.empty() ? std::wstring(L".") : ToOsPath(folder), "", files, others);
}

bool CanHoldName(const std::string& name) {
  const std::wstring wide = Widen(name, CP_UTF8);
  if (wide.empty()) return true;
  if (wide.back() == L'.' || wide.back() == L' ') return false;
  if (std::any_of(wide.begin(), wide.end(),
                  [](wchar_t c) { return c < 0x20 || wcschr(L"<>:\"|?*", c) != nullptr; })) {
    return false;
  }
  // A device name stays one whatever follows its first dot, and blanks in
  // front of that dot do not count.
  std::wstring stem = wide.substr(0, wide.find(L'.'));
  stem.erase(stem.find_last_not_of(L' ') + 1);
  if (stem.size() == 4 && wcschr(L"123456789\u00B9\u00B2\u00B3", stem[3]) != nullptr) stem[3] = L'#';
  for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"COM#", L"LPT#"}) {
    if (_wcsicmp(stem.c_str(), device) == 0) return false;
  }
  return true;
}

std::string FoldedName(const std::string& path) {
  std::wstring wide = Widen(path, CP_UTF8);
  std::replace(wide.begin(), wide.end(), L'/', L'\\');
  // The file system's own upper-case table (not a language's casing rules).
  std::wstring folded(wide.size(), L'\0');
  const int size = static_cast<int>(wide.size());
  if (size == 0 || LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide.data(), size, &folded[0], size,
                                 nullptr, nullptr, 0) != size) {
    folded = wide;
  }
  return std::string(reinterpret_cast<const char*>(folded.data()), folded.size() * sizeof(wchar_t));
}

}  // namespace kel::platform
