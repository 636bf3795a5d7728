// The streaming resizer: filter table, contribution lists, the window and the calling protocol,
// plus the portable inner loops. The vector loops live in resize_avx2.cpp and must give the
// same bytes as the portable ones.
//
// Memory: everything a resizer needs (record, both lists, the window, one padded source row and,
// for planar loops, the split weights and three planes) is planned in 64-bit arithmetic and
// taken in one block from the allocation hooks before the first row arrives. The window is a ring
// of row pointers: dropping rows from its front moves pointers, never pixels.
#include "render/resize.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/text.h"
#include "render/resize_loops.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

double point_weight(double x, double) {
  return (x >= -0.5 && x < 0.5) ? 1.0 : 0.0;
}

double linear_weight(double x, double) {
  if (x >= -1.0 && x < 0.0) return x + 1.0;
  if (x >= 0.0 && x < 1.0) return 1.0 - x;
  return 0.0;
}

double hanning_weight(double x, double) {
  return 0.5 + 0.5 * std::cos(kPi * x);
}

double hamming_weight(double x, double) {
  return 0.54 + 0.46 * std::cos(kPi * x);
}

double gauss_weight(double x, double) {
  return std::exp(-2.0 * x * x) * std::sqrt(2.0 / kPi);
}

double cubic_weight(double x, double) {
  const double a = std::fabs(x);
  if (a < 1.0) return (3.0 * a * a * a - 6.0 * a * a + 4.0) / 6.0;
  if (a < 2.0) return (2.0 - a) * (2.0 - a) * (2.0 - a) / 6.0;
  return 0.0;
}

double mitchell_weight(double x, double) {
  const double a = std::fabs(x);
  if (a < 1.0) return (7.0 / 6.0) * a * a * a - 2.0 * a * a + 8.0 / 9.0;
  if (a < 2.0) return -(7.0 / 18.0) * a * a * a + 2.0 * a * a - (10.0 / 3.0) * a + 16.0 / 9.0;
  return 0.0;
}

double sinc(double t) {
  if (t == 0.0) return 1.0;
  return std::sin(kPi * t) / (kPi * t);
}

double lanczos_weight(double x, double) {
  if (x < -3.0 || x >= 3.0) return 0.0;
  return sinc(x) * sinc(x / 3.0);
}

const FilterKernel kFilterKernels[] = {
    {kFilterPoint, point_weight, 0.5},       {kFilterLinear, linear_weight, 1.0},
    {kFilterHanning, hanning_weight, 1.0},   {kFilterHamming, hamming_weight, 1.0},
    {kFilterGauss, gauss_weight, 1.25},      {kFilterCubic, cubic_weight, 2.0},
    {kFilterMitchell, mitchell_weight, 2.0}, {kFilterLanczos, lanczos_weight, 3.0},
};

struct FilterWord {
  const char* word;
  int32_t code;
};

const FilterWord kFilterWords[] = {
    {"point", kFilterPoint},       {"linear", kFilterLinear},   {"hanning", kFilterHanning},
    {"hamming", kFilterHamming},   {"gauss", kFilterGauss},     {"cubic", kFilterCubic},
    {"mitchell", kFilterMitchell}, {"lanczos", kFilterLanczos},
};

// ---- portable loops -----------------------------------------------------------------------

// Sums are kept as unsigned 32-bit values: they wrap exactly like the vector lanes do, without
// undefined behaviour, and are read back as signed before the arithmetic shift.
template <typename Sample, int kBits>
inline Sample round_and_clamp(uint32_t sum) {
  constexpr int32_t kMax = sizeof(Sample) == 1 ? 255 : 65535;
  const int32_t value = static_cast<int32_t>(sum + (1u << (kBits - 1))) >> kBits;
  return static_cast<Sample>(value < 0 ? 0 : (value > kMax ? kMax : value));
}

