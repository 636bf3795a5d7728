// AVX2 inner loops of the resizer. This file is compiled with -mavx2 and is only entered when
// the processor reports AVX2, so it includes nothing but intrinsics and plain C declarations
// (no inline library code that the linker could share with ordinary code).
//
// The arithmetic is exactly that of the portable loops: 32-bit products of samples and fixed-
// point weights summed in 32 bits, then (sum + half) >> bits and a clamp. Sums of 32-bit lanes
// wrap identically in any order, so the results are bit-identical.
//
// Horizontal pass, 3- and 4-channel formats: four taps per step, in two pairs with their own
// sums. The 16 bytes at tap j are broadcast to both halves of a 256-bit register and one byte
// shuffle widens pixel j into the low half and pixel j + 1 into the high half (four 32-bit
// lanes each, the fourth zero for RGB); a second shuffle of the same bytes (8-bit) or of the
// bytes at tap j + 2 (16-bit) does the same for pixels j + 2 and j + 3. The four weights are
// spread to match, and the sums and halves are added at the end.
// 8-bit RGB, when every weight splits into a low byte and a 16-bit high part: the row is split
// into three planes first and each destination pixel takes 16 taps per step and plane with two
// 16-bit multiply-adds; (high sum << 8) + low sum is the 32-bit sum of the weights themselves.
// Gray: eight taps per step, one pixel per lane, summed across the lanes at the end.
// Vertical pass: 32 samples per step in four accumulators, one broadcast weight per window row.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "render/resize_loops.h"

