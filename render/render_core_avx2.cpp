// The 8-bit sampling loops of the render core with AVX2: two output pixels per vector, each
// 128-bit half holding the four channels of one pixel as 32-bit lanes. Every lane follows the
// same integer formula as the portable kernels (render_core_kernels.h), so the bytes are the
// same; only the number of instructions differs. Built with -mavx2 and chosen at run time only
// when the processor has it.
#include "render/render_core_avx2.h"

#include <immintrin.h>

#include "render/render_core_kernels.h"

namespace {

// Byte shuffles taking pixel c of a 16-byte row of four BGRA pixels to four 32-bit lanes. The
// bicubic form puts each byte in the two low bytes of its lane, which is the value × 257 (the
// 16-bit range the Catmull-Rom arithmetic works in); the bilinear form zero-extends.
inline __m256i spread_mask(int c, bool times_257) {
  const char z = static_cast<char>(0x80);
  const char b0 = static_cast<char>(4 * c);
  const char b1 = static_cast<char>(4 * c + 1);
  const char b2 = static_cast<char>(4 * c + 2);
  const char b3 = static_cast<char>(4 * c + 3);
  if (times_257) {
    return _mm256_setr_epi8(b0, b0, z, z, b1, b1, z, z, b2, b2, z, z, b3, b3, z, z, b0, b0, z, z,
                            b1, b1, z, z, b2, b2, z, z, b3, b3, z, z);
  }
  return _mm256_setr_epi8(b0, z, z, z, b1, z, z, z, b2, z, z, z, b3, z, z, z, b0, z, z, z, b1, z, z,
                          z, b2, z, z, z, b3, z, z, z);
}

// Row r of a block inside one tile: its kSize BGRA pixels, packed from the left of 16 bytes.
template <int kSize>
inline __m128i neighbourhood_row(const Neighbourhood<kSize>& n, int r) {
  const uint8_t* row = n.base + r * n.stride;
  return kSize == 4 ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(row))
                    : _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row));
}

// Row r of both neighbourhoods: the first pixel's in the low half, the second's in the high.
template <int kSize>
inline __m256i pair_row(const Neighbourhood<kSize>& first, const Neighbourhood<kSize>& second,
                        int r) {
  return _mm256_set_m128i(neighbourhood_row(second, r), neighbourhood_row(first, r));
}

// f × value >> shift, lane by lane (an arithmetic shift, rounding toward minus infinity).
inline __m256i scaled(__m256i f, __m256i value, int shift) {
  return _mm256_srai_epi32(_mm256_mullo_epi32(f, value), shift);
}

inline __m256i catmull_rom_avx2(__m256i p0, __m256i p1, __m256i p2, __m256i p3, __m256i f) {
  const __m256i d12 = _mm256_sub_epi32(p1, p2);
  const __m256i three_d12 = _mm256_add_epi32(d12, _mm256_add_epi32(d12, d12));
  const __m256i a = scaled(f, _mm256_sub_epi32(_mm256_add_epi32(three_d12, p3), p0), 8);
  // a + 2·p0 + 4·p2 − 5·p1 − p3
  const __m256i five_p1 = _mm256_add_epi32(p1, _mm256_slli_epi32(p1, 2));
  __m256i sum = _mm256_add_epi32(a, _mm256_slli_epi32(p0, 1));
  sum = _mm256_add_epi32(sum, _mm256_slli_epi32(p2, 2));
  sum = _mm256_sub_epi32(sum, _mm256_add_epi32(five_p1, p3));
  const __m256i b = scaled(f, sum, 8);
  return _mm256_add_epi32(p1, scaled(f, _mm256_sub_epi32(_mm256_add_epi32(b, p2), p0), 9));
}

inline __m256i linear_avx2(__m256i p0, __m256i p1, __m256i f) {
  return _mm256_add_epi32(p0, scaled(f, _mm256_sub_epi32(p1, p0), 8));
}

// The fractions of both positions, each repeated over its pixel's four lanes.
inline __m256i pair_fractions(int32_t first, int32_t second) {
  return _mm256_set_m128i(_mm_set1_epi32(second & 255), _mm_set1_epi32(first & 255));
}

// Writes R, G, B of both pixels (lanes already 0 … 255) as six bytes.
inline void store_pair(__m256i value, uint8_t* out) {
  const __m256i rgb = _mm256_shuffle_epi8(
      value, _mm256_setr_epi8(8, 4, 0, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 8, 4, 0,
                              -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1));
  const uint64_t first = static_cast<uint32_t>(_mm256_cvtsi256_si32(rgb));
  const uint64_t second =
      static_cast<uint32_t>(_mm_cvtsi128_si32(_mm256_extracti128_si256(rgb, 1)));
  const uint64_t both = first | (second << 24);
  std::memcpy(out, &both, 6);
}