// Taps are a multiple of two for every format, so the tap loop is unrolled by two.
template <int kChannels, typename Sample, int kBits>
void horizontal_portable(const uint8_t* source, const int32_t* firsts, const int32_t* weights,
                         int32_t taps, int32_t count, uint8_t* out) {
  const Sample* samples = reinterpret_cast<const Sample*>(source);
  Sample* out_samples = reinterpret_cast<Sample*>(out);
  for (int32_t i = 0; i < count; ++i) {
    const Sample* pixel = samples + static_cast<ptrdiff_t>(firsts[i]) * kChannels;
    const int32_t* weight = weights + static_cast<ptrdiff_t>(i) * taps;
    uint32_t sums[kChannels] = {};
    for (int32_t j = 0; j < taps; j += 2) {
      const Sample* a = pixel + j * kChannels;
      for (int c = 0; c < kChannels; ++c)
        sums[c] += static_cast<uint32_t>(weight[j]) * a[c] +
                   static_cast<uint32_t>(weight[j + 1]) * a[kChannels + c];
    }
    for (int c = 0; c < kChannels; ++c)
      out_samples[static_cast<ptrdiff_t>(i) * kChannels + c] =
          round_and_clamp<Sample, kBits>(sums[c]);
  }
}

template <typename Sample, int kBits>
void vertical_portable(const uint8_t* const* rows, const int32_t* weights, int32_t taps,
                       int32_t samples, uint8_t* out) {
  constexpr int32_t kBlock = 256;
  uint32_t sums[kBlock];
  Sample* out_samples = reinterpret_cast<Sample*>(out);
  for (int32_t start = 0; start < samples; start += kBlock) {
    const int32_t n = std::min(kBlock, samples - start);
    std::fill(sums, sums + n, 0u);
    for (int32_t k = 0; k < taps; ++k) {
      const Sample* row = reinterpret_cast<const Sample*>(rows[k]) + start;
      const uint32_t weight = static_cast<uint32_t>(weights[k]);
      for (int32_t s = 0; s < n; ++s) sums[s] += weight * row[s];
    }
    for (int32_t s = 0; s < n; ++s)
      out_samples[start + s] = round_and_clamp<Sample, kBits>(sums[s]);
  }
}

const ResizerLoops kPortableGray8 = {horizontal_portable<1, uint8_t, kWeightBits8>,
                                     vertical_portable<uint8_t, kWeightBits8>, 8};
const ResizerLoops kPortableRgb8 = {horizontal_portable<3, uint8_t, kWeightBits8>,
                                    vertical_portable<uint8_t, kWeightBits8>, 2};
const ResizerLoops kPortableRgba8 = {horizontal_portable<4, uint8_t, kWeightBits8>,
                                     vertical_portable<uint8_t, kWeightBits8>, 2};
const ResizerLoops kPortableRgb16 = {horizontal_portable<3, uint16_t, kWeightBits16>,
                                     vertical_portable<uint16_t, kWeightBits16>, 2};
const ResizerLoops kPortableRgba16 = {horizontal_portable<4, uint16_t, kWeightBits16>,
                                      vertical_portable<uint16_t, kWeightBits16>, 2};

// ---- planning -----------------------------------------------------------------------------

bool is_16bit(int32_t pixel_format) {
  return pixel_format == kPixelRgb16 || pixel_format == kPixelRgba16;
}

const ResizerLoops* choose_loops(int32_t pixel_format) {
#if defined(QV_HAVE_AVX2_LOOPS)
  if (__builtin_cpu_supports("avx2")) return avx2_resizer_loops(pixel_format);
#endif
  return portable_resizer_loops(pixel_format);
}