namespace {

constexpr char Z = static_cast<char>(0x80);  // shuffle index that yields a zero byte

// Byte shuffles (per 128-bit half) that widen two adjacent pixels to 32-bit lanes.
__m256i shuffle_rgb8() {
  return _mm256_setr_epi8(0, Z, Z, Z, 1, Z, Z, Z, 2, Z, Z, Z, Z, Z, Z, Z,  //
                          3, Z, Z, Z, 4, Z, Z, Z, 5, Z, Z, Z, Z, Z, Z, Z);
}
__m256i shuffle_rgba8() {
  return _mm256_setr_epi8(0, Z, Z, Z, 1, Z, Z, Z, 2, Z, Z, Z, 3, Z, Z, Z,  //
                          4, Z, Z, Z, 5, Z, Z, Z, 6, Z, Z, Z, 7, Z, Z, Z);
}
__m256i shuffle_rgb16() {
  return _mm256_setr_epi8(0, 1, Z, Z, 2, 3, Z, Z, 4, 5, Z, Z, Z, Z, Z, Z,  //
                          6, 7, Z, Z, 8, 9, Z, Z, 10, 11, Z, Z, Z, Z, Z, Z);
}
__m256i shuffle_rgba16() {
  return _mm256_setr_epi8(0, 1, Z, Z, 2, 3, Z, Z, 4, 5, Z, Z, 6, 7, Z, Z,  //
                          8, 9, Z, Z, 10, 11, Z, Z, 12, 13, Z, Z, 14, 15, Z, Z);
}

enum class Layout { kRgb8, kRgba8, kRgb16, kRgba16 };

template <Layout kLayout>
__m256i pair_shuffle() {
  switch (kLayout) {
    case Layout::kRgb8:
      return shuffle_rgb8();
    case Layout::kRgba8:
      return shuffle_rgba8();
    case Layout::kRgb16:
      return shuffle_rgb16();
    default:
      return shuffle_rgba16();
  }
}

template <Layout kLayout>
void horizontal_pairs(const uint8_t* source, const int32_t* firsts, const int32_t* weights,
                      int32_t taps, int32_t count, uint8_t* out) {
  constexpr bool kWide = kLayout == Layout::kRgb16 || kLayout == Layout::kRgba16;
  constexpr int kChannels = (kLayout == Layout::kRgb8 || kLayout == Layout::kRgb16) ? 3 : 4;
  constexpr int kBytesPerPixel = kChannels * (kWide ? 2 : 1);
  constexpr int kBits = kWide ? kWeightBits16 : kWeightBits8;
  const __m256i shuffle = pair_shuffle<kLayout>();
  // The same widening two pixels further on: every byte index that is not a zero moves on by
  // two pixels.
  const __m256i shuffle_next = _mm256_add_epi8(
      shuffle, _mm256_andnot_si256(_mm256_cmpgt_epi8(_mm256_setzero_si256(), shuffle),
                                   _mm256_set1_epi8(2 * kBytesPerPixel)));
  const __m256i spread = _mm256_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1);
  const __m256i spread_next = _mm256_setr_epi32(2, 2, 2, 2, 3, 3, 3, 3);
  const __m128i half = _mm_set1_epi32(1 << (kBits - 1));
  for (int32_t i = 0; i < count; ++i) {
    const uint8_t* pixel = source + static_cast<ptrdiff_t>(firsts[i]) * kBytesPerPixel;
    const int32_t* weight = weights + static_cast<ptrdiff_t>(i) * taps;
    __m256i sum = _mm256_setzero_si256();
    __m256i sum_next = _mm256_setzero_si256();
    for (int32_t j = 0; j < taps; j += 4) {
      const uint8_t* at = pixel + j * kBytesPerPixel;
      const __m256i samples = _mm256_shuffle_epi8(
          _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at))),
          shuffle);
      // 8-bit pixels j … j + 3 share one load; 16-bit ones take a second.
      const __m256i samples_next =
          kWide
              ? _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(_mm_loadu_si128(
                                        reinterpret_cast<const __m128i*>(at + 2 * kBytesPerPixel))),
                                    shuffle)
              : _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(
                                        _mm_loadu_si128(reinterpret_cast<const __m128i*>(at))),
                                    shuffle_next);
      const __m256i four =
          _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(weight + j)));
      sum = _mm256_add_epi32(
          sum, _mm256_mullo_epi32(samples, _mm256_permutevar8x32_epi32(four, spread)));
      sum_next = _mm256_add_epi32(
          sum_next,
          _mm256_mullo_epi32(samples_next, _mm256_permutevar8x32_epi32(four, spread_next)));
    }
    sum = _mm256_add_epi32(sum, sum_next);
    __m128i total = _mm_add_epi32(_mm256_castsi256_si128(sum), _mm256_extracti128_si256(sum, 1));
    total = _mm_srai_epi32(_mm_add_epi32(total, half), kBits);
    // The store may write one pixel's worth of zeros past this pixel (RGB); the next pixel or
    // the row's slack takes them.
    if (kWide) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + static_cast<ptrdiff_t>(i) * kBytesPerPixel),
                       _mm_packus_epi32(total, total));
    } else {
      const int32_t packed =
          _mm_cvtsi128_si32(_mm_packus_epi16(_mm_packs_epi32(total, total), _mm_setzero_si128()));
      std::memcpy(out + static_cast<ptrdiff_t>(i) * kBytesPerPixel, &packed, 4);
    }
  }
}

void horizontal_gray8(const uint8_t* source, const int32_t* firsts, const int32_t* weights,
                      int32_t taps, int32_t count, uint8_t* out) {
  for (int32_t i = 0; i < count; ++i) {
    const uint8_t* pixel = source + firsts[i];
    const int32_t* weight = weights + static_cast<ptrdiff_t>(i) * taps;
    __m256i sum = _mm256_setzero_si256();
    for (int32_t j = 0; j < taps; j += 8) {
      const __m256i samples =
          _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(pixel + j)));
      const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(weight + j));
      sum = _mm256_add_epi32(sum, _mm256_mullo_epi32(samples, w));
    }
    __m128i total = _mm_add_epi32(_mm256_castsi256_si128(sum), _mm256_extracti128_si256(sum, 1));
    total = _mm_add_epi32(total, _mm_shuffle_epi32(total, _MM_SHUFFLE(1, 0, 3, 2)));
    total = _mm_add_epi32(total, _mm_shuffle_epi32(total, _MM_SHUFFLE(2, 3, 0, 1)));
    const uint32_t lanes = static_cast<uint32_t>(_mm_cvtsi128_si32(total));
    const int32_t value = static_cast<int32_t>(lanes + (1u << (kWeightBits8 - 1))) >> kWeightBits8;
    out[i] = static_cast<uint8_t>(value < 0 ? 0 : (value > 255 ? 255 : value));
  }
}

