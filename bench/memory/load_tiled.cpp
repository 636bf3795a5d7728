// Loads an image file into a tiled image and reads every pixel back through one view, so that
// the loader can be timed against a plain decoder and its peak memory watched under a budget.
//   load_tiled FILE [TILE_SIZE=128] [LIMIT_MIB=0 (system budget)] [RUNS=3] [SWAP_DIR=/tmp]
// Prints the median load and scan times in seconds, and how many swap files were written.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/console.h"
#include "memory/qvmem.h"
#include "imageio/tiled_image_loader.h"
#include "memory/tiled_image.h"

namespace {

int64_t limit_bytes = 0;

QvmemMemoryStatus limited_status(void*) {
  QvmemMemoryStatus status;
  status.total_physical = status.total_virtual = int64_t(1) << 30;
  status.available_physical = status.available_virtual =
      107374182 + limit_bytes - qvmem_resident_bytes();
  return status;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: load_tiled FILE [TILE_SIZE] [LIMIT_MIB] [RUNS] [SWAP_DIR]\n");
    return 1;
  }
  const int32_t tile_size = argc > 2 ? atoi(argv[2]) : 128;
  limit_bytes = (argc > 3 ? atoll(argv[3]) : 0) * 1024 * 1024;
  const int runs = argc > 4 ? atoi(argv[4]) : 3;
  qvmem_init(argc > 5 ? argv[5] : "/tmp", 0);
  if (limit_bytes > 0) qvmem_set_memory_status_source(limited_status, nullptr);
  std::vector<double> load_times;
  std::vector<double> scan_times;
  int64_t swapped = 0;
  for (int run = 0; run < runs; ++run) {
    int64_t start = timer_ticks();
    TiledImagePtr image = load_tiled_image(argv[1], tile_size, nullptr, nullptr);
    if (!image) {
      fprintf(stderr, "cannot load %s\n", argv[1]);
      return 1;
    }
    int64_t loaded = timer_ticks();
    TileViewPtr view = create_tile_view(image.get());
    uint64_t sum = 0;
    for (int32_t y = 0; y < image->height; ++y) {
      for (int32_t x = 0; x < image->width; ++x) sum += *tile_view_pixel(view.get(), x, y);
    }
    view.reset();
    int64_t scanned = timer_ticks();
    load_times.push_back(ticks_to_seconds(loaded - start));
    scan_times.push_back(ticks_to_seconds(scanned - loaded));
    swapped = qvmem_list_stats(QVMEM_SWAPPED).highest_count;
    if (sum == 42) printf(" ");
  }
  printf("load %.3f s  scan %.3f s  (median of %d)  swap files at most %lld\n", median(load_times),
         median(scan_times), runs, static_cast<long long>(swapped));
  return 0;
}