// Scale, blur and effective support of one axis; fills the list's header fields. The source
// spans source_extent pixels (its pixel count, or a little less when its last pixel is partial).
void plan_axis(ContributionList* list, const FilterKernel* kernel, int32_t destination_size,
               double source_extent) {
  list->kernel = kernel;
  list->scale = static_cast<double>(destination_size) / source_extent;
  list->blur = 1.0 / list->scale > 1.0 ? 1.0 / list->scale : 1.0;
  list->effective_support = list->blur * kernel->support;
  if (!(list->effective_support > 0.5)) {
    list->effective_support = 0.500001;
    list->blur = 1.0;
  }
  list->count = destination_size;
  list->padded_taps = 0;
  list->entries = nullptr;
}

// The window [first, end) of destination index i and its centre in source units.
struct Window {
  int32_t first;
  int32_t end;
  double centre;
};

Window window_of(const ContributionList& list, int32_t i, int32_t source_size, bool wrap) {
  Window w;
  w.centre = (i + 0.5) / list.scale;
  double start = w.centre - list.effective_support + 0.5;
  double end = w.centre + list.effective_support + 0.5;
  if (!wrap) {
    if (start < 0.0) start = 0.0;
    if (end > source_size) end = source_size;
  }
  w.first = static_cast<int32_t>(start);
  w.end = static_cast<int32_t>(end);
  if (w.end < w.first) w.end = w.first;
  return w;
}

int32_t most_taps(const ContributionList& list, int32_t source_size, bool wrap) {
  int32_t most = 0;
  for (int32_t i = 0; i < list.count; ++i) {
    const Window w = window_of(list, i, source_size, wrap);
    most = std::max(most, w.end - w.first);
  }
  return most;
}

int32_t round_up(int32_t value, int32_t multiple) {
  if (value < 1) value = 1;
  return (value + multiple - 1) / multiple * multiple;
}

// Truncates toward zero after adding one half; a weight beyond +-2^30 (only from a window whose
// raw weights cancel out) is clamped there instead of overflowing.
int32_t fixed_weight(double scaled) {
  const double value = scaled + 0.5;
  constexpr double kLimit = 1073741824.0;
  if (!(value > -kLimit)) return -static_cast<int32_t>(kLimit);
  if (!(value < kLimit)) return static_cast<int32_t>(kLimit);
  return static_cast<int32_t>(value);
}

// Computes the fixed-point weights of every entry into `table` (count * padded_taps values,
// zero past each entry's real taps); `firsts` receives the first index of each entry.
void fill_weights(ContributionList* list, int32_t source_size, bool wrap, int weight_bits,
                  Contribution* entries, int32_t* table, int32_t* firsts, double* raw) {
  const double fixed_one = static_cast<double>(1 << weight_bits);
  list->entries = entries;
  for (int32_t i = 0; i < list->count; ++i) {
    const Window w = window_of(*list, i, source_size, wrap);
    const int32_t taps = w.end - w.first;
    double sum = 0.0;
    for (int32_t j = 0; j < taps; ++j) {
      raw[j] =
          list->kernel->weight((w.first + j - w.centre + 0.5) / list->blur, list->kernel->support);
      sum += raw[j];
    }
    const double normaliser = sum == 0.0 ? 1.0 : 1.0 / sum;
    int32_t* weights = table + static_cast<ptrdiff_t>(i) * list->padded_taps;
    for (int32_t j = 0; j < list->padded_taps; ++j)
      weights[j] = j < taps ? fixed_weight(raw[j] * normaliser * fixed_one) : 0;
    entries[i] = Contribution{w.first, w.end, weights};
    if (firsts) firsts[i] = w.first;
  }
}

// ---- the one block ------------------------------------------------------------------------

// Byte offsets of the parts of a resizer's block, each aligned to 64 bytes.
struct BlockPlan {
  uint64_t record = 0;
  uint64_t horizontal_entries = 0;
  uint64_t horizontal_weights = 0;
  uint64_t horizontal_firsts = 0;
  uint64_t vertical_entries = 0;
  uint64_t vertical_weights = 0;
  uint64_t raw_weights = 0;
  uint64_t window_pointers = 0;
  uint64_t window_rows = 0;
  uint64_t padded_source = 0;
  uint64_t weight_halves = 0;
  uint64_t planes = 0;
  uint64_t total = 0;
  bool fits = true;  // false when a size overflowed or exceeds the address space
};

