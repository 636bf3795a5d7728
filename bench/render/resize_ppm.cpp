// resize_ppm: resizes a binary PPM (8-bit P6, or 16-bit P6 with maxval 65535) with the streaming
// resizer, reading source rows and writing destination rows as it goes, as the tools do. Prints
// the time spent inside the resizer alone, which compares with a peer resizing raw pixels.
//
//   resize_ppm IN.ppm OUT.ppm|- WIDTH HEIGHT [FILTER] [wrap] [portable]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/console.h"
#include "base/files.h"
#include "render/resize.h"

namespace {

// Reads "P6 width height maxval" and the one blank after it.
bool read_ppm_header(FILE* file, int* width, int* height, int* maxval) {
  return std::fscanf(file, "P6 %d %d %d", width, height, maxval) == 3 && std::fgetc(file) != EOF &&
         *width > 0 && *height > 0 && *maxval > 0 && *maxval < 65536;
}

// PPM samples wider than 8 bits are big-endian; the resizer takes native order.
void swap_16bit_samples(uint8_t* data, size_t size) {
  for (size_t i = 0; i + 1 < size; i += 2) std::swap(data[i], data[i + 1]);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::printf("usage: resize_ppm IN.ppm OUT.ppm|- WIDTH HEIGHT [FILTER] [wrap] [portable]\n");
    return 1;
  }
  FilePtr in = open_file(argv[1], "rb");
  int width = 0, height = 0, maxval = 0;
  if (!in || !read_ppm_header(in.get(), &width, &height, &maxval)) {
    std::printf("ERROR: cannot read %s\n", argv[1]);
    return 1;
  }
  const bool wide = maxval > 255;
  const int out_width = std::atoi(argv[3]);
  const int out_height = std::atoi(argv[4]);
  const int32_t filter = parse_filter_name(argc > 5 ? argv[5] : "lanczos");
  bool wrap = false, portable = false;
  for (int i = 6; i < argc; ++i) {
    wrap |= std::strcmp(argv[i], "wrap") == 0;
    portable |= std::strcmp(argv[i], "portable") == 0;
  }
  ResizerPtr resizer = resizer_create(out_width, out_height, width, height,
                                      wide ? kPixelRgb16 : kPixelRgb8, filter, wrap);
  if (!resizer) {
    std::printf("ERROR: cannot create the resizer\n");
    return 1;
  }
  if (portable) resizer_use_portable_loops(resizer.get());
  FilePtr out;
  if (std::strcmp(argv[2], "-") != 0) {
    out = open_file(argv[2], "wb");
    if (!out) {
      std::printf("ERROR: cannot write %s\n", argv[2]);
      return 1;
    }
    std::fprintf(out.get(), "P6\n%d %d\n%d\n", out_width, out_height, wide ? 65535 : 255);
  }
  const size_t source_line = static_cast<size_t>(width) * resizer->bytes_per_pixel;
  std::vector<uint8_t> buffer(std::max(source_line, resizer->line_size));
  int64_t resize_ticks = 0;
  int32_t produced = 0;
  auto emit = [&]() {
    ++produced;
    if (!out) return;
    if (wide) swap_16bit_samples(buffer.data(), resizer->line_size);
    std::fwrite(buffer.data(), 1, resizer->line_size, out.get());
  };
  for (int y = 0; y < height; ++y) {
    if (std::fread(buffer.data(), 1, source_line, in.get()) != source_line) {
      std::printf("ERROR: %s ends early\n", argv[1]);
      return 1;
    }
    if (wide) swap_16bit_samples(buffer.data(), source_line);
    int64_t start = timer_ticks();
    int ready = resizer_push_row(buffer.data(), resizer.get(), buffer.data());
    resize_ticks += timer_ticks() - start;
    while (ready == 1) {
      emit();
      start = timer_ticks();
      ready = resizer_push_row(nullptr, resizer.get(), buffer.data());
      resize_ticks += timer_ticks() - start;
    }
  }
  std::printf("resize %dx%d -> %dx%d: %.3f s (%d rows)\n", width, height, out_width, out_height,
              ticks_to_seconds(resize_ticks), produced);
  return produced == out_height ? 0 : 1;
}
