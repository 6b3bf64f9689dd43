// What the two Windows platform files share: names in the system's form,
// the table of open handles, and files opened by name in a folder handle.
#ifndef KEL_LIB_PLATFORM_WIN32_H_
#define KEL_LIB_PLATFORM_WIN32_H_

// clang-format off
#include <windows.h>
#include <winternl.h>   // needs windows.h before it
// clang-format on

#include <string>

#include "platform.h"

namespace kel::platform::win32 {

std::wstring Widen(const std::string& text, UINT codePage, DWORD flags = 0);
std::string Narrow(const std::wstring& wide, UINT codePage);
/// Writes all `count` bytes, in pieces the system takes.
bool WriteAll(HANDLE file, const void* source, size_t count);
/// A path in the system's form: UTF-16, backslashes only, and past the
/// length that plain paths may have, absolute behind the \\?\ prefix.
std::wstring ToOsPath(const std::string& path);
/// The part of a path in front of the first folder that can be made: a
/// drive ("C:"), the root of a share ("\\server\share") or of a device path.
bool IsRootPart(const std::wstring& path);
/// A name longer than file systems hold (255 UTF-16 units).
bool HasTooLongName(const std::wstring& osPath);
/// The table of open handles, which keeps the seam's int handles.
int AddHandle(HANDLE file, bool output);
HANDLE Handle(int handle);
bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b);
/// Opens `name` in the held `folder` (NtCreateFile with a root handle),
/// never through a reparse point unless `follow`.
HANDLE OpenIn(HANDLE folder, const std::string& name, ACCESS_MASK access, ULONG share, ULONG disposition,
              ULONG options, ULONG_PTR* information = nullptr, bool follow = false);
/// Whether the open file is a reparse point; `info` takes its facts.
bool IsLink(HANDLE file, BY_HANDLE_FILE_INFORMATION* info);
/// Marks the open file to go when it is closed.
bool DeleteOnClose(HANDLE file);
/// Whether `info` is the file behind standard output, or one this process
/// holds other than an output another thread writes: writing to it would
/// empty it.
bool IsHeld(const BY_HANDLE_FILE_INFORMATION& info);
/// After a refusal to share the file `file` (closed here): when another
/// thread writes it under another name, or did since `closedBefore`
/// outputs were closed, waits until it is done; true: open it again.
bool WaitedForOutput(HANDLE file, uint64_t closedBefore);
/// How many outputs were closed so far.
uint64_t OutputsClosed();

}  // namespace kel::platform::win32

#endif  // KEL_LIB_PLATFORM_WIN32_H_
