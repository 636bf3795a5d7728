// Inner loops of the resizer, one record per pixel format and instruction set. The record is
// chosen when a resizer is created, so no per-pixel code decides on the format. Every variant
// gives bit-identical results: fixed-point weights, 32-bit sums, the same rounding and clamping.
// This header is shared by the resizer and its vector-loop source only.
#pragma once

#include <cstdint>

// Filters one source row into one window row of `count` pixels. `source` points at source pixel
// 0 of a row with margins on both sides wide enough for every window; pixel i of the output
// sums `taps` weights (weights + i * taps, zero past the real taps) times the pixels from
// firsts[i] on, then rounds and clamps.
using HorizontalLoopFn = void (*)(const uint8_t* source, const int32_t* firsts,
                                  const int32_t* weights, int32_t taps, int32_t count,
                                  uint8_t* out);

// Filters `taps` window rows into one destination row of `samples` 8-bit or 16-bit values.
using VerticalLoopFn = void (*)(const uint8_t* const* rows, const int32_t* weights, int32_t taps,
                                int32_t samples, uint8_t* out);

// Splits `width` interleaved 8-bit RGB pixels into three planes (R, G, B).
using SplitPlanesFn = void (*)(const uint8_t* row, int32_t width, uint8_t* const* planes);

// The horizontal pass on planes: `planes` point at source pixel 0 of three planes with margins
// wide enough for every window; pixel i sums `taps` (a multiple of 16, or exactly 8) taps from
// firsts[i] on, weighted by the halves of its fixed-point weights (halves + i * taps * 2: per
// step of planar_tap_step(taps) taps, that many low bytes w & 255 then as many high parts w >> 8,
// as 16-bit values), then rounds and clamps like the interleaved pass.
using PlanarHorizontalFn = void (*)(const uint8_t* const* planes, const int32_t* firsts,
                                    const int16_t* halves, int32_t taps, int32_t count,
                                    uint8_t* out);

// The loops for one pixel format.
struct ResizerLoops {
  HorizontalLoopFn horizontal;
  VerticalLoopFn vertical;
  int32_t tap_multiple;                            // padded tap counts of the horizontal list
                                                   // are multiples of this
  SplitPlanesFn split_planes = nullptr;            // 8-bit RGB only: the planar pass, taken when
  PlanarHorizontalFn planar_horizontal = nullptr;  // every weight splits into 16-bit halves
};

// Planar passes sum this many taps per step; their tap counts are multiples of it, but for short
// windows (an enlargement by a small factor), which take kPlanarShortTaps taps in one step and
// are filtered two pixels at a time.
constexpr int32_t kPlanarTapStep = 16;
constexpr int32_t kPlanarShortTaps = 8;

// The planar tap count for a padded tap count, and the taps of one step of its weight table.
inline int32_t planar_tap_count(int32_t padded_taps) {
  if (padded_taps <= kPlanarShortTaps) return kPlanarShortTaps;
  return (padded_taps + kPlanarTapStep - 1) / kPlanarTapStep * kPlanarTapStep;
}
inline int32_t planar_tap_step(int32_t plane_taps) {
  return plane_taps == kPlanarShortTaps ? kPlanarShortTaps : kPlanarTapStep;
}

// Portable loops for a pixel format code; null for unknown codes.
const ResizerLoops* portable_resizer_loops(int32_t pixel_format);

// AVX2 loops for a pixel format code; null for unknown codes. Call only when the processor
// has AVX2.
const ResizerLoops* avx2_resizer_loops(int32_t pixel_format);

// Fixed-point scales and the rounding shifts that go with them.
constexpr int kWeightBits8 = 20;   // 8-bit data: 1.0 = 2^20
constexpr int kWeightBits16 = 14;  // 16-bit data: 1.0 = 2^14

// Extra bytes after the last pixel of a padded source row and of a window row, so that vector
// loads and stores may run a little past the last pixel.
constexpr int kRowSlackBytes = 32;
