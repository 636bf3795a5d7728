// Row rendering of cube faces and views from a synthetic 8192 × 4096 panorama held in tiles:
// bicubic and bilinear sampling, face rows (16-pixel spans) and view rows (every pixel exact).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "render/sphere_to_cube.h"

namespace {

struct Panorama {
  TiledImagePtr image;
  TileViewPtr view;
  PanoSampler sampler;
  RenderSettings settings;
  Panorama() {
    image = create_tiled_image(128, kElementBgra8, 8192, 4096);
    for (Tile& tile : image->tiles) {
      uint8_t* pixels = static_cast<uint8_t*>(qvmem_lock(tile.block));
      for (int32_t i = 0; i < tile.width * tile.height * 4; ++i) {
        pixels[i] = static_cast<uint8_t>(i * 2654435761u >> 13);
      }
      qvmem_unlock(tile.block);
    }
    view = create_tile_view(image.get());
    sampler = make_pano_sampler(image.get(), view.get());
    settings.sampler = &sampler;
  }
};

Panorama& panorama() {
  static Panorama shared;
  return shared;
}

// state.range(0): face number (-1 for a 100° view); state.range(1): 1 bicubic, 0 bilinear.
void BM_RenderRows(benchmark::State& state) {
  Panorama& pano = panorama();
  pano.settings.fast = state.range(1) == 0;
  const int32_t face = static_cast<int32_t>(state.range(0));
  const int32_t size = 2608;  // the natural face size of the panorama
  RenderContext context;
  init_render_context(&context, pano.settings, size, size, face, nullptr, 0, 0, 0, 100);
  std::vector<uint8_t> rendered(3 * static_cast<size_t>(size));
  int32_t row = 0;
  for (auto _ : state) {
    context.render_row(&context, row, rendered.data());
    benchmark::DoNotOptimize(rendered.data());
    row = (row + 1) % size;  // in order, as a face is rendered
  }
  state.SetItemsProcessed(state.iterations() * size);
}

BENCHMARK(BM_RenderRows)
    ->ArgsProduct({{1, 4, -1}, {1, 0}})
    ->ArgNames({"face", "bicubic"})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
