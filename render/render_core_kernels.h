// The inline interpolation kernels of the render core, for the renderers' row loops. A sample's
// 4 × 4 (bicubic) or 2 × 2 (bilinear) neighbourhood nearly always lies inside one tile; it is
// then read through one cache lookup and a row stride, and only neighbourhoods that straddle a
// tile edge, the seam, a face edge or the image border go through the sampler pixel by pixel.
//
// The four channels of a pixel are held as 32-bit vector lanes and every channel follows the same
// integer formula, so the vector form gives exactly the per-channel results. Callers choose the
// depth and the sampling once per image (template arguments of their row variants), never per
// pixel.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "render/render_core.h"

// Every translation unit gets its own copies (internal linkage): the AVX2 loops include these
// kernels too, and the linker must never hand their vector build to the portable code.
namespace {

// ---- lanes -----------------------------------------------------------------------------------

// The four channels of one pixel in storage order (B, G, R, A for 8-bit BGRA elements,
// R, G, B, A for 16-bit ones).
typedef int32_t Lanes __attribute__((vector_size(16)));

template <bool kSixteen>
inline Lanes load_lanes(const uint8_t* pixel) {
  if (kSixteen) {
    uint16_t samples[4];
    std::memcpy(samples, pixel, sizeof(samples));
    return Lanes{samples[0], samples[1], samples[2], samples[3]};
  }
  return Lanes{pixel[0], pixel[1], pixel[2], pixel[3]};
}

// Catmull-Rom spline through p0 … p3 at fraction f/256 between p1 and p2; every division is an
// arithmetic shift (rounding toward minus infinity).
inline Lanes catmull_rom(Lanes p0, Lanes p1, Lanes p2, Lanes p3, int32_t f) {
  const Lanes a = (f * (3 * (p1 - p2) + p3 - p0)) >> 8;
  const Lanes b = (f * (a + 2 * p0 + 4 * p2 - 5 * p1 - p3)) >> 8;
  return p1 + ((f * (b + p2 - p0)) >> 9);
}

// Linear interpolation at fraction f/256 from p0 to p1.
inline Lanes linear(Lanes p0, Lanes p1, int32_t f) {
  return p0 + ((f * (p1 - p0)) >> 8);
}

// 8-bit values taken to the 16-bit range (× 257) come back with rounding: v − v/256 + 128 turns
// 257·x into 256·x + 128, so a flat area keeps its exact value (adding 127 alone would raise
// every value above 128 by one).
inline Lanes lanes_from_16bit_range(Lanes value) {
  return (value - (value >> 8) + 128) >> 8;
}

inline Lanes clamp_lanes(Lanes value, int32_t maximum) {
  const Lanes zero = {0, 0, 0, 0};
  const Lanes top = {maximum, maximum, maximum, maximum};
  value = value < zero ? zero : value;
  return value > top ? top : value;
}

// Writes R, G, B of lanes already in output range (8-bit output rows are R, G, B bytes).
template <bool kSixteen>
inline void store_rgb(Lanes value, uint8_t* out) {
  if (kSixteen) {
    const uint16_t rgb[3] = {static_cast<uint16_t>(value[0]), static_cast<uint16_t>(value[1]),
                             static_cast<uint16_t>(value[2])};
    std::memcpy(out, rgb, sizeof(rgb));
  } else {
    out[0] = static_cast<uint8_t>(value[2]);
    out[1] = static_cast<uint8_t>(value[1]);
    out[2] = static_cast<uint8_t>(value[0]);
  }
}

// ---- neighbourhoods --------------------------------------------------------------------------

// The kSize × kSize source pixels whose top-left is (column, row) in sphere rows, as row
// pointers with a pixel step: a base pointer and a stride when the block lies inside one tile,
// else one pointer per pixel.
template <int kSize>
struct Neighbourhood {
  const uint8_t* pixels[kSize][kSize];  // [row][column], used when not contiguous
  const uint8_t* base;                  // contiguous: the top-left pixel
  size_t stride;                        // contiguous: bytes from one row to the next
  bool contiguous;
};

// The column a sampler reads for column c: wrapped once around a panorama, left for the view to
// clamp on a face.
inline int32_t sampler_column(const PanoSampler* sampler, int32_t c) {
  if (sampler->wrap_columns) {
    if (c < 0) {
      c += sampler->width;
    } else if (c >= sampler->width) {
      c -= sampler->width;
    }
  }
  return c;
}

// The image row a sampler reads for sphere row r: shifted by the offset and clamped, or -1 where
// a partial image has no row (black).
inline int32_t sampler_row(const PanoSampler* sampler, int32_t r) {
  r -= sampler->offset;
  if (r < 0 || r >= sampler->height) {
    if (!sampler->clamp) return -1;
    r = r < 0 ? 0 : sampler->height - 1;
  }
  return r;
}

// Slow path (tile edges, the seam, face edges, rows outside): the edge rules apply to the
// columns and the rows apart, then each pixel is looked up in the tile cache.
template <int kSize>
__attribute__((noinline)) bool gather_pixel_by_pixel(PanoSampler* sampler, int32_t column,
                                                     int32_t row, Neighbourhood<kSize>* out) {
  out->contiguous = false;
  int32_t columns[kSize];
  int32_t rows[kSize];
  for (int i = 0; i < kSize; ++i) {
    columns[i] = sampler_column(sampler, column + i);
    rows[i] = sampler_row(sampler, row + i);
  }
  const uint8_t* black = reinterpret_cast<const uint8_t*>(&sampler->black);
  for (int r = 0; r < kSize; ++r) {
    for (int c = 0; c < kSize; ++c) {
      out->pixels[r][c] = rows[r] < 0 ? black : tile_view_pixel(sampler->view, columns[c], rows[r]);
      if (!out->pixels[r][c]) return false;
    }
  }
  return true;
}

template <int kSize>
__attribute__((always_inline)) inline bool gather_in_one_tile(PanoSampler* sampler, int32_t column,
                                                              int32_t row,
                                                              Neighbourhood<kSize>* out) {
  const int32_t shift = sampler->tile_shift;
  const int32_t image_row = row - sampler->offset;
  const int32_t last_column = column + kSize - 1;
  const int32_t last_row = image_row + kSize - 1;
  if (column < 0 || last_column >= sampler->width || image_row < 0 || last_row >= sampler->height ||
      (column >> shift) != (last_column >> shift) || (image_row >> shift) != (last_row >> shift)) {
    return false;
  }
  out->base = tile_view_pixel(sampler->view, column, image_row);
  if (!out->base) return false;
  const int32_t tile_left = (column >> shift) << shift;
  const int32_t tile_width = std::min(1 << shift, sampler->width - tile_left);
  out->stride = static_cast<size_t>(tile_width) * sampler->element_size;
  out->contiguous = true;
  return true;
}

template <int kSize>
__attribute__((always_inline)) inline bool gather_neighbourhood(PanoSampler* sampler,
                                                                int32_t column, int32_t row,
                                                                Neighbourhood<kSize>* out) {
  // A tile that cannot be locked fails the pixel-by-pixel path too.
  return gather_in_one_tile<kSize>(sampler, column, row, out) ||
         gather_pixel_by_pixel<kSize>(sampler, column, row, out);
}

template <bool kSixteen, int kSize>
inline Lanes neighbour(const Neighbourhood<kSize>& n, int r, int c) {
  const uint8_t* pixel =
      n.contiguous ? n.base + r * n.stride + c * (kSixteen ? 8 : 4) : n.pixels[r][c];
  return load_lanes<kSixteen>(pixel);
}

// ---- samples ---------------------------------------------------------------------------------

// Catmull-Rom on the 4 × 4 pixels around a position: along x on each row, then along y. Black
// when a tile cannot be locked.
template <bool kSixteen>
__attribute__((always_inline)) inline void sample_bicubic(PanoSampler* sampler,
                                                          SamplePosition position, uint8_t* out) {
  Neighbourhood<4> n;
  if (!gather_neighbourhood<4>(sampler, (position.x >> 8) - 1, (position.y >> 8) - 1, &n)) {
    std::memset(out, 0, kSixteen ? 6 : 3);
    return;
  }
  const int32_t fx = position.x & 255;
  const int32_t fy = position.y & 255;
  // 8-bit values are taken to the 16-bit range first (× 257) and brought back with rounding.
  const int32_t scale = kSixteen ? 1 : 257;
  Lanes rows[4];
  for (int r = 0; r < 4; ++r) {
    rows[r] =
        catmull_rom(scale * neighbour<kSixteen>(n, r, 0), scale * neighbour<kSixteen>(n, r, 1),
                    scale * neighbour<kSixteen>(n, r, 2), scale * neighbour<kSixteen>(n, r, 3), fx);
  }
  Lanes value = catmull_rom(rows[0], rows[1], rows[2], rows[3], fy);
  if (!kSixteen) value = lanes_from_16bit_range(value);
  store_rgb<kSixteen>(clamp_lanes(value, kSixteen ? 65535 : 255), out);
}

// Bilinear on the 2 × 2 pixels around a position. Black when a tile cannot be locked.
template <bool kSixteen>
__attribute__((always_inline)) inline void sample_bilinear(PanoSampler* sampler,
                                                           SamplePosition position, uint8_t* out) {
  Neighbourhood<2> n;
  if (!gather_neighbourhood<2>(sampler, position.x >> 8, position.y >> 8, &n)) {
    std::memset(out, 0, kSixteen ? 6 : 3);
    return;
  }
  const int32_t fx = position.x & 255;
  const int32_t fy = position.y & 255;
  const Lanes top = linear(neighbour<kSixteen>(n, 0, 0), neighbour<kSixteen>(n, 0, 1), fx);
  const Lanes bottom = linear(neighbour<kSixteen>(n, 1, 0), neighbour<kSixteen>(n, 1, 1), fx);
  store_rgb<kSixteen>(linear(top, bottom, fy), out);
}

// One of the two samplings, chosen by the caller's row variant.
template <bool kSixteen, bool kBicubic>
__attribute__((always_inline)) inline void sample_pixel(PanoSampler* sampler,
                                                        SamplePosition position, uint8_t* out) {
  if (kBicubic) {
    sample_bicubic<kSixteen>(sampler, position, out);
  } else {
    sample_bilinear<kSixteen>(sampler, position, out);
  }
}

// A run of positions into count output pixels with one of the two samplings, one at a time.
template <bool kSixteen, bool kBicubic>
__attribute__((always_inline)) inline void sample_run(PanoSampler* sampler,
                                                      const SamplePosition* positions,
                                                      int32_t count, uint8_t* out) {
  const int32_t pixel_bytes = kSixteen ? 6 : 3;
  for (int32_t i = 0; i < count; ++i) {
    sample_pixel<kSixteen, kBicubic>(sampler, positions[i], out + i * pixel_bytes);
  }
}

}  // namespace
