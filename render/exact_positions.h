// Exact source positions of the pixels of a camera row: the texture coordinates of each pixel's
// ray on the sphere or the cylinder, in fixed point with 8 fractional bits.
#pragma once

#include <algorithm>
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