// Thirty-two RGB pixels per step: each half of three 256-bit registers takes 16 bytes of one
// group of sixteen pixels (48 bytes), so that every plane byte comes from one of the three
// registers at the same half, picked by one shuffle per register; sixteen at a time and then
// one by one for the rest.
__m256i twice(__m128i value) {
  return _mm256_broadcastsi128_si256(value);
}

void split_rgb8_planes(const uint8_t* row, int32_t width, uint8_t* const* planes) {
  const __m128i r0 = _mm_setr_epi8(0, 3, 6, 9, 12, 15, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z);
  const __m128i r1 = _mm_setr_epi8(Z, Z, Z, Z, Z, Z, 2, 5, 8, 11, 14, Z, Z, Z, Z, Z);
  const __m128i r2 = _mm_setr_epi8(Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, 1, 4, 7, 10, 13);
  const __m128i g0 = _mm_setr_epi8(1, 4, 7, 10, 13, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z);
  const __m128i g1 = _mm_setr_epi8(Z, Z, Z, Z, Z, 0, 3, 6, 9, 12, 15, Z, Z, Z, Z, Z);
  const __m128i g2 = _mm_setr_epi8(Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, 2, 5, 8, 11, 14);
  const __m128i b0 = _mm_setr_epi8(2, 5, 8, 11, 14, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z);
  const __m128i b1 = _mm_setr_epi8(Z, Z, Z, Z, Z, 1, 4, 7, 10, 13, Z, Z, Z, Z, Z, Z);
  const __m128i b2 = _mm_setr_epi8(Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, 0, 3, 6, 9, 12, 15);
  const __m256i wide_r0 = twice(r0), wide_r1 = twice(r1), wide_r2 = twice(r2);
  const __m256i wide_g0 = twice(g0), wide_g1 = twice(g1), wide_g2 = twice(g2);
  const __m256i wide_b0 = twice(b0), wide_b1 = twice(b1), wide_b2 = twice(b2);
  const auto load = [row](int32_t x, int offset) {
    return _mm_loadu_si128(
        reinterpret_cast<const __m128i*>(row + static_cast<ptrdiff_t>(x) * 3 + offset));
  };
  int32_t x = 0;
  for (; x + 32 <= width; x += 32) {
    const __m256i a = _mm256_inserti128_si256(_mm256_castsi128_si256(load(x, 0)), load(x, 48), 1);
    const __m256i b = _mm256_inserti128_si256(_mm256_castsi128_si256(load(x, 16)), load(x, 64), 1);
    const __m256i c = _mm256_inserti128_si256(_mm256_castsi128_si256(load(x, 32)), load(x, 80), 1);
    const auto pick = [&](__m256i m0, __m256i m1, __m256i m2) {
      return _mm256_or_si256(
          _mm256_or_si256(_mm256_shuffle_epi8(a, m0), _mm256_shuffle_epi8(b, m1)),
          _mm256_shuffle_epi8(c, m2));
    };
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(planes[0] + x), pick(wide_r0, wide_r1, wide_r2));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(planes[1] + x), pick(wide_g0, wide_g1, wide_g2));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(planes[2] + x), pick(wide_b0, wide_b1, wide_b2));
  }
  for (; x + 16 <= width; x += 16) {
    const __m128i a = load(x, 0);
    const __m128i b = load(x, 16);
    const __m128i c = load(x, 32);
    const auto pick = [&](__m128i m0, __m128i m1, __m128i m2) {
      return _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a, m0), _mm_shuffle_epi8(b, m1)),
                          _mm_shuffle_epi8(c, m2));
    };
    _mm_storeu_si128(reinterpret_cast<__m128i*>(planes[0] + x), pick(r0, r1, r2));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(planes[1] + x), pick(g0, g1, g2));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(planes[2] + x), pick(b0, b1, b2));
  }
  for (; x < width; ++x) {
    planes[0][x] = row[3 * x];
    planes[1][x] = row[3 * x + 1];
    planes[2][x] = row[3 * x + 2];
  }
}

