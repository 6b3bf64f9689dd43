// Long runs kept out of `make test` (make soak): every write into an
// archive with each of its I/O calls failing, crashing the process or
// bringing SIGINT in turn (through the fault_shim library), and power cuts
// replayed from the order of its writes and syncs. After each, the archive
// must read as wholly old or wholly new, and the exit status must say which.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <filesystem>
#include <future>
#include <iostream>
#include <map>

#include "archive_writer.h"
#include "test_support.h"

namespace kel::testing {
namespace {

// Every KiB different, so that a chunk written to the wrong place shows.
std::string Pattern(size_t size, char seed) {
  std::string bytes(size, seed);
  for (size_t at = 0; at < size; at += 1024) {
    const std::string mark = seed + std::to_string(at);
    bytes.replace(at, std::min(mark.size(), size - at), mark.substr(0, size - at));
  }
  bytes.replace(0, 4, "BIG ");
  return bytes;
}

const std::string kOld = Pattern(5 << 19, 'o');
const std::string kOriginal =
    BuildArchive({File("a", "head"), Folder("d", {File("big.bin", kOld)}), File("z", "tail")}).Bytes();
enum Outcome { kWhollyOld, kWhollyNew, kNeither };

struct Soak {
  ScopedTempDir dir;
  std::string fresh;