// Reserves count * size bytes at the end of the plan and returns their offset.
uint64_t reserve(BlockPlan* plan, uint64_t count, uint64_t size) {
  uint64_t bytes = 0;
  const uint64_t kLimit = static_cast<uint64_t>(PTRDIFF_MAX) / 2;
  if (__builtin_mul_overflow(count, size, &bytes) || bytes > kLimit || plan->total > kLimit) {
    plan->fits = false;
    return 0;
  }
  const uint64_t offset = (plan->total + 63) & ~static_cast<uint64_t>(63);
  plan->total = offset + bytes;
  return offset;
}

void* standard_allocate(size_t size) {
  return std::malloc(size);
}
void standard_release(void* block) {
  std::free(block);
}

// The hook pair: process-wide, set once before any resizer exists.
ResizerAllocateFn g_allocate = standard_allocate;
ResizerReleaseFn g_release = standard_release;

// ---- per-row work -------------------------------------------------------------------------

// Fills the left margin of the padded row with the pixels that wrap around from the right edge
// and the right margin with those from the left edge (modulo the width, so windows wider than
// the source stay in range).
void fill_wrap_margins(StreamResizer* r, const uint8_t* row) {
  const int32_t bpp = r->bytes_per_pixel;
  const int32_t width = r->source_width;
  uint8_t* zero = r->padded_source + static_cast<ptrdiff_t>(r->left_margin) * bpp;
  for (int32_t i = 1; i <= r->left_margin; ++i) {
    const int32_t from = (width - i % width) % width;
    std::memcpy(zero - static_cast<ptrdiff_t>(i) * bpp, row + static_cast<ptrdiff_t>(from) * bpp,
                bpp);
  }
  for (int32_t i = 0; i < r->horizontal.padded_taps; ++i) {
    const int32_t from = i % width;
    std::memcpy(zero + static_cast<ptrdiff_t>(width + i) * bpp,
                row + static_cast<ptrdiff_t>(from) * bpp, bpp);
  }
}

// Copies source pixels [begin, end) (clipped to the row) into the padded row.
void copy_into_padded_row(StreamResizer* r, const uint8_t* row, int32_t begin, int32_t end) {
  begin = std::max(begin, int32_t{0});
  end = std::min(end, r->source_width);
  if (end <= begin) return;
  const int32_t bpp = r->bytes_per_pixel;
  std::memcpy(r->padded_source + static_cast<ptrdiff_t>(r->left_margin + begin) * bpp,
              row + static_cast<ptrdiff_t>(begin) * bpp, static_cast<size_t>(end - begin) * bpp);
}

// Runs the horizontal loop for destination columns [begin, end) on a row whose pixel 0 is at
// `zero`.
void filter_columns(StreamResizer* r, const uint8_t* zero, int32_t begin, int32_t end,
                    uint8_t* window_row) {
  if (end <= begin) return;
  const int32_t taps = r->horizontal.padded_taps;
  r->loops->horizontal(zero, r->horizontal_firsts + begin,
                       r->horizontal.entries[0].weights + static_cast<ptrdiff_t>(begin) * taps,
                       taps, end - begin,
                       window_row + static_cast<ptrdiff_t>(begin) * r->bytes_per_pixel);
}