// Sums of the pixel in each 128-bit half of r, g and b (eight 32-bit lanes each, four per pixel)
// rounded to 8 bits: the pixel of the low half in the first 4 bytes of the low half (R, G, B,
// B), the other in the first 4 bytes of the high half.
inline __m256i planar_pair_result(__m256i r, __m256i g, __m256i b) {
  const __m256i half = _mm256_set1_epi32(1 << (kWeightBits8 - 1));
  const __m256i rgbb = _mm256_hadd_epi32(_mm256_hadd_epi32(r, g), _mm256_hadd_epi32(b, b));
  const __m256i total = _mm256_srai_epi32(_mm256_add_epi32(rgbb, half), kWeightBits8);
  const __m256i words = _mm256_packs_epi32(total, total);
  return _mm256_packus_epi16(words, words);
}

// Eight taps: two pixels per step, one in each 128-bit half, with the sums of the 16-tap loop
// below (the same products, added in another order, wrapping alike).
void horizontal_rgb8_planes_short(const uint8_t* const* planes, const int32_t* firsts,
                                  const int16_t* halves, int32_t count, uint8_t* out) {
  constexpr int32_t kTaps = kPlanarShortTaps;
  for (int32_t i = 0; i < count; i += 2) {
    // The second pixel of an odd count's last step repeats the first and is not written.
    const int32_t j = i + 1 < count ? i + 1 : i;
    const ptrdiff_t first_i = firsts[i];
    const ptrdiff_t first_j = firsts[j];
    const int16_t* weight_i = halves + static_cast<ptrdiff_t>(i) * kTaps * 2;
    const int16_t* weight_j = halves + static_cast<ptrdiff_t>(j) * kTaps * 2;
    const auto pair = [](const int16_t* a, const int16_t* b) {
      return _mm256_inserti128_si256(
          _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a))),
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(b)), 1);
    };
    const __m256i low = pair(weight_i, weight_j);
    const __m256i high = pair(weight_i + kTaps, weight_j + kTaps);
    const auto sum = [&](const uint8_t* plane) {
      const __m128i bytes =
          _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(plane + first_i)),
                             _mm_loadl_epi64(reinterpret_cast<const __m128i*>(plane + first_j)));
      const __m256i wide = _mm256_cvtepu8_epi16(bytes);
      return _mm256_add_epi32(_mm256_slli_epi32(_mm256_madd_epi16(wide, high), 8),
                              _mm256_madd_epi16(wide, low));
    };
    const __m256i packed = planar_pair_result(sum(planes[0]), sum(planes[1]), sum(planes[2]));
    // The fourth byte of each lands on the next pixel (written after it) or in the row's slack.
    const int32_t pixel_i = _mm256_cvtsi256_si32(packed);
    std::memcpy(out + static_cast<ptrdiff_t>(i) * 3, &pixel_i, 4);
    if (j != i) {
      const int32_t pixel_j = _mm_cvtsi128_si32(_mm256_extracti128_si256(packed, 1));
      std::memcpy(out + static_cast<ptrdiff_t>(j) * 3, &pixel_j, 4);
    }
  }
}

