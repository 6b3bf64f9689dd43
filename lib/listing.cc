// Test: one walk, then one sweep over the claimed ranges sorted by start.
#include "listing.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "paths.h"

namespace kel {
namespace {

constexpr uint64_t kOverlapsShown = 10;
// Places in the walk that stand for the header and the directory block.
constexpr uint32_t kHeader = UINT32_MAX, kBlock = UINT32_MAX - 1;

void Problem(const Context& context, Code code, const std::string& path, const std::string& other = "",
             uint64_t number = 0) {
  Event problem;
  problem.kind = KEL_EVENT_PROBLEM;
  problem.code = code;
  problem.path = path;
  problem.other = other;
  problem.number = number;
  context.Report(problem);
}

// Names the pairs of stored files (by their place in the walk; the header
// and the directory block have none) whose ranges overlap.
void ReportOverlaps(Archive& archive, const std::vector<std::pair<uint32_t, uint32_t>>& pairs,
                    uint64_t overlapping, const Context& context) {
  std::vector<std::string> names(pairs.size() * 2);
  uint32_t index = 0;
  WalkDirectory(archive, [&](const ArchiveEntry& entry) {
    for (size_t i = 0; i < pairs.size(); ++i) {
      if (pairs[i].first == index) names[2 * i] = entry.path;
      if (pairs[i].second == index) names[2 * i + 1] = entry.path;
    }
    ++index;
    return true;
  });
  // The header and the directory block, which a stored file may reach into,
  // in brackets no stored name holds on Windows.
  const auto name = [&names](uint32_t at, size_t i) {
    return at == kHeader ? std::string("<header>") : at == kBlock ? std::string("<directory>") : names[i];
  };
  for (size_t i = 0; i < pairs.size(); ++i) {
    Problem(context, KEL_ERR_OVERLAP, name(pairs[i].first, 2 * i), name(pairs[i].second, 2 * i + 1));
  }
  if (overlapping > pairs.size()) Problem(context, KEL_ERR_MORE_OVERLAPS, "", "", overlapping - pairs.size());
}

}  // namespace

Status TestArchive(Archive& archive, const Context& context, TestSummary* summary) {
  const auto fileSize = static_cast<uint64_t>(archive.file.fileSize);
  struct Range {
    uint64_t start, end;
    uint32_t index;
  };
  // 24 bytes a stored file: 24 MB for a million of them.
  std::vector<Range> ranges = {{0, kFrontHeaderSize, kHeader},
                               {archive.location.blockPosition,
                                archive.location.blockPosition + archive.location.blockLength, kBlock}};
  uint32_t files = 0;
  uint64_t total = 0, cut = 0, unsafe = 0;
  Status walked = WalkDirectory(archive, [&](const ArchiveEntry& entry) {
    total += entry.size;
    if (DataEnd(entry) > fileSize) {
      Problem(context, KEL_ERR_DATA_PAST_END, entry.path);
      ++cut;
    }
    if (!IsSafeEntryPath(entry.path, archive.encoding)) {
      Problem(context, KEL_ERR_UNSAFE_PATH, entry.path);
      ++unsafe;
    }
    if (entry.size > 0) ranges.push_back({entry.address, DataEnd(entry), files});
    ++files;
    return true;
  });
  if (!walked) return walked;
  std::sort(ranges.begin(), ranges.end(), [](const Range& a, const Range& b) {
    return a.start != b.start ? a.start < b.start : a.end < b.end;
  });
  // One sweep: each range against the one reaching furthest before it.
  // Ranges that are the same are stored files sharing their bytes.
  std::vector<std::pair<uint32_t, uint32_t>> overlaps;
  uint64_t overlapping = 0, claimed = 0;
  Range reach = {0, 0, UINT32_MAX};
  for (const Range& range : ranges) {
    if (range.start < reach.end && (range.start != reach.start || range.end != reach.end)) {
      if (++overlapping <= kOverlapsShown) overlaps.emplace_back(reach.index, range.index);
    }
    const uint64_t from = std::max(range.start, reach.end);
    if (range.end > from) claimed += std::min(range.end, fileSize) - std::min(from, fileSize);
    if (range.end > reach.end) reach = range;
  }
  ReportOverlaps(archive, overlaps, overlapping, context);
  const Status cutDirectory = CutStatus(archive);
  if (!cutDirectory) Problem(context, KEL_ERR_ARCHIVE_CUT, "", "", cutDirectory.number);
  *summary = {files, total, cut + overlapping + unsafe + (cutDirectory ? 0 : 1), fileSize - claimed,
              fileSize};
  return summary->problems == 0 ? Status() : Fail(KEL_ERR_DAMAGED, "", summary->problems);
}

}  // namespace kel
