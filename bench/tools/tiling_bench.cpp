// The tiling core's own cost, without JPEG coding: a 4000 × 2000 KRO image cut into 512-pixel
// KRO tiles, merged back from them, and resized to half while cutting.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "imageio/image_file.h"
#include "render/tiling.h"

namespace {

constexpr int kWidth = 4000;
constexpr int kHeight = 2000;

// A folder with the source image, made once per process and removed at exit.
const std::string& bench_folder() {
  static const std::string folder = [] {
    char pattern[] = "/tmp/tiling_bench_XXXXXX";
    std::string path = mkdtemp(pattern) ? pattern : "/tmp";
    ImageProps props;
    image_default_props(&props);
    ImageFilePtr file = image_create_write(kPixelRgb8, path + "/in.kro", kWidth, kHeight, props);
    std::vector<uint8_t> row(kWidth * 3);
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < kWidth * 3; ++x) row[x] = static_cast<uint8_t>(x * 7 + y * 13);
      image_write_row(file.get(), row.data());
    }
    image_close(std::move(file));
    std::atexit([] {
      std::string command = "rm -rf " + bench_folder();
      if (system(command.c_str()) != 0) return;
    });
    return path;
  }();
  return folder;
}

TileJob bench_job(const std::string& input, const std::string& output, int tile_size) {
  TileJob job;
  init_tile_job(&job);
  job.quiet = true;
  job.input = input;
  job.output = output;
  job.tile_width = tile_size;
  return job;
}

void BM_CutIntoKroTiles(benchmark::State& state) {
  const std::string& dir = bench_folder();
  for (auto _ : state) {
    TileJob job = bench_job(dir + "/in.kro", dir + "/tiles/%v_%h.kro", 512);
    if (!make_tiles(&job)) state.SkipWithError("make_tiles failed");
  }
  state.SetBytesProcessed(state.iterations() * int64_t{kWidth} * kHeight * 3);
}
BENCHMARK(BM_CutIntoKroTiles)->Unit(benchmark::kMillisecond);

void BM_MergeKroTiles(benchmark::State& state) {
  const std::string& dir = bench_folder();
  TileJob cut = bench_job(dir + "/in.kro", dir + "/merge/%v_%h.kro", 512);
  if (!make_tiles(&cut)) state.SkipWithError("make_tiles failed");
  for (auto _ : state) {
    TileJob job = bench_job(dir + "/merge/%v_%h.kro", dir + "/merged.kro", 0);
    job.tiled_input = true;
    job.in_width = kWidth;
    job.in_height = kHeight;
    job.in_tile_width = 512;
    job.in_tile_height = 512;
    if (!make_tiles(&job)) state.SkipWithError("make_tiles failed");
  }
  state.SetBytesProcessed(state.iterations() * int64_t{kWidth} * kHeight * 3);
}
BENCHMARK(BM_MergeKroTiles)->Unit(benchmark::kMillisecond);

void BM_ResizeHalfAndCut(benchmark::State& state) {
  const std::string& dir = bench_folder();
  for (auto _ : state) {
    TileJob job = bench_job(dir + "/in.kro", dir + "/half/%v_%h.kro", 512);
    job.resize = true;
    job.resize_width = kWidth / 2;
    job.resize_height = kHeight / 2;
    if (!make_tiles(&job)) state.SkipWithError("make_tiles failed");
  }
  state.SetBytesProcessed(state.iterations() * int64_t{kWidth} * kHeight * 3);
}
BENCHMARK(BM_ResizeHalfAndCut)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