// Per 16 taps and plane: the bytes widened to 16 bits, one multiply-add with the low halves and
// one with the high parts of the weights. (high << 8) + low is the 32-bit sum of the interleaved
// pass, wrapping alike.
void horizontal_rgb8_planes(const uint8_t* const* planes, const int32_t* firsts,
                            const int16_t* halves, int32_t taps, int32_t count, uint8_t* out) {
  if (taps == kPlanarShortTaps) {
    horizontal_rgb8_planes_short(planes, firsts, halves, count, out);
    return;
  }
  const __m128i half = _mm_set1_epi32(1 << (kWeightBits8 - 1));
  const uint8_t* red = planes[0];
  const uint8_t* green = planes[1];
  const uint8_t* blue = planes[2];
  for (int32_t i = 0; i < count; ++i) {
    const ptrdiff_t first = firsts[i];
    const int16_t* weight = halves + static_cast<ptrdiff_t>(i) * taps * 2;
    __m256i red_low = _mm256_setzero_si256(), red_high = red_low;
    __m256i green_low = red_low, green_high = red_low;
    __m256i blue_low = red_low, blue_high = red_low;
    for (int32_t j = 0; j < taps; j += 16, weight += 32) {
      const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(weight));
      const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(weight + 16));
      const auto widen = [first, j](const uint8_t* plane) {
        return _mm256_cvtepu8_epi16(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(plane + first + j)));
      };
      const __m256i r = widen(red);
      const __m256i g = widen(green);
      const __m256i b = widen(blue);
      red_low = _mm256_add_epi32(red_low, _mm256_madd_epi16(r, low));
      red_high = _mm256_add_epi32(red_high, _mm256_madd_epi16(r, high));
      green_low = _mm256_add_epi32(green_low, _mm256_madd_epi16(g, low));
      green_high = _mm256_add_epi32(green_high, _mm256_madd_epi16(g, high));
      blue_low = _mm256_add_epi32(blue_low, _mm256_madd_epi16(b, low));
      blue_high = _mm256_add_epi32(blue_high, _mm256_madd_epi16(b, high));
    }
    const __m256i r = _mm256_add_epi32(_mm256_slli_epi32(red_high, 8), red_low);
    const __m256i g = _mm256_add_epi32(_mm256_slli_epi32(green_high, 8), green_low);
    const __m256i b = _mm256_add_epi32(_mm256_slli_epi32(blue_high, 8), blue_low);
    // Lanes summed per plane: R, G, B, B in the four 32-bit lanes.
    const __m256i rg = _mm256_hadd_epi32(r, g);
    const __m256i bb = _mm256_hadd_epi32(b, b);
    const __m256i rgbb = _mm256_hadd_epi32(rg, bb);
    __m128i total = _mm_add_epi32(_mm256_castsi256_si128(rgbb), _mm256_extracti128_si256(rgbb, 1));
    total = _mm_srai_epi32(_mm_add_epi32(total, half), kWeightBits8);
    // The fourth byte lands on the next pixel (written after this one) or in the row's slack.
    const int32_t packed =
        _mm_cvtsi128_si32(_mm_packus_epi16(_mm_packs_epi32(total, total), _mm_setzero_si128()));
    std::memcpy(out + static_cast<ptrdiff_t>(i) * 3, &packed, 4);
  }
}

template <typename Sample, int kBits>
void vertical_tail(const uint8_t* const* rows, const int32_t* weights, int32_t taps, int32_t begin,
                   int32_t samples, uint8_t* out) {
  constexpr int32_t kMax = sizeof(Sample) == 1 ? 255 : 65535;
  for (int32_t s = begin; s < samples; ++s) {
    uint32_t sum = 0;  // wraps like the vector lanes
    for (int32_t k = 0; k < taps; ++k)
      sum += static_cast<uint32_t>(weights[k]) * reinterpret_cast<const Sample*>(rows[k])[s];
    const int32_t value = static_cast<int32_t>(sum + (1u << (kBits - 1))) >> kBits;
    reinterpret_cast<Sample*>(out)[s] =
        static_cast<Sample>(value < 0 ? 0 : (value > kMax ? kMax : value));
  }
}

inline __m256i round_shift(__m256i sum, __m256i half, int bits) {
  return _mm256_srai_epi32(_mm256_add_epi32(sum, half), bits);
}