// Writes the planar loops' weight table: per step of planar_tap_step taps, the low bytes and then
// the high parts (w >> 8) as 16-bit values, zero past the real taps. False when a weight's high
// part does not fit 16 bits (only windows whose raw weights nearly cancel out); the interleaved
// loops then serve the resizer.
bool split_weights(StreamResizer* r) {
  const int32_t taps = r->horizontal.padded_taps;
  const int32_t plane_taps = r->plane_taps;
  const int32_t step_taps = planar_tap_step(plane_taps);
  for (int32_t i = 0; i < r->destination_width; ++i) {
    const int32_t* weights = r->horizontal.entries[i].weights;
    int16_t* halves = r->weight_halves + static_cast<ptrdiff_t>(i) * plane_taps * 2;
    for (int32_t j = 0; j < plane_taps; ++j) {
      const int32_t w = j < taps ? weights[j] : 0;
      if (w < -(1 << 23) || w >= (1 << 23)) return false;
      int16_t* step = halves + (j / step_taps) * step_taps * 2 + j % step_taps;
      step[0] = static_cast<int16_t>(w & 255);
      step[step_taps] = static_cast<int16_t>(w >> 8);
    }
  }
  return true;
}

// Splits a source row into the planes and fills their wrap margins like those of the padded row.
void fill_planes(StreamResizer* r, const uint8_t* row) {
  r->loops->split_planes(row, r->source_width, r->planes);
  if (!r->wrap) return;
  const int32_t width = r->source_width;
  for (uint8_t* plane : r->planes) {
    for (int32_t i = 1; i <= r->left_margin; ++i) plane[-i] = plane[(width - i % width) % width];
    for (int32_t i = 0; i < r->plane_taps; ++i) plane[width + i] = plane[i % width];
  }
}

// True when every destination column is its source column (no horizontal resampling).
bool same_columns(const StreamResizer& r) {
  return r.source_width == r.destination_width && r.horizontal.scale == 1.0;
}

// Columns whose taps lie inside the row read it where it is; only the pixels under the edge
// columns' windows are copied into the padded row, next to its margins. Columns are filtered
// left to right, so a vector store running past a column is overwritten by the next one.
void filter_row_into(StreamResizer* r, const uint8_t* row, uint8_t* window_row) {
  if (same_columns(*r)) {
    std::memcpy(window_row, row, r->line_size);
    return;
  }
  if (r->use_planes) {
    fill_planes(r, row);
    r->loops->planar_horizontal(r->planes, r->horizontal_firsts, r->weight_halves, r->plane_taps,
                                r->destination_width, window_row);
    return;
  }
  const int32_t taps = r->horizontal.padded_taps;
  const int32_t begin = r->direct_begin;
  const int32_t end = r->direct_end;
  const int32_t* firsts = r->horizontal_firsts;
  if (begin < end) {
    if (begin > 0) copy_into_padded_row(r, row, 0, firsts[begin - 1] + taps);
    if (end < r->destination_width) copy_into_padded_row(r, row, firsts[end], r->source_width);
  } else {
    copy_into_padded_row(r, row, 0, r->source_width);
  }
  if (r->wrap) fill_wrap_margins(r, row);
  const uint8_t* zero =
      r->padded_source + static_cast<ptrdiff_t>(r->left_margin) * r->bytes_per_pixel;
  if (begin >= end) {
    filter_columns(r, zero, 0, r->destination_width, window_row);
    return;
  }
  filter_columns(r, zero, 0, begin, window_row);
  filter_columns(r, row, begin, end, window_row);
  filter_columns(r, zero, end, r->destination_width, window_row);
}

// The columns that may read the caller's row directly: every tap, plus the bytes a vector load
// may take past the last one, lies inside the row. Firsts never decrease, so they are a range.
void find_direct_columns(StreamResizer* r) {
  const int64_t row_bytes = static_cast<int64_t>(r->source_width) * r->bytes_per_pixel;
  const auto inside = [&](int32_t first) {
    return first >= 0 &&
           (static_cast<int64_t>(first) + r->horizontal.padded_taps) * r->bytes_per_pixel +
                   kRowSlackBytes <=
               row_bytes;
  };
  int32_t begin = 0;
  while (begin < r->destination_width && r->horizontal_firsts[begin] < 0) ++begin;
  int32_t end = begin;
  while (end < r->destination_width && inside(r->horizontal_firsts[end])) ++end;
  r->direct_begin = begin < end ? begin : 0;
  r->direct_end = begin < end ? end : 0;
}

