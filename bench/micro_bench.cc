// Micro-benchmarks of the two inner loops: the DataKey pass over a block
// against memcpy of the same size, and the directory walk in entries per
// second over an in-memory directory.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "archive_writer.h"
#include "format.h"

namespace {

constexpr size_t kBlock = 1 << 20;  // the transfer block of an extraction

void BM_DataKeyPass(benchmark::State& state) {
  std::vector<uint8_t> block(kBlock, 0x5A);
  for (auto _ : state) {
    kel::ApplyDataKey(block.data(), block.size());
    benchmark::DoNotOptimize(block.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlock));
}
BENCHMARK(BM_DataKeyPass);

void BM_Memcpy(benchmark::State& state) {
  std::vector<uint8_t> from(kBlock, 0x5A), to(kBlock);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), kBlock);
    benchmark::DoNotOptimize(to.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlock));
}
BENCHMARK(BM_Memcpy);

// 100 folders of 1,000 stored files, named as games name them.
void BM_WalkDirectory(benchmark::State& state) {
  std::string items;
  for (int folder = 0; folder < 100; ++folder) {
    items += kel::testing::Record("folder" + std::to_string(folder), 1, 0, 0);
    for (int file = 0; file < 1000; ++file) {
      items += kel::testing::Record("file" + std::to_string(file) + ".dds", 0, 1000, 4096) +
               kel::testing::EndMarker();
    }
    items += kel::testing::EndMarker();
  }
  const std::string block = kel::testing::DirectoryBlock(items);
  const kel::BlockReader read = [&block](uint64_t offset, uint8_t* destination, size_t count) {
    std::memcpy(destination, block.data() + offset, count);
    return static_cast<int64_t>(count);
  };
  int64_t entries = 0;
  for (auto _ : state) {
    kel::WalkDirectory(read, block.size(), [&entries](const kel::ArchiveEntry& entry) {
      benchmark::DoNotOptimize(entry.path.data());
      return ++entries > 0;
    });
  }
  state.SetItemsProcessed(entries);
}
BENCHMARK(BM_WalkDirectory);

}  // namespace

BENCHMARK_MAIN();
