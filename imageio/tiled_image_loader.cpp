// Loading an image file into a tiled image. Memory while loading stays near one pass buffer
// (at most 4 MiB, or one row when a row is larger) plus the tiles of the band being filled:
// each pass reads some rows of the band, then every tile of the band takes its part of them.
#include <algorithm>
#include <cstring>
#include <vector>

#include "base/files.h"
#include "imageio/image_file.h"
#include "imageio/tiled_image_loader.h"

namespace {

constexpr int64_t kPassBytes = 4194304;
constexpr size_t kSignatureBytes = 64;

// Converts one row of the file's pixels into the element layout of the tiled image.
using ElementConverter = void (*)(const uint8_t* source, uint8_t* target, int32_t width);

void rgb8_to_bgra8(const uint8_t* source, uint8_t* target, int32_t width) {
  for (int32_t x = 0; x < width; ++x, source += 3, target += 4) {
    target[0] = source[2];
    target[1] = source[1];
    target[2] = source[0];
    target[3] = 255;
  }
}

void rgba8_to_bgra8(const uint8_t* source, uint8_t* target, int32_t width) {
  for (int32_t x = 0; x < width; ++x, source += 4, target += 4) {
    target[0] = source[2];
    target[1] = source[1];
    target[2] = source[0];
    target[3] = source[3];
  }
}

void rgb16_to_rgba16(const uint8_t* source, uint8_t* target, int32_t width) {
  const uint16_t opaque = 65535;
  for (int32_t x = 0; x < width; ++x, source += 6, target += 8) {
    memcpy(target, source, 6);
    memcpy(target + 6, &opaque, 2);
  }
}

void copy_rgba16(const uint8_t* source, uint8_t* target, int32_t width) {
  memcpy(target, source, static_cast<size_t>(width) * 8);
}

struct Layout {
  int32_t bits_per_pixel;
  int32_t element_type;
  ElementConverter convert;
};

const Layout kLayouts[] = {
    {24, kElementBgra8, rgb8_to_bgra8},
    {32, kElementBgra8, rgba8_to_bgra8},
    {48, kElementRgba16, rgb16_to_rgba16},
    {64, kElementRgba16, copy_rgba16},
};

const Layout* layout_for(int32_t bits_per_pixel) {
  for (const Layout& layout : kLayouts) {
    if (layout.bits_per_pixel == bits_per_pixel) return &layout;
  }
  return nullptr;
}

bool has_readable_signature(const std::string& path) {
  FilePtr file = open_file(path, "rb");
  if (!file) return false;
  uint8_t head[kSignatureBytes] = {};
  size_t bytes = fread(head, 1, sizeof(head), file.get());
  return image_kind_for_signature(head, bytes) != kImageNone;
}

// Copies rows [0, rows) of the pass buffer into the tiles of band, starting at tile row
// first_row; false when a tile cannot be locked.
bool copy_pass_into_band(TiledImage* image, int32_t band, const uint8_t* pass, int32_t rows,
                         int32_t first_row) {
  const size_t pass_stride = static_cast<size_t>(image->width) * image->element_size;
  for (int32_t column = 0; column < image->tiles_across; ++column) {
    Tile* tile = tile_at(image, column, band);
    auto* pixels = static_cast<uint8_t*>(qvmem_lock(tile->block));
    if (!pixels) return false;
    const size_t tile_stride = static_cast<size_t>(tile->width) * image->element_size;
    const size_t left = static_cast<size_t>(column) * image->tile_size * image->element_size;
    for (int32_t r = 0; r < rows; ++r) {
      memcpy(pixels + static_cast<size_t>(first_row + r) * tile_stride,
             pass + static_cast<size_t>(r) * pass_stride + left, tile_stride);
    }
    qvmem_unlock(tile->block);
  }
  return true;
}

}  // namespace

TiledImagePtr load_tiled_image(const std::string& path, int32_t tile_size,
                               TileLoadProgressFn progress, void* user) {
  if (!has_readable_signature(path)) return nullptr;
  ImageFilePtr reader = image_open_read(path, nullptr);
  if (!reader || reader->width <= 0 || reader->height <= 0) return nullptr;
  const Layout* layout = layout_for(reader->bits_per_pixel);
  if (!layout) return nullptr;
  TiledImagePtr image =
      create_tiled_image(tile_size, layout->element_type, reader->width, reader->height);
  if (!image) return nullptr;

  const int64_t row_bytes = int64_t{image->width} * image->element_size;
  const int32_t rows_per_pass = static_cast<int32_t>(std::max<int64_t>(1, kPassBytes / row_bytes));
  std::vector<uint8_t> pass(
      static_cast<size_t>(std::min<int64_t>(rows_per_pass, image->height) * row_bytes));
  std::vector<uint8_t> input(static_cast<size_t>(reader->bytes_per_row));
  int32_t rows_done = 0;
  for (int32_t band = 0; band < image->tiles_down; ++band) {
    const int32_t band_rows = tile_at(image.get(), 0, band)->height;
    for (int32_t filled = 0; filled < band_rows;) {
      const int32_t rows = std::min(rows_per_pass, band_rows - filled);
      for (int32_t r = 0; r < rows; ++r) {
        if (!image_read_row(reader.get(), input.data())) return nullptr;
        layout->convert(input.data(), pass.data() + r * row_bytes, image->width);
        ++rows_done;
        if (progress) progress(user, rows_done, image->height);
      }
      if (!copy_pass_into_band(image.get(), band, pass.data(), rows, filled)) return nullptr;
      filled += rows;
    }
  }
  image_close(std::move(reader));
  image->loaded_from_file = true;
  return image;
}
