// The 8-bit sampling loops of the render core with AVX2: two output pixels per vector, each
// 128-bit half holding the four channels of one pixel as 32-bit lanes. Every lane follows the
// same integer formula as the portable kernels (render_core_kernels.h), so the bytes are the
// same; only the number of instructions differs. Built with -mavx2 and chosen at run time only
// when the processor has it.
#include "render/render_core_avx2.h"

#include <immintrin.h>

#include <algorithm>

#include "render/render_core_avx512.h"
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

// f × value >> shift, lane by lane (an arithmetic shift, rounding toward minus infinity).
inline __m256i scaled(__m256i f, __m256i value, int shift) {
  return _mm256_srai_epi32(_mm256_mullo_epi32(f, value), shift);
}

// The portable spline's sums, regrouped: with d = p1 − p2 and x = 3·d + p3 − p0, the second
// factor a + 2·p0 + 4·p2 − 5·p1 − p3 is a + (p0 − p1) − d − x. Every step is exact in 32 bits.
inline __m256i catmull_rom_avx2(__m256i p0, __m256i p1, __m256i p2, __m256i p3, __m256i f) {
  const __m256i d = _mm256_sub_epi32(p1, p2);
  const __m256i x =
      _mm256_add_epi32(_mm256_add_epi32(d, _mm256_add_epi32(d, d)), _mm256_sub_epi32(p3, p0));
  const __m256i a = scaled(f, x, 8);
  const __m256i y =
      _mm256_sub_epi32(_mm256_add_epi32(a, _mm256_sub_epi32(_mm256_sub_epi32(p0, p1), d)), x);
  const __m256i b = scaled(f, y, 8);
  return _mm256_add_epi32(p1, scaled(f, _mm256_add_epi32(b, _mm256_sub_epi32(p2, p0)), 9));
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

// The tile the view used last, as the block positions (image columns and rows of a block's
// top-left pixel) whose whole block lies inside it. Its pixels stay valid while the view holds the
// tile, and the view replaces a slot only on a lookup, after which the window is taken again.
struct TileWindow {
  int32_t left = 0;
  int32_t top = 0;
  uint32_t columns = 0;  // block positions across and down (0: nothing fits)
  uint32_t rows = 0;
  const uint8_t* pixels = nullptr;
  size_t stride = 0;
};

template <int kSize>
TileWindow current_window(const PanoSampler* sampler) {
  TileWindow window;
  const TileView* view = sampler->view;
  const Tile* tile = view->tiles[view->current];
  if (!tile || tile->width < kSize || tile->height < kSize) return window;
  const int32_t shift = view->image->tile_shift;
  window.left = tile->column << shift;
  window.top = (tile->row << shift) + sampler->offset;  // in sphere rows, as positions are
  window.columns = static_cast<uint32_t>(tile->width - kSize + 1);
  window.rows = static_cast<uint32_t>(tile->height - kSize + 1);
  window.pixels = view->pixels[view->current];
  window.stride = static_cast<size_t>(tile->width) * 4;
  return window;
}

// The rows of one block: a pointer and a stride, into a tile or into a copy.
struct Block {
  const uint8_t* base;
  size_t stride;
};

template <int kSize>
inline bool block_in_window(const TileWindow& window, int32_t column, int32_t row, Block* out) {
  const uint32_t across = static_cast<uint32_t>(column - window.left);
  const uint32_t down = static_cast<uint32_t>(row - window.top);
  if (across >= window.columns || down >= window.rows) return false;
  out->base = window.pixels + down * window.stride + across * 4;
  out->stride = window.stride;
  return true;
}

// Asks the cache for the rows of a block ahead that is not in the window, in whichever of the
// view's tiles hold them (a tile the view does not hold yet is left alone: holding it means locking
// it).
template <int kSize>
__attribute__((noinline)) void prefetch_from_held_tiles(const PanoSampler* sampler, int32_t x,
                                                        int32_t y) {
  const TileView* view = sampler->view;
  TiledImage* image = view->image;
  const int32_t shift = image->tile_shift;
  const int32_t mask = image->tile_size - 1;
  for (int r = 0; r < kSize; ++r) {
    const int32_t row = y + r - sampler->offset;
    if (row < 0 || row >= image->height) continue;
    for (const int32_t column : {x, x + kSize - 1}) {
      if (column < 0 || column >= image->width) continue;
      const Tile* tile = tile_at(image, column >> shift, row >> shift);
      for (int slot = 0; slot < 4; ++slot) {
        if (view->tiles[slot] != tile) continue;
        const size_t offset =
            static_cast<size_t>(row & mask) * tile->width + static_cast<size_t>(column & mask);
        _mm_prefetch(reinterpret_cast<const char*>(view->pixels[slot] + 4 * offset), _MM_HINT_T0);
        break;
      }
    }
  }
}

// How many pixels ahead the source rows are fetched into the cache.
constexpr int32_t kAhead = 16;

template <int kSize>
inline void prefetch_block(const PanoSampler* sampler, const TileWindow& window,
                           SamplePosition position) {
  constexpr int kBack = kSize == 4 ? 1 : 0;
  const int32_t x = (position.x >> 8) - kBack;
  const int32_t y = (position.y >> 8) - kBack;
  Block block;
  if (!block_in_window<kSize>(window, x, y, &block)) {
    prefetch_from_held_tiles<kSize>(sampler, x, y);
    return;
  }
  for (int r = 0; r < kSize; ++r) {
    _mm_prefetch(reinterpret_cast<const char*>(block.base + r * block.stride), _MM_HINT_T0);
  }
}

// Room for a block copied pixel by pixel: kSize rows of 16 bytes.
struct BlockCopy {
  alignas(16) uint8_t bytes[4 * 16];
};

constexpr BlockCopy kBlackBlock = {};

// Copies a block that straddles tile edges, the seam or the border pixel by pixel, with the edge
// rules of the sampler (columns wrap around a panorama, a face repeats its edge pixels, rows
// outside a partial image are black). Its columns lie in at most two tile columns and its rows in
// at most two tile rows; each of those (at most four) tiles is looked up once, and four tiles never
// give one another up in the view, so the copy itself has no lookups or branches. False when a
// tile cannot be locked.
template <int kSize>
bool copy_block(PanoSampler* sampler, int32_t column, int32_t row, BlockCopy* copy) {
  const int32_t shift = sampler->tile_shift;
  const int32_t mask = (1 << shift) - 1;
  int32_t tile_columns[2] = {};
  int32_t tile_widths[2] = {};
  int which_column[kSize];  // 0 or 1: the tile column of each column
  int32_t inside[kSize];    // the column inside its tile
  for (int c = 0; c < kSize; ++c) {
    const int32_t x = std::clamp(sampler_column(sampler, column + c), 0, sampler->width - 1);
    which_column[c] = c > 0 && (x >> shift) != tile_columns[0];
    tile_columns[which_column[c]] = x >> shift;
    inside[c] = x & mask;
  }
  for (int k = 0; k < 2; ++k) {
    tile_widths[k] = std::min(1 << shift, sampler->width - (tile_columns[k] << shift));
  }
  const uint8_t* tiles[2][2] = {};  // [tile row][tile column] as the block uses them
  int32_t first_tile_row = -1;
  for (int r = 0; r < kSize; ++r) {
    uint8_t* out = copy->bytes + 16 * r;
    const int32_t y = sampler_row(sampler, row + r);
    if (y < 0) {
      std::memset(out, 0, 4 * kSize);
      continue;
    }
    if (first_tile_row < 0) first_tile_row = y >> shift;
    const int which_row = (y >> shift) != first_tile_row;
    const uint8_t* rows[2] = {};
    for (int k = 0; k < (which_column[kSize - 1] ? 2 : 1); ++k) {
      const uint8_t*& tile = tiles[which_row][k];
      if (!tile) {
        tile = tile_view_pixel(sampler->view, tile_columns[k] << shift, (y >> shift) << shift);
        if (!tile) return false;
      }
      rows[k] = tile + 4 * static_cast<size_t>(y & mask) * tile_widths[k];
    }
    for (int c = 0; c < kSize; ++c)
      std::memcpy(out + 4 * c, rows[which_column[c]] + 4 * inside[c], 4);
  }
  return true;
}

// A block outside the window: in another single tile (which becomes the view's current one), or
// copied. Black where a tile cannot be locked.
template <int kSize>
__attribute__((noinline)) Block gather_block(PanoSampler* sampler, int32_t column, int32_t row,
                                             BlockCopy* copy) {
  Neighbourhood<kSize> n;
  if (gather_in_one_tile<kSize>(sampler, column, row, &n)) return {n.base, n.stride};
  if (!copy_block<kSize>(sampler, column, row, copy)) return {kBlackBlock.bytes, 16};
  return {copy->bytes, 16};
}

// Copies a block whose tile a lookup for another block might give up.
template <int kSize>
inline Block keep_block(Block block, BlockCopy* copy) {
  for (int r = 0; r < kSize; ++r) {
    std::memcpy(copy->bytes + 16 * r, block.base + r * block.stride, 4 * kSize);
  }
  return {copy->bytes, 16};
}

template <int kSize>
inline __m128i block_row(Block block, int r) {
  const uint8_t* row = block.base + r * block.stride;
  return kSize == 4 ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(row))
                    : _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row));
}

