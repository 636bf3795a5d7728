// Exact source positions of the pixels of a camera row: the texture coordinates of each pixel's
// ray on the sphere or the cylinder, in fixed point with 8 fractional bits.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "render/panorama_geometry.h"
#include "render/render_core.h"

// Fixed-point coordinates are kept within ±2^30: far outside any image, where the sampler
// clamps or blanks them like any other outside position, but never past the 32-bit range (a ray
// near the pole of a cylinder has a huge one).
constexpr double kFixedPointLimit = 1 << 30;

// Truncation toward zero within the limits; not a number goes to the lower one (std::max keeps
// its first argument when the comparison fails). No branches, so span loops stay vectorised.
inline int32_t fixed_point(double value) {
  return static_cast<int32_t>(std::min(std::max(-kFixedPointLimit, value), kFixedPointLimit));
}

// Fixed-point source position of texture coordinates (truncation toward zero, then half a pixel
// back from the pixel edge to its centre).
inline SamplePosition sample_position(double u, double v, double width_256, double extent_256) {
  return {fixed_point(u * width_256) - 128, fixed_point(v * extent_256) - 128};
}

// The position of one pixel's ray.
inline SamplePosition exact_position(const CameraFrame& camera, bool cylinder, int32_t column,
                                     int32_t row, double width_256, double extent_256) {
  const TextureCoord texture =
      direction_to_equirect(camera_frame_ray(camera, column, row), cylinder);
  return sample_position(texture.u, texture.v, width_256, extent_256);
}

// The positions of pixels first … first + count − 1 of a row into out[0 … count − 1]. Where the
// processor has AVX2 four rays are taken at a time; the positions are those of exact_position.
void exact_row_positions(const CameraFrame& camera, bool cylinder, int32_t row, int32_t first,
                         int32_t count, double width_256, double extent_256, SamplePosition* out);

// Spans of 16 pixels between exact texture coordinates: ends[k] and ends[k + 1] bound span k,
// whose first pixel is first + 16·k, for k = 0 … count − 1. du crosses the 360° seam the short
// way, and the pixels of a span are reached by repeated addition. Several spans are filled side
// by side, each with its own sums (with AVX2 four in one vector), so the positions are those of
// one span at a time.
void span_positions(const TextureCoord* ends, int32_t first, int32_t count, double width_256,
                    double extent_256, SamplePosition* positions);

// The first pixel's coordinates of a span and the steps to the next pixel.
struct SpanSteps {
  double u, v, step_u, step_v;
};

inline SpanSteps span_steps(const TextureCoord& begin, const TextureCoord& end) {
  double du = end.u - begin.u;
  if (du < -0.5) {
    du += 1.0;
  } else if (du > 0.5) {
    du -= 1.0;
  }
  return {begin.u, begin.v, du / 16.0, (end.v - begin.v) / 16.0};
}

// A row of a turned sphere (the smooth preview turns its sphere about the x axis): column x looks
// along (cos λx · cos φ, sin φ, sin λx · cos φ), turned by the rows of m; the source position is
// the turned direction's longitude and latitude in fixed point over scales of (W + 1) · 256 and
// (H + 1) · 256.
struct TurnedRow {
  const double* cosines;  // cos λx and sin λx per column
  const double* sines;
  double cosine_latitude;
  double sine_latitude;
  const double (*m)[3];
  double width_scale;
  double height_scale;
};

inline void turned_position(const TurnedRow& t, int32_t x, int32_t* sx, int32_t* sy) {
  const double d[3] = {t.cosines[x] * t.cosine_latitude, t.sine_latitude,
                       t.sines[x] * t.cosine_latitude};
  double r[3];
  for (int j = 0; j < 3; ++j) r[j] = d[0] * t.m[0][j] + d[1] * t.m[1][j] + d[2] * t.m[2][j];
  const double longitude = std::atan2(r[2], r[0]);
  const double latitude = std::atan2(r[1], std::sqrt(r[0] * r[0] + r[2] * r[2]));
  *sx = static_cast<int32_t>((longitude / (2.0 * kPi) + 0.25) * t.width_scale) - 128;
  *sy = static_cast<int32_t>((latitude / kPi + 0.5) * t.height_scale) - 128;
}

// The positions of columns 0 … count − 1 (with AVX2 four at a time; the same as turned_position).
void turned_row_positions(const TurnedRow& row, int32_t count, int32_t* xs, int32_t* ys);