  // Extracts everything, which first rolls back what a stopped write left.
  Outcome Read() {
    std::filesystem::remove_all(dir / "o");
    if (RunKel({"-d", "a.kel", "o"}, {"C", dir.path()}).status != 0 ||
        ReadFile(dir / "o/a") + ReadFile(dir / "o/z") != "headtail") {
      return kNeither;
    }
    const std::string big = ReadFile(dir / "o/d/big.bin");
    return big == kOld ? kWhollyOld : big == fresh ? kWhollyNew : kNeither;
  }
  RunResult Run(const std::vector<std::string>& args, const std::vector<std::string>& faults) {
    std::vector<std::string> environment = {"LD_PRELOAD=" KEL_FAULT_SHIM};
    environment.insert(environment.end(), faults.begin(), faults.end());
    return RunKel(args, {"C", dir.path(), false, -1, 0, 0, environment});
  }
};

struct Write {
  uint8_t kind;
  uint64_t position;
  std::string bytes;  // 'W'
};

// The changes a run made, in order, split where a sync made them durable.
std::vector<std::vector<Write>> ReadLog(const std::string& log) {
  std::vector<std::vector<Write>> epochs(1);
  for (size_t at = 0; at < log.size();) {
    Write write{static_cast<uint8_t>(log[at++]), 0, ""};
    if (write.kind == 'S') {
      epochs.emplace_back();
      continue;
    }
    uint64_t count = 0;
    memcpy(&write.position, &log[at], 8);
    at += 8;
    if (write.kind == 'W') {
      memcpy(&count, &log[at], 8);
      write.bytes = log.substr(at + 8, count);
      at += 8 + count;
    }
    epochs.back().push_back(write);
  }
  return epochs;
}

void Apply(std::string& image, const Write& write, size_t from = 0, size_t to = std::string::npos) {
  if (write.kind == 'T') {
    image.resize(write.position);
    return;
  }
  const std::string piece = write.bytes.substr(from, to == std::string::npos ? to : to - from);
  if (image.size() < write.position + from + piece.size()) image.resize(write.position + from + piece.size());
  image.replace(write.position + from, piece.size(), piece);
}

TEST(Soak, EveryStopOfAWriteLeavesTheOldOrTheNewArchive) {
  if (WindowsBuild()) GTEST_SKIP() << "the fault library works on Linux processes";
  char at[24];
  snprintf(at, sizeof at, "0x%08zX", kOriginal.find(StoredBytes(kOld)));
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::string fresh;
  } commands[] = {
      {"-m by address", {"-m", "a.kel", "big.bin", at}, Pattern(kOld.size(), 'n')},
      {"-m by name", {"-m", "a.kel", "d/big.bin", "big.bin"}, Pattern(kOld.size(), 'n')},
      {"-r growing", {"-r", "a.kel", "big.bin"}, Pattern(kOld.size() + (3 << 19), 'g')},
      {"-r shrinking", {"-r", "a.kel", "big.bin"}, Pattern(1 << 20, 's')},
      {"-r same size", {"-r", "a.kel", "d/big.bin", "big.bin"}, Pattern(kOld.size(), 'e')},
      {"-u growing", {"-u", "a.kel", "w"}, Pattern(kOld.size() + 3, 'u')},
      {"-u shrinking", {"-u", "a.kel", "w"}, Pattern(kOld.size() - 3, 'v')},
      // A compaction changes no stored file: it must read as the old one.
      {"-c", {"-c", "a.kel"}, kOld},
  };
  for (const auto& command : commands) {
    Soak soak;
    soak.fresh = command.fresh;
    WriteFile(soak.dir / "big.bin", command.fresh);
    std::filesystem::create_directories(soak.dir / "w/d");
    WriteFile(soak.dir / "w/d/big.bin", command.fresh);
    WriteFile(soak.dir / "a.kel", kOriginal);
    soak.Run(command.args, {"KEL_FAULT_COUNT=" + soak.dir / "count", "KEL_FAULT_LOG=" + soak.dir / "log"});
    const int calls = std::stoi(ReadFile(soak.dir / "count"));
    std::map<std::string, int> tally;
    for (const char* fault : {"fail", "crash", "signal"}) {
      for (int call = 1; call <= calls; ++call) {
        SCOPED_TRACE(std::string(command.name) + ": " + fault + " at call " + std::to_string(call));
        WriteFile(soak.dir / "a.kel", kOriginal);
        const int status = soak.Run(command.args, {"KEL_FAULT=" + std::string(fault),
                                                   "KEL_FAULT_AT=" + std::to_string(call)})
                               .status;
        const Outcome outcome = soak.Read();
        EXPECT_NE(outcome, kNeither);
        // 0 says the new bytes are in, 255 that the old ones are.
        EXPECT_TRUE(status != 0 || outcome == kWhollyNew || command.fresh == kOld) << status;
        EXPECT_TRUE(status != 255 || outcome == kWhollyOld) << status;
        ++tally[std::string(fault) + (outcome == kWhollyOld   ? " old"
                                      : outcome == kWhollyNew ? " new"
                                                              : " NEITHER")];
      }
    }
    // Power cuts: what the last sync made durable, and any part of what came after it, down to
    // half of one write, reaches the disk.
    const auto epochs = ReadLog(ReadFile(soak.dir / "log"));
    std::string durable = kOriginal;
    for (size_t epoch = 0; epoch < epochs.size(); ++epoch) {
      const std::vector<Write>& pending = epochs[epoch];
      std::vector<std::string> images = {durable};
      for (size_t i = 0; i < pending.size(); ++i) {
        std::string prefix = durable, alone = durable, torn = durable;
        for (size_t j = 0; j <= i; ++j) Apply(prefix, pending[j]);
        Apply(alone, pending[i]);
        for (size_t j = 0; j < i; ++j) Apply(torn, pending[j]);
        // Torn at the first sector boundary inside the write, or half-way.
        const size_t boundary = 512 - pending[i].position % 512, size = pending[i].bytes.size();
        if (pending[i].kind == 'W') Apply(torn, pending[i], 0, boundary < size ? boundary : size / 2);
        images.insert(images.end(), {prefix, alone, torn});
      }
      for (const std::string& image : images) {
        SCOPED_TRACE(std::string(command.name) + ": power cut in sync interval " + std::to_string(epoch));
        WriteFile(soak.dir / "a.kel", image);
        const Outcome outcome = soak.Read();
        EXPECT_NE(outcome, kNeither);
        ++tally[std::string("power cut") + (outcome == kWhollyOld   ? " old"
                                            : outcome == kWhollyNew ? " new"
                                                                    : " NEITHER")];
      }
      for (const Write& write : pending) Apply(durable, write);
    }
    WriteFile(soak.dir / "a.kel", durable);
    EXPECT_EQ(soak.Read(), command.fresh == kOld ? kWhollyOld : kWhollyNew);
    std::cout << command.name << ": " << calls << " calls;";
    for (const auto& [what, count] : tally) std::cout << " " << what << " " << count << ",";
    std::cout << "\n";
  }
}

// A merge by name holds the archive from its walk to its last write: a -r
// that comes in between waits, instead of moving the stored file away from
// under the merge.
TEST(Soak, AReplacementWaitsForAMergeBetweenItsWalkAndItsWrite) {
  if (WindowsBuild()) GTEST_SKIP() << "the fault library works on Linux processes";
  Soak soak;
  soak.fresh = Pattern(kOld.size(), 'n');
  WriteFile(soak.dir / "a.kel", kOriginal);
  WriteFile(soak.dir / "big.bin", soak.fresh);
  WriteFile(soak.dir / "other.bin", "other");
  // The merge's second open is that of its replacement, after the walk.
  auto merge = std::async(std::launch::async, [&soak] {
    return soak.Run({"-m", "a.kel", "d/big.bin", "big.bin"}, {"KEL_FAULT=pause", "KEL_FAULT_AT=2"});
  });
  usleep(300000);
  const RunResult replace = RunKel({"-r", "a.kel", "d/big.bin", "other.bin"}, {"C", soak.dir.path()});
  EXPECT_EQ(merge.get().status, 0);
  EXPECT_EQ(replace.out.rfind("Waiting for a.kel, in use by another program\n", 0), 0u) << replace.out;
  EXPECT_EQ(replace.status, 0);
  soak.fresh = "other";
  EXPECT_EQ(soak.Read(), kWhollyNew);
}

}  // namespace
}  // namespace kel::testing