void bicubic_pair(const Neighbourhood<4>& first, const Neighbourhood<4>& second, SamplePosition a,
                  SamplePosition b, uint8_t* out) {
  const __m256i fx = pair_fractions(a.x, b.x);
  const __m256i fy = pair_fractions(a.y, b.y);
  __m256i rows[4];
  for (int r = 0; r < 4; ++r) {
    const __m256i row = pair_row(first, second, r);
    rows[r] = catmull_rom_avx2(_mm256_shuffle_epi8(row, spread_mask(0, true)),
                               _mm256_shuffle_epi8(row, spread_mask(1, true)),
                               _mm256_shuffle_epi8(row, spread_mask(2, true)),
                               _mm256_shuffle_epi8(row, spread_mask(3, true)), fx);
  }
  __m256i value = catmull_rom_avx2(rows[0], rows[1], rows[2], rows[3], fy);
  // Back from the 16-bit range with rounding: (v − v/256 + 128) / 256, then clamped.
  value = _mm256_sub_epi32(value, _mm256_srai_epi32(value, 8));
  value = _mm256_srai_epi32(_mm256_add_epi32(value, _mm256_set1_epi32(128)), 8);
  value = _mm256_max_epi32(value, _mm256_setzero_si256());
  value = _mm256_min_epi32(value, _mm256_set1_epi32(255));
  store_pair(value, out);
}

void bilinear_pair(const Neighbourhood<2>& first, const Neighbourhood<2>& second, SamplePosition a,
                   SamplePosition b, uint8_t* out) {
  const __m256i fx = pair_fractions(a.x, b.x);
  const __m256i fy = pair_fractions(a.y, b.y);
  __m256i rows[2];
  for (int r = 0; r < 2; ++r) {
    const __m256i row = pair_row(first, second, r);
    rows[r] = linear_avx2(_mm256_shuffle_epi8(row, spread_mask(0, false)),
                          _mm256_shuffle_epi8(row, spread_mask(1, false)), fx);
  }
  store_pair(linear_avx2(rows[0], rows[1], fy), out);
}

// How many pixels ahead the source rows are fetched into the cache.
constexpr int32_t kAhead = 16;

// Asks the cache for the rows of the block at a position when it lies in the tile the view used
// last (nothing is locked or looked up).
template <int kSize>
inline void prefetch_block(const PanoSampler* sampler, SamplePosition position, int32_t back) {
  const TileView* view = sampler->view;
  const TiledImage* image = view->image;
  const int32_t x = (position.x >> 8) - back;
  const int32_t y = (position.y >> 8) - back - sampler->offset;
  if (x < 0 || y < 0 || x >= image->width || y >= image->height) return;
  const int32_t shift = image->tile_shift;
  const Tile* tile = view->tiles[view->current];
  if (!tile || tile->column != (x >> shift) || tile->row != (y >> shift)) return;
  const int32_t mask = image->tile_size - 1;
  const uint8_t* pixel =
      view->pixels[view->current] +
      (static_cast<size_t>(x & mask) + static_cast<size_t>(y & mask) * tile->width) * 4;
  const size_t stride = static_cast<size_t>(tile->width) * 4;
  for (int r = 0; r < kSize; ++r)
    _mm_prefetch(reinterpret_cast<const char*>(pixel + r * stride), _MM_HINT_T0);
}

template <bool kBicubic>
void sample_run(PanoSampler* sampler, const SamplePosition* positions, int32_t count,
                uint8_t* out) {
  constexpr int kSize = kBicubic ? 4 : 2;
  constexpr int kBack = kBicubic ? 1 : 0;  // the neighbourhood starts one pixel before (bicubic)
  int32_t i = 0;
  for (; i + 1 < count; i += 2) {
    if (i + kAhead < count) prefetch_block<kSize>(sampler, positions[i + kAhead], kBack);
    const SamplePosition a = positions[i];
    const SamplePosition b = positions[i + 1];
    Neighbourhood<kSize> first;
    Neighbourhood<kSize> second;
    // Pairs are taken only when each block lies in one tile, so the two blocks hold at most two
    // tiles of the view at once.
    if (gather_in_one_tile<kSize>(sampler, (a.x >> 8) - kBack, (a.y >> 8) - kBack, &first) &&
        gather_in_one_tile<kSize>(sampler, (b.x >> 8) - kBack, (b.y >> 8) - kBack, &second)) {
      if constexpr (kBicubic) {
        bicubic_pair(first, second, a, b, out + 3 * i);
      } else {
        bilinear_pair(first, second, a, b, out + 3 * i);
      }
      continue;
    }
    // Blocks across tile edges, the seam or the border, or a tile that could not be locked: one
    // sample at a time (black where a tile cannot be locked).
    sample_pixel<false, kBicubic>(sampler, a, out + 3 * i);
    sample_pixel<false, kBicubic>(sampler, b, out + 3 * (i + 1));
  }
  if (i < count) sample_pixel<false, kBicubic>(sampler, positions[i], out + 3 * i);
}

}  // namespace

void sample_run_8bit_avx2(PanoSampler* sampler, const SamplePosition* positions, int32_t count,
                          bool bicubic, uint8_t* out) {
  if (bicubic) {
    sample_run<true>(sampler, positions, count, out);
  } else {
    sample_run<false>(sampler, positions, count, out);
  }
}