// Drops `count` rows from the front of the window; their buffers go to the back of the ring.
void drop_window_rows(StreamResizer* r, int32_t count) {
  if (count <= 0) return;
  const int32_t shift = std::min(count, r->window_capacity);
  std::rotate(r->window, r->window + shift, r->window + r->window_capacity);
  r->window_rows_held = std::max(0, r->window_rows_held - count);
}

}  // namespace

const FilterKernel* find_filter_kernel(int32_t code) {
  for (const FilterKernel& kernel : kFilterKernels)
    if (kernel.code == code) return &kernel;
  return nullptr;
}

int32_t parse_filter_name(const char* word) {
  if (!word) return -1;
  char lowered[16];
  size_t length = std::strlen(word);
  if (length >= sizeof lowered) return -1;
  for (size_t i = 0; i <= length; ++i) lowered[i] = lowered_ascii(word[i]);
  for (const FilterWord& entry : kFilterWords)
    if (std::strcmp(lowered, entry.word) == 0) return entry.code;
  return -1;
}

const ResizerLoops* portable_resizer_loops(int32_t pixel_format) {
  switch (pixel_format) {
    case kPixelGray8:
      return &kPortableGray8;
    case kPixelRgb8:
      return &kPortableRgb8;
    case kPixelRgba8:
      return &kPortableRgba8;
    case kPixelRgb16:
      return &kPortableRgb16;
    case kPixelRgba16:
      return &kPortableRgba16;
    default:
      return nullptr;
  }
}

void set_resizer_allocation_hooks(ResizerAllocateFn allocate, ResizerReleaseFn release) {
  if (allocate && release) {
    g_allocate = allocate;
    g_release = release;
  } else {
    g_allocate = standard_allocate;
    g_release = standard_release;
  }
}

ResizerPtr resizer_create(int32_t destination_width, int32_t destination_height,
                          int32_t source_width, int32_t source_height, int32_t pixel_format,
                          int32_t filter_code, bool horizontal_wrap) {
  return resizer_create_spanning(destination_width, destination_height, source_width, source_height,
                                 source_width, source_height, pixel_format, filter_code,
                                 horizontal_wrap);
}

