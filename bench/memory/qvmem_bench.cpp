// Costs of the image memory: lock and unlock of a block in memory (modes 0 and 2, with and
// without the thread-safety switch), an eviction round trip (one block written to its swap file
// and another read back per lock) against the same file traffic done directly, the system
// memory query that every commit makes, and pixel access through a tile view.
//
// Run: bench_memory --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
// Swap files go to $QV_BENCH_SWAP (default /tmp).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "memory/qvmem.h"
#include "memory/tiled_image.h"

namespace {

constexpr uint64_t kTileBytes = 128 * 128 * 4;  // one 8-bit tile of the transform tool

std::string swap_folder() {
  const char* folder = getenv("QV_BENCH_SWAP");
  return folder && *folder ? folder : "/tmp";
}

void start(int mode) {
  qvmem_shutdown();
  qvmem_init(swap_folder().c_str(), mode);
}

// The mode-0 budget becomes limit minus what the manager holds.
QvmemMemoryStatus limited_status(void* user) {
  int64_t limit = *static_cast<int64_t*>(user);
  QvmemMemoryStatus status;
  status.total_physical = status.total_virtual = int64_t(1) << 30;
  status.available_physical = status.available_virtual = 107374182 + limit - qvmem_resident_bytes();
  return status;
}

void BM_LockUnlockResident(benchmark::State& state) {
  const int mode = static_cast<int>(state.range(0));
  start(mode);
  qvmem_set_thread_safe(state.range(1) != 0);
  QvmemBlock* block = qvmem_alloc(kTileBytes);
  memset(qvmem_lock(block), 1, kTileBytes);
  qvmem_unlock(block);
  for (auto _ : state) {
    void* data = qvmem_lock(block);
    benchmark::DoNotOptimize(data);
    qvmem_unlock(block);
  }
  qvmem_free(block);
  qvmem_shutdown();
}
BENCHMARK(BM_LockUnlockResident)
    ->ArgNames({"mode", "threadsafe"})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({2, 0});

// 64 tiles cycled with room for 16: every lock sends the oldest out and reads its own back.
void BM_EvictionRoundTrip(benchmark::State& state) {
  start(0);
  int64_t limit = 16 * kTileBytes;
  qvmem_set_memory_status_source(limited_status, &limit);
  std::vector<QvmemBlock*> blocks;
  for (int i = 0; i < 64; ++i) {
    blocks.push_back(qvmem_alloc(kTileBytes));
    memset(qvmem_lock(blocks.back()), i, kTileBytes);
    qvmem_unlock(blocks.back());
  }
  size_t next = 0;
  for (auto _ : state) {
    auto* data = static_cast<uint8_t*>(qvmem_lock(blocks[next]));
    benchmark::DoNotOptimize(data[kTileBytes - 1]);
    qvmem_unlock(blocks[next]);
    next = (next + 1) % blocks.size();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * 2 * kTileBytes);
  for (QvmemBlock* block : blocks) qvmem_free(block);
  qvmem_set_memory_status_source(nullptr, nullptr);
  qvmem_shutdown();
}
BENCHMARK(BM_EvictionRoundTrip);

// The floor of a round trip: the same file traffic without the manager.
void BM_DirectFileRoundTrip(benchmark::State& state) {
  std::vector<uint8_t> buffer(kTileBytes, 7);
  std::string name = swap_folder() + "/qvbench_direct.swap";
  for (auto _ : state) {
    int out = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    benchmark::DoNotOptimize(write(out, buffer.data(), kTileBytes));
    close(out);
    int in = open(name.c_str(), O_RDONLY);
    benchmark::DoNotOptimize(read(in, buffer.data(), kTileBytes));
    close(in);
    unlink(name.c_str());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * 2 * kTileBytes);
}
BENCHMARK(BM_DirectFileRoundTrip);

void BM_SystemMemoryQuery(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(qvmem_query_memory_status());
}
BENCHMARK(BM_SystemMemoryQuery);

// First lock of fresh tiles with the system budget: commit, fill, unlock, free.
void BM_CommitFreshTile(benchmark::State& state) {
  start(0);
  for (auto _ : state) {
    QvmemBlock* block = qvmem_alloc(kTileBytes);
    memset(qvmem_lock(block), 3, kTileBytes);
    qvmem_unlock(block);
    qvmem_free(block);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kTileBytes);
  qvmem_shutdown();
}
BENCHMARK(BM_CommitFreshTile);

// Reading every pixel of a 1024 × 1024 image through one view, row by row (mostly hits).
void BM_TileViewScan(benchmark::State& state) {
  start(0);
  TiledImagePtr image = create_tiled_image(128, kElementBgra8, 1024, 1024);
  {
    TileViewPtr view = create_tile_view(image.get());
    for (int32_t y = 0; y < 1024; ++y) {
      for (int32_t x = 0; x < 1024; ++x) *tile_view_pixel(view.get(), x, y) = uint8_t(x ^ y);
    }
  }
  TileViewPtr view = create_tile_view(image.get());
  for (auto _ : state) {
    uint32_t sum = 0;
    for (int32_t y = 0; y < 1024; ++y) {
      for (int32_t x = 0; x < 1024; ++x) sum += *tile_view_pixel(view.get(), x, y);
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * 1024 * 1024);
  view.reset();
  image.reset();
  qvmem_shutdown();
}
BENCHMARK(BM_TileViewScan);

}  // namespace

BENCHMARK_MAIN();
