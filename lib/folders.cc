// Output folders: each reached from the one above it by name, never
// through a link.
#include "folders.h"

#include <algorithm>
#include <vector>

#include "paths.h"

namespace kel {

OutputFolders::OutputFolders(int destination, Encoding encoding)
    : destination_(destination), encoding_(encoding) {}

OutputFolders::~OutputFolders() {
  for (int held : {folder_, parent_}) {
    if (held >= 0 && held != destination_) platform::CloseFolder(held);
  }
}

OutputFolders::Result OutputFolders::Reach(const std::string& path, const MayMake* mayMake, size_t* cut) {
  const size_t last = FindLastSeparator(path, encoding_);
  const std::string folder = path.substr(0, last == std::string::npos ? 0 : last);
  *cut = path.size();
  if (known_ && folder == ready_) return kReady;
  // Outputs opened by their path below the destination need no folder held.
  if (mayMake == nullptr && beneath_) return kReady;
  // Whether `text` (empty: the destination) is `folder` or holds it.
  const auto within = [this, &folder](const std::string& text) {
    return text.empty() ||
           (folder.compare(0, text.size(), text) == 0 &&
            (folder.size() == text.size() || FindSeparator(folder, encoding_, text.size()) == text.size()));
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
    for (size_t end = FindSeparator(folder, encoding_); end != std::string::npos;
         end = FindSeparator(folder, encoding_, end + 1)) {
      if (ready_.compare(0, end, folder, 0, end) != 0) break;
      if (ready_.size() == end || FindSeparator(ready_, encoding_, end) == end) common = end;
    }
    int below = -1;
    if (common > 0 &&
        platform::OpenFolderBeneath(destination_, SystemPath(folder.substr(0, common), encoding_), &below)) {
      opened.push_back(below);
      at = below;
      atText = folder.substr(0, common);
    }
  }
  int holder = at == folder_ ? parent_ : -1;
  std::string holderText = at == folder_ ? parentText_ : "";
  for (size_t start = atText.empty() ? 0 : atText.size() + 1; start <= folder.size();) {
    const size_t end = std::min(FindSeparator(folder, encoding_, start), folder.size());
    const std::string name = folder.substr(start, end - start);
    start = end + 1;
    if (name.empty() || name == ".") continue;
    const bool create = mayMake != nullptr && (*mayMake)(folder.substr(0, end));
    // The last folder is opened only when outputs are opened in it.
    int below = -1;
    const platform::FolderResult made = platform::OpenFolderIn(
        at, SystemPath(name, encoding_), create, end == folder.size() && beneath_ ? nullptr : &below);
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
  const size_t last = FindLastSeparator(path, encoding_);
  *relative = path.substr(last == std::string::npos ? 0 : last + 1);
  return folder_;
}

bool FailsEveryOutput(platform::Failure failure) {
  return failure == platform::Failure::kNoSpace || failure == platform::Failure::kReadOnly;
}

}  // namespace kel
