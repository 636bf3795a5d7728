// Fixed-point interpolation of whole pixels, shared by the renderers: the four channels of a
// pixel are held as 32-bit vector lanes and every channel follows the same integer formula, so
// the vector form gives exactly the per-channel results.
#pragma once

#include <cstdint>
#include <cstring>

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