// Row r of both blocks: the first pixel's in the low half, the second's in the high.
template <int kSize>
inline __m256i pair_row(Block first, Block second, int r) {
  return _mm256_set_m128i(block_row<kSize>(second, r), block_row<kSize>(first, r));
}

void bicubic_pair(Block first, Block second, SamplePosition a, SamplePosition b, uint8_t* out) {
  const __m256i fx = pair_fractions(a.x, b.x);
  const __m256i fy = pair_fractions(a.y, b.y);
  __m256i rows[4];
  for (int r = 0; r < 4; ++r) {
    const __m256i row = pair_row<4>(first, second, r);
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

void bilinear_pair(Block first, Block second, SamplePosition a, SamplePosition b, uint8_t* out) {
  const __m256i fx = pair_fractions(a.x, b.x);
  const __m256i fy = pair_fractions(a.y, b.y);
  __m256i rows[2];
  for (int r = 0; r < 2; ++r) {
    const __m256i row = pair_row<2>(first, second, r);
    rows[r] = linear_avx2(_mm256_shuffle_epi8(row, spread_mask(0, false)),
                          _mm256_shuffle_epi8(row, spread_mask(1, false)), fx);
  }
  store_pair(linear_avx2(rows[0], rows[1], fy), out);
}

template <bool kBicubic>
inline void sample_pair(Block first, Block second, SamplePosition a, SamplePosition b,
                        uint8_t* out) {
  if constexpr (kBicubic) {
    bicubic_pair(first, second, a, b, out);
  } else {
    bilinear_pair(first, second, a, b, out);
  }
}

// Takes the blocks of a group of positions: from the window where they lie in it, else through the
// view. A lookup may give up a tile that an earlier block of the group reads, so those are copied
// first.
template <int kSize, int kGroup>
inline void gather_group(PanoSampler* sampler, TileWindow* window, const SamplePosition* at,
                         Block* blocks, BlockCopy* copies) {
  constexpr int kBack = kSize == 4 ? 1 : 0;  // the neighbourhood starts one pixel before (bicubic)
  for (int j = 0; j < kGroup; ++j) {
    const int32_t x = (at[j].x >> 8) - kBack;
    const int32_t y = (at[j].y >> 8) - kBack;
    if (block_in_window<kSize>(*window, x, y, &blocks[j])) continue;
    for (int k = 0; k < j; ++k) {
      if (blocks[k].base != copies[k].bytes) blocks[k] = keep_block<kSize>(blocks[k], &copies[k]);
    }
    blocks[j] = gather_block<kSize>(sampler, x, y, &copies[j]);
    *window = current_window<kSize>(sampler);
  }
}

void bicubic_quad(const Block* blocks, const SamplePosition* at, uint8_t* out) {
  const uint8_t* bases[4];
  size_t strides[4];
  for (int k = 0; k < 4; ++k) {
    bases[k] = blocks[k].base;
    strides[k] = blocks[k].stride;
  }
  bicubic_quad_avx512(bases, strides, at, out);
}

// Pairs of pixels, or bicubic quads first when kQuads (the AVX-512 kernel); an odd last pixel is
// sampled as a pair with itself.
template <bool kBicubic, bool kQuads>
void run_blocks(PanoSampler* sampler, const SamplePosition* positions, int32_t count,
                uint8_t* out) {
  constexpr int kSize = kBicubic ? 4 : 2;
  constexpr int kBack = kBicubic ? 1 : 0;
  TileWindow window = current_window<kSize>(sampler);
  BlockCopy copies[4];
  Block blocks[4];
  int32_t i = 0;
  if constexpr (kQuads) {
    for (; i + 3 < count; i += 4) {
      if (i + kAhead + 2 < count) {
        prefetch_block<kSize>(sampler, window, positions[i + kAhead]);
        prefetch_block<kSize>(sampler, window, positions[i + kAhead + 2]);
      }
      gather_group<kSize, 4>(sampler, &window, positions + i, blocks, copies);
      bicubic_quad(blocks, positions + i, out + 3 * i);
    }
  }
  for (; i + 1 < count; i += 2) {
    if (i + kAhead < count) prefetch_block<kSize>(sampler, window, positions[i + kAhead]);
    gather_group<kSize, 2>(sampler, &window, positions + i, blocks, copies);
    sample_pair<kBicubic>(blocks[0], blocks[1], positions[i], positions[i + 1], out + 3 * i);
  }
  if (i < count) {
    const SamplePosition a = positions[i];
    const Block last =
        gather_block<kSize>(sampler, (a.x >> 8) - kBack, (a.y >> 8) - kBack, &copies[0]);
    uint8_t both[6];
    sample_pair<kBicubic>(last, last, a, a, both);
    std::memcpy(out + 3 * i, both, 3);
  }
}

}  // namespace

void sample_run_8bit_avx2(PanoSampler* sampler, const SamplePosition* positions, int32_t count,
                          bool bicubic, uint8_t* out) {
  if (bicubic) {
    run_blocks<true, false>(sampler, positions, count, out);
  } else {
    run_blocks<false, false>(sampler, positions, count, out);
  }
}

void sample_run_8bit_avx512(PanoSampler* sampler, const SamplePosition* positions, int32_t count,
                            bool bicubic, uint8_t* out) {
  if (bicubic) {
    run_blocks<true, true>(sampler, positions, count, out);
  } else {
    run_blocks<false, false>(sampler, positions, count, out);
  }
}