void vertical8(const uint8_t* const* rows, const int32_t* weights, int32_t taps, int32_t samples,
               uint8_t* out) {
  const __m256i half = _mm256_set1_epi32(1 << (kWeightBits8 - 1));
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  int32_t s = 0;
  for (; s + 32 <= samples; s += 32) {
    __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
    for (int32_t k = 0; k < taps; ++k) {
      const __m256i w = _mm256_set1_epi32(weights[k]);
      const uint8_t* row = rows[k] + s;
      const auto load8 = [row](int offset) {
        return _mm256_cvtepu8_epi32(
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + offset)));
      };
      a0 = _mm256_add_epi32(a0, _mm256_mullo_epi32(load8(0), w));
      a1 = _mm256_add_epi32(a1, _mm256_mullo_epi32(load8(8), w));
      a2 = _mm256_add_epi32(a2, _mm256_mullo_epi32(load8(16), w));
      a3 = _mm256_add_epi32(a3, _mm256_mullo_epi32(load8(24), w));
    }
    a0 = round_shift(a0, half, kWeightBits8);
    a1 = round_shift(a1, half, kWeightBits8);
    a2 = round_shift(a2, half, kWeightBits8);
    a3 = round_shift(a3, half, kWeightBits8);
    const __m256i bytes =
        _mm256_packus_epi16(_mm256_packs_epi32(a0, a1), _mm256_packs_epi32(a2, a3));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + s),
                        _mm256_permutevar8x32_epi32(bytes, order));
  }
  vertical_tail<uint8_t, kWeightBits8>(rows, weights, taps, s, samples, out);
}

void vertical16(const uint8_t* const* rows, const int32_t* weights, int32_t taps, int32_t samples,
                uint8_t* out) {
  const __m256i half = _mm256_set1_epi32(1 << (kWeightBits16 - 1));
  int32_t s = 0;
  for (; s + 32 <= samples; s += 32) {
    __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
    for (int32_t k = 0; k < taps; ++k) {
      const __m256i w = _mm256_set1_epi32(weights[k]);
      const uint8_t* row = rows[k] + static_cast<ptrdiff_t>(s) * 2;
      const auto load8 = [row](int offset) {
        return _mm256_cvtepu16_epi32(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + offset)));
      };
      a0 = _mm256_add_epi32(a0, _mm256_mullo_epi32(load8(0), w));
      a1 = _mm256_add_epi32(a1, _mm256_mullo_epi32(load8(16), w));
      a2 = _mm256_add_epi32(a2, _mm256_mullo_epi32(load8(32), w));
      a3 = _mm256_add_epi32(a3, _mm256_mullo_epi32(load8(48), w));
    }
    const __m256i low = _mm256_packus_epi32(round_shift(a0, half, kWeightBits16),
                                            round_shift(a1, half, kWeightBits16));
    const __m256i high = _mm256_packus_epi32(round_shift(a2, half, kWeightBits16),
                                             round_shift(a3, half, kWeightBits16));
    uint8_t* target = out + static_cast<ptrdiff_t>(s) * 2;
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(target),
                        _mm256_permute4x64_epi64(low, _MM_SHUFFLE(3, 1, 2, 0)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(target + 32),
                        _mm256_permute4x64_epi64(high, _MM_SHUFFLE(3, 1, 2, 0)));
  }
  vertical_tail<uint16_t, kWeightBits16>(rows, weights, taps, s, samples, out);
}

const ResizerLoops kAvx2Gray8 = {horizontal_gray8, vertical8, 8};
const ResizerLoops kAvx2Rgb8 = {horizontal_pairs<Layout::kRgb8>, vertical8, 4, split_rgb8_planes,
                                horizontal_rgb8_planes};
const ResizerLoops kAvx2Rgba8 = {horizontal_pairs<Layout::kRgba8>, vertical8, 4};
const ResizerLoops kAvx2Rgb16 = {horizontal_pairs<Layout::kRgb16>, vertical16, 4};
const ResizerLoops kAvx2Rgba16 = {horizontal_pairs<Layout::kRgba16>, vertical16, 4};

}  // namespace

// The codes are those of PixelFormat (gray 8, RGB 8, RGBA 8, RGB 16, RGBA 16), written as
// numbers so that this file needs no library header.
const ResizerLoops* avx2_resizer_loops(int32_t pixel_format) {
  switch (pixel_format) {
    case 1:
      return &kAvx2Gray8;
    case 2:
      return &kAvx2Rgb8;
    case 3:
      return &kAvx2Rgba8;
    case 5:
      return &kAvx2Rgb16;
    case 6:
      return &kAvx2Rgba16;
    default:
      return nullptr;
  }
}
