// Claims and placement, and the survey of a write.
#include "space.h"

#include <algorithm>
#include <optional>

namespace kel {

void ClaimedSpace::Claim(uint64_t position, uint64_t count) {
  if (count == 0) return;
  claims_.emplace_back(position, position + count);
  end_ = std::max(end_, position + count);
}

uint64_t ClaimedSpace::Place(uint64_t count) {
  if (!settled_) {
    // Claims come in the order the data lie in, as a rule.
    if (!std::is_sorted(claims_.begin(), claims_.end())) std::sort(claims_.begin(), claims_.end());
    uint64_t reached = 0;
    for (const auto& [start, end] : claims_) {
      if (start > reached) gaps_.emplace_back(reached, start);
      reached = std::max(reached, end);
    }
    settled_ = true;
  }
  if (count == 0) return end_;
  const auto gap = std::find_if(gaps_.begin(), gaps_.end(),
                                [count](const auto& free) { return free.second - free.first >= count; });
  const uint64_t position = gap != gaps_.end() ? gap->first : end_;
  if (gap != gaps_.end()) {
    gap->first += count;
  } else {
    end_ += count;
  }
  claims_.emplace_back(position, position + count);
  return position;
}

Status Survey(Archive& archive, const std::string& printedName, const Matcher& matches, ArchiveEntry* found,
              ClaimedSpace* space, const std::function<void(const ArchiveEntry&)>& also) {
  int matched = 0;
  uint64_t dataEnd = 0;
  std::optional<std::string> inTheWay;
  const uint64_t blockStart = archive.location.blockPosition;
  const uint64_t blockEnd = blockStart + archive.location.blockLength;
  // Claimed in the order the bytes lie in, as a rule: front to back.
  const auto claim = [space](uint64_t position, uint64_t count) {
    if (space != nullptr) space->Claim(position, count);
  };
  // Nothing new goes below the directory block's end: the scan that finds
  // the block looks there, and new bytes that read as a block head would be
  // found first.
  claim(0, blockEnd);
  Status walked = WalkDirectory(archive, [&](const ArchiveEntry& entry) {
    dataEnd = std::max(dataEnd, DataEnd(entry));
    // A stored file whose data are the header or the directory would change
    // with the records that a write switches.
    const bool inHeader = entry.size > 0 && entry.address < kFrontHeaderSize;
    if ((inHeader || (entry.size > 0 && entry.address < blockEnd && DataEnd(entry) > blockStart)) &&
        !inTheWay) {
      inTheWay = entry.path;
    }
    claim(entry.address, entry.size);
    if (matches && matches(entry) && ++matched == 1) *found = entry;
    if (also) also(entry);
    return true;
  });
  if (!walked) return walked;
  if (Status cut = CutStatus(archive, dataEnd); !cut) return cut;
  if (inTheWay) return Fail(KEL_ERR_DATA_IN_THE_WAY, *inTheWay);
  if (!matches || matched == 1) return {};
  return Fail(matched == 0 ? KEL_ERR_NOT_FOUND : KEL_ERR_AMBIGUOUS, printedName);
}

int64_t NewAddress(ClaimedSpace& space, const Cfile& archive, const ArchiveEntry& entry, int64_t count) {
  const auto length = static_cast<uint64_t>(archive.fileSize);
  if (length > space.End()) space.Claim(space.End(), length - space.End());
  return static_cast<int64_t>(count == 0 ? entry.address : space.Place(static_cast<uint64_t>(count)));
}

}  // namespace kel