ResizerPtr resizer_create_spanning(int32_t destination_width, int32_t destination_height,
                                   int32_t source_width, int32_t source_height,
                                   double source_extent_x, double source_extent_y,
                                   int32_t pixel_format, int32_t filter_code,
                                   bool horizontal_wrap) {
  const FilterKernel* kernel = find_filter_kernel(filter_code);
  const int32_t bpp = pixel_format_bytes(static_cast<PixelFormat>(pixel_format));
  const ResizerLoops* loops = choose_loops(pixel_format);
  if (!kernel || bpp == 0 || !loops) return nullptr;
  if (destination_width < 1 || destination_height < 1 || source_width < 1 || source_height < 1)
    return nullptr;
  // A partial last pixel only: every source pixel keeps some of the image.
  if (!(source_extent_x > source_width - 1.0 && source_extent_x <= source_width) ||
      !(source_extent_y > source_height - 1.0 && source_extent_y <= source_height))
    return nullptr;

  ContributionList horizontal;
  ContributionList vertical;
  plan_axis(&horizontal, kernel, destination_width, source_extent_x);
  plan_axis(&vertical, kernel, destination_height, source_extent_y);
  // Window bounds and the window's row count are 32-bit: refuse supports that would carry them
  // past that (no such window could be allocated anyway).
  constexpr double kIndexLimit = 2147483000.0;
  const double window_rows = 2.0 * vertical.effective_support + 3.0;
  if (!(source_width + horizontal.effective_support + 2.0 < kIndexLimit) ||
      !(source_height + vertical.effective_support + 2.0 < kIndexLimit) ||
      !(window_rows < kIndexLimit))
    return nullptr;
  horizontal.padded_taps =
      round_up(most_taps(horizontal, source_width, horizontal_wrap), loops->tap_multiple);
  vertical.padded_taps = most_taps(vertical, source_height, false);
  const int32_t window_capacity = static_cast<int32_t>(window_rows);

  // Margins of the padded source row: the most any window reaches left of pixel 0, and on the
  // right the padded taps (no window starts at or past the last pixel).
  int32_t left_margin = 0;
  if (horizontal_wrap)
    for (int32_t i = 0; i < destination_width; ++i)
      left_margin = std::max(left_margin, -window_of(horizontal, i, source_width, true).first);
  const uint64_t padded_pixels = static_cast<uint64_t>(source_width) +
                                 static_cast<uint64_t>(left_margin) +
                                 static_cast<uint64_t>(horizontal.padded_taps);

  const int weight_bits = is_16bit(pixel_format) ? kWeightBits16 : kWeightBits8;
  const uint64_t line_size = static_cast<uint64_t>(destination_width) * bpp;
  const uint64_t row_stride = (line_size + kRowSlackBytes + 63) & ~static_cast<uint64_t>(63);
  const int32_t raw_count =
      std::max(horizontal.padded_taps, std::max(vertical.padded_taps, int32_t{1}));

  BlockPlan plan;
  plan.record = reserve(&plan, 1, sizeof(StreamResizer));
  plan.horizontal_entries = reserve(&plan, destination_width, sizeof(Contribution));
  plan.horizontal_weights = reserve(
      &plan, static_cast<uint64_t>(destination_width) * horizontal.padded_taps, sizeof(int32_t));
  plan.horizontal_firsts = reserve(&plan, destination_width, sizeof(int32_t));
  plan.vertical_entries = reserve(&plan, destination_height, sizeof(Contribution));
  plan.vertical_weights = reserve(
      &plan, static_cast<uint64_t>(destination_height) * vertical.padded_taps, sizeof(int32_t));
  plan.raw_weights = reserve(&plan, raw_count, sizeof(double));
  plan.window_pointers = reserve(&plan, window_capacity, sizeof(uint8_t*));
  plan.window_rows = reserve(&plan, window_capacity, row_stride);
  // The planar loops' tables: weight halves, then the planes, zeroed with the padded row (their
  // margins stay zero without wrap).
  const int32_t plane_taps =
      loops->planar_horizontal ? planar_tap_count(horizontal.padded_taps) : 0;
  const uint64_t plane_stride =
      (static_cast<uint64_t>(source_width) + left_margin + plane_taps + kRowSlackBytes + 63) &
      ~static_cast<uint64_t>(63);
  if (plane_taps > 0)
    plan.weight_halves =
        reserve(&plan, static_cast<uint64_t>(destination_width) * plane_taps * 2, sizeof(int16_t));
  plan.padded_source = reserve(&plan, padded_pixels * bpp + kRowSlackBytes, 1);
  if (plane_taps > 0) plan.planes = reserve(&plan, 3, plane_stride);
  if (!plan.fits || plan.total > SIZE_MAX) return nullptr;

  uint8_t* block = static_cast<uint8_t*>(g_allocate(static_cast<size_t>(plan.total)));
  if (!block) return nullptr;
  // Only the record and the padded row need zeros (the row's margins stay zero without wrap);
  // everything else is written before it is read, so a large window is not touched up front.
  std::memset(block, 0, sizeof(StreamResizer));
  std::memset(block + plan.padded_source, 0, static_cast<size_t>(plan.total - plan.padded_source));

  StreamResizer* r = reinterpret_cast<StreamResizer*>(block + plan.record);
  r->destination_width = destination_width;
  r->destination_height = destination_height;
  r->source_width = source_width;
  r->source_height = source_height;
  r->pixel_format = pixel_format;
  r->bytes_per_pixel = bpp;
  r->filter_code = filter_code;
  r->wrap = horizontal_wrap ? 1 : 0;
  r->rows_consumed = 0;
  r->rows_produced = 0;
  r->horizontal = horizontal;
  r->vertical = vertical;
  r->window_capacity = window_capacity;
  r->window_rows_held = 0;
  r->window = reinterpret_cast<uint8_t**>(block + plan.window_pointers);
  for (int32_t k = 0; k < window_capacity; ++k)
    r->window[k] = block + plan.window_rows + k * row_stride;
  r->line_size = static_cast<size_t>(line_size);
  r->padded_source = block + plan.padded_source;
  r->left_margin = left_margin;
  r->horizontal_firsts = reinterpret_cast<int32_t*>(block + plan.horizontal_firsts);
  r->loops = loops;
  r->release = g_release;

  double* raw = reinterpret_cast<double*>(block + plan.raw_weights);
  fill_weights(&r->horizontal, source_width, horizontal_wrap, weight_bits,
               reinterpret_cast<Contribution*>(block + plan.horizontal_entries),
               reinterpret_cast<int32_t*>(block + plan.horizontal_weights), r->horizontal_firsts,
               raw);
  fill_weights(&r->vertical, source_height, false, weight_bits,
               reinterpret_cast<Contribution*>(block + plan.vertical_entries),
               reinterpret_cast<int32_t*>(block + plan.vertical_weights), nullptr, raw);
  find_direct_columns(r);
  if (plane_taps > 0 && !same_columns(*r)) {
    for (int c = 0; c < 3; ++c) r->planes[c] = block + plan.planes + c * plane_stride + left_margin;
    r->weight_halves = reinterpret_cast<int16_t*>(block + plan.weight_halves);
    r->plane_taps = plane_taps;
    r->use_planes = split_weights(r) ? 1 : 0;
  }
  return ResizerPtr(r);
}

