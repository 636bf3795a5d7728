// Micro-benchmarks of the streaming resizer on synthetic rows: halving and enlarging RGB with
// LANCZOS, 16-bit RGB, and the portable loops for comparison with the vector loops.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "render/resize.h"

namespace {

void run_resize(benchmark::State& state, int sw, int sh, int dw, int dh, int32_t format,
                int32_t filter, bool portable) {
  const int bpp = format == kPixelRgb16 ? 6 : (format == kPixelGray8 ? 1 : 3);
  std::vector<uint8_t> row(static_cast<size_t>(sw) * bpp);
  std::mt19937 random(1);
  for (uint8_t& b : row) b = static_cast<uint8_t>(random());
  std::vector<uint8_t> buffer(std::max<size_t>(row.size(), static_cast<size_t>(dw) * bpp));
  for (auto _ : state) {
    ResizerPtr r = resizer_create(dw, dh, sw, sh, format, filter, true);
    if (portable) resizer_use_portable_loops(r.get());
    for (int y = 0; y < sh; ++y) {
      std::memcpy(buffer.data(), row.data(), row.size());
      int ready = resizer_push_row(buffer.data(), r.get(), buffer.data());
      while (ready == 1) ready = resizer_push_row(nullptr, r.get(), buffer.data());
    }
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(sw) * sh);
}

void BM_HalveRgb8Lanczos(benchmark::State& s) {
  run_resize(s, 2000, 1000, 1000, 500, kPixelRgb8, kFilterLanczos, false);
}
void BM_HalveRgb8LanczosPortable(benchmark::State& s) {
  run_resize(s, 2000, 1000, 1000, 500, kPixelRgb8, kFilterLanczos, true);
}
void BM_HalveRgb16Lanczos(benchmark::State& s) {
  run_resize(s, 2000, 1000, 1000, 500, kPixelRgb16, kFilterLanczos, false);
}
void BM_DoubleRgb8Lanczos(benchmark::State& s) {
  run_resize(s, 1000, 500, 2000, 1000, kPixelRgb8, kFilterLanczos, false);
}
void BM_ThumbnailGray8Point(benchmark::State& s) {
  run_resize(s, 2000, 1000, 200, 100, kPixelGray8, kFilterPoint, false);
}

BENCHMARK(BM_HalveRgb8Lanczos)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HalveRgb8LanczosPortable)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HalveRgb16Lanczos)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DoubleRgb8Lanczos)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ThumbnailGray8Point)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
