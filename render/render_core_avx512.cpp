// The bicubic kernel with AVX-512: four output pixels per vector, each 128-bit quarter holding the
// four channels of one pixel as 32-bit lanes. Every lane follows the integer formula of the
// portable kernel (render_core_kernels.h), so the bytes are the same; only the number of
// instructions differs.
#include "render/render_core_avx512.h"

#include <immintrin.h>

#include <cstring>

// g++ 12 takes the undefined vectors inside its own AVX-512 intrinsics for uninitialised values.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace {

// Takes pixel c of a 16-byte row of four BGRA pixels to four 32-bit lanes, each byte in the two
// low bytes of its lane: the value × 257, the 16-bit range the spline works in.
inline __m512i spread_mask(int c) {
  const char z = static_cast<char>(0x80);
  const char b0 = static_cast<char>(4 * c);
  const char b1 = static_cast<char>(4 * c + 1);
  const char b2 = static_cast<char>(4 * c + 2);
  const char b3 = static_cast<char>(4 * c + 3);
  return _mm512_broadcast_i32x4(
      _mm_setr_epi8(b0, b0, z, z, b1, b1, z, z, b2, b2, z, z, b3, b3, z, z));
}

// f × value >> shift, lane by lane (an arithmetic shift, rounding toward minus infinity).
inline __m512i scaled(__m512i f, __m512i value, int shift) {
  return _mm512_srai_epi32(_mm512_mullo_epi32(f, value), shift);
}

// The portable spline's sums, regrouped as in the AVX2 kernel: with d = p1 − p2 and
// x = 3·d + p3 − p0, the second factor is a + (p0 − p1) − d − x.
inline __m512i catmull_rom(__m512i p0, __m512i p1, __m512i p2, __m512i p3, __m512i f) {
  const __m512i d = _mm512_sub_epi32(p1, p2);
  const __m512i x =
      _mm512_add_epi32(_mm512_add_epi32(d, _mm512_add_epi32(d, d)), _mm512_sub_epi32(p3, p0));
  const __m512i a = scaled(f, x, 8);
  const __m512i y =
      _mm512_sub_epi32(_mm512_add_epi32(a, _mm512_sub_epi32(_mm512_sub_epi32(p0, p1), d)), x);
  const __m512i b = scaled(f, y, 8);
  return _mm512_add_epi32(p1, scaled(f, _mm512_add_epi32(b, _mm512_sub_epi32(p2, p0)), 9));
}

inline __m128i block_row(const uint8_t* base, size_t stride, int r) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + r * stride));
}

// Row r of the four blocks, pixel k's in quarter k.
inline __m512i quad_row(const uint8_t* const bases[4], const size_t strides[4], int r) {
  __m512i row = _mm512_castsi128_si512(block_row(bases[0], strides[0], r));
  row = _mm512_inserti32x4(row, block_row(bases[1], strides[1], r), 1);
  row = _mm512_inserti32x4(row, block_row(bases[2], strides[2], r), 2);
  return _mm512_inserti32x4(row, block_row(bases[3], strides[3], r), 3);
}

// The fractions of the four positions (x or y), each repeated over its pixel's four lanes.
inline __m512i quad_fractions(int32_t f0, int32_t f1, int32_t f2, int32_t f3) {
  const __m512i fractions =
      _mm512_castsi128_si512(_mm_setr_epi32(f0 & 255, f1 & 255, f2 & 255, f3 & 255));
  return _mm512_permutexvar_epi32(_mm512_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3),
                                  fractions);
}

// Writes R, G, B of the four pixels (lanes already 0 … 255) as twelve bytes.
inline void store_quad(__m512i value, uint8_t* out) {
  // R, G, B to the first three bytes of each quarter, then the quarters' first words together.
  const __m512i rgb =
      _mm512_shuffle_epi8(value, _mm512_broadcast_i32x4(_mm_setr_epi8(
                                     8, 4, 0, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1)));
  const __m128i words = _mm512_castsi512_si128(_mm512_permutexvar_epi32(
      _mm512_setr_epi32(0, 4, 8, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), rgb));
  const __m128i packed = _mm_shuffle_epi8(
      words, _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1));
  uint8_t bytes[16];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes), packed);
  std::memcpy(out, bytes, 12);
}

}  // namespace

void bicubic_quad_avx512(const uint8_t* const bases[4], const size_t strides[4],
                         const SamplePosition at[4], uint8_t* out) {
  const __m512i fx = quad_fractions(at[0].x, at[1].x, at[2].x, at[3].x);
  const __m512i fy = quad_fractions(at[0].y, at[1].y, at[2].y, at[3].y);
  __m512i rows[4];
  for (int r = 0; r < 4; ++r) {
    const __m512i row = quad_row(bases, strides, r);
    rows[r] = catmull_rom(
        _mm512_shuffle_epi8(row, spread_mask(0)), _mm512_shuffle_epi8(row, spread_mask(1)),
        _mm512_shuffle_epi8(row, spread_mask(2)), _mm512_shuffle_epi8(row, spread_mask(3)), fx);
  }
  __m512i value = catmull_rom(rows[0], rows[1], rows[2], rows[3], fy);
  // Back from the 16-bit range with rounding: (v − v/256 + 128) / 256, then clamped.
  value = _mm512_sub_epi32(value, _mm512_srai_epi32(value, 8));
  value = _mm512_srai_epi32(_mm512_add_epi32(value, _mm512_set1_epi32(128)), 8);
  value = _mm512_max_epi32(value, _mm512_setzero_si512());
  value = _mm512_min_epi32(value, _mm512_set1_epi32(255));
  store_quad(value, out);
}