void resizer_free(StreamResizer* resizer) {
  if (resizer) resizer->release(resizer);
}

void resizer_reset(StreamResizer* resizer) {
  resizer->rows_consumed = 0;
  resizer->rows_produced = 0;
  resizer->window_rows_held = 0;
}

void resizer_use_portable_loops(StreamResizer* resizer) {
  resizer->loops = portable_resizer_loops(resizer->pixel_format);
  resizer->use_planes = 0;
}

int resizer_push_row(const void* source_row, StreamResizer* r, void* destination_row) {
  const int32_t produced = r->rows_produced;
  if (produced >= r->destination_height) {
    if (r->rows_consumed < r->source_height) ++r->rows_consumed;
    return 0;
  }
  const Contribution& contribution = r->vertical.entries[produced];
  if (r->rows_consumed < contribution.end) {
    if (!source_row) return 0;
    filter_row_into(r, static_cast<const uint8_t*>(source_row), r->window[r->window_rows_held]);
    ++r->window_rows_held;
    if (r->window_rows_held == r->window_capacity) drop_window_rows(r, 1);
    ++r->rows_consumed;
    if (r->rows_consumed != contribution.end) return 0;
  }
  const int32_t taps = std::min(contribution.end - contribution.first, r->window_rows_held);
  const int32_t samples = static_cast<int32_t>(r->line_size / (is_16bit(r->pixel_format) ? 2 : 1));
  r->loops->vertical(r->window, contribution.weights, taps, samples,
                     static_cast<uint8_t*>(destination_row));
  if (produced + 1 < r->destination_height)
    drop_window_rows(r, r->vertical.entries[produced + 1].first - contribution.first);
  r->rows_produced = produced + 1;
  if (r->rows_produced == r->destination_height && r->rows_consumed < r->source_height) return 0;
  return 1;
}
