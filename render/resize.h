// The streaming, separable two-pass resizer: fed one source row at a time, it hands back each
// destination row as soon as the rows under its vertical filter window are in, so images far
// larger than memory are resized while they are read or rendered. Only the rows of the window
// are kept. Arithmetic is integer only (fixed-point weights, 32-bit sums), so results are
// identical on every machine and with every inner-loop variant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "imageio/image_file.h"

// Filter codes; codes not listed are never selected by any word or caller.
enum FilterCode : int32_t {
  kFilterPoint = 1,
  kFilterLinear = 2,
  kFilterHanning = 4,
  kFilterHamming = 5,
  kFilterGauss = 7,
  kFilterCubic = 9,
  kFilterMitchell = 11,
  kFilterLanczos = 12,
};

// One weight function of the filter table.
struct FilterKernel {
  int32_t code;                                // filter code (FilterCode)
  double (*weight)(double x, double support);  // weight at distance x in source pixels
  double support;                              // support radius in source pixels at scale 1
};

// The filter row for a code, or null when the code is not in the table.
const FilterKernel* find_filter_kernel(int32_t code);

// The filter code for a word (any letter case): point, linear, hanning, hamming, gauss, cubic,
// mitchell, lanczos; -1 for any other word or a null word.
int32_t parse_filter_name(const char* word);

// The source pixels and fixed-point weights that make one destination pixel of one axis.
struct Contribution {
  int32_t first;     // first source index; negative or past the end only with horizontal wrap
  int32_t end;       // one past the last source index
  int32_t* weights;  // end - first weights (2^20 = 1.0 for 8-bit data, 2^14 for 16-bit), followed
                     // by zeros up to the list's padded tap count; lives in the list's table
};

// The contributions of every destination pixel of one axis.
struct ContributionList {
  const FilterKernel* kernel;  // the filter row
  double scale;                // destination size / source size
  double blur;                 // max(1, source size / destination size); 1 for tiny supports
  double effective_support;    // blur * support radius, or 0.500001 for tiny supports
  int32_t count;               // destination size, number of entries
  int32_t padded_taps;         // weights stored per entry: the most taps (horizontal: rounded
                               // up to the inner loops' step: 2 for the portable loops, 8
                               // (gray) or 4 for the vector ones)
  Contribution* entries;       // count entries
};

struct ResizerLoops;

// A resizer for one image size pair, pixel format and filter. All buffers live in one block
// obtained through the allocation hooks when the resizer is created.
struct StreamResizer {
  int32_t destination_width;
  int32_t destination_height;
  int32_t source_width;
  int32_t source_height;
  int32_t pixel_format;         // PixelFormat code: 1, 2, 3, 5 or 6
  int32_t bytes_per_pixel;      // 1, 3, 4, 6 or 8
  int32_t filter_code;          // FilterCode
  uint8_t wrap;                 // 1: the left and right edges of the source meet (360° panoramas)
  int32_t rows_consumed;        // source rows pushed so far
  int32_t rows_produced;        // index of the next destination row
  ContributionList horizontal;  // destination width from source width, wrapping as requested
  ContributionList vertical;    // destination height from source height, never wrapping
  int32_t window_capacity;      // truncate(2 * vertical effective support + 3) rows
  int32_t window_rows_held;     // rows currently in the window
  uint8_t** window;        // window_capacity row pointers; window[0] holds source row first of the
                           // next destination row's vertical contribution
  size_t line_size;        // destination width * bytes per pixel
  uint8_t* padded_source;  // one source row with wrap (or zero) margins on both sides
  int32_t left_margin;     // pixels before source pixel 0 in padded_source
  int32_t direct_begin;    // destination columns [direct_begin, direct_end) read their taps
  int32_t direct_end;      // straight from the caller's row; only the others use padded_source
  int32_t* horizontal_firsts;    // first source index of each destination column, in a row
  uint8_t* planes[3];            // 8-bit RGB with planar loops: the row split into R, G and B,
                                 // each at its source pixel 0 with the padded row's margins
  int16_t* weight_halves;        // the horizontal weights as the planar loops take them
  int32_t plane_taps;            // horizontal taps rounded up for the planar loops
  uint8_t use_planes;            // 1: the horizontal pass runs on planes
  const ResizerLoops* loops;     // inner loops for this pixel format, chosen at creation
  void (*release)(void* block);  // gives the block back to the allocator it came from
};

// Releases a resizer and every buffer it owns; null is accepted.
void resizer_free(StreamResizer* resizer);

struct ResizerDeleter {
  void operator()(StreamResizer* resizer) const { resizer_free(resizer); }
};
using ResizerPtr = std::unique_ptr<StreamResizer, ResizerDeleter>;

// Creates a resizer; null when the filter code or pixel format is unknown, a size is not
// positive, the buffers would not fit the address space or the allocation fails.
ResizerPtr resizer_create(int32_t destination_width, int32_t destination_height,
                          int32_t source_width, int32_t source_height, int32_t pixel_format,
                          int32_t filter_code, bool horizontal_wrap);

// A resizer whose source's last column and last row may be partial, as in an image decoded at
// a fraction of its size (a 1001-pixel row at 1/8 gives 126 pixels spanning 125.125): the
// source spans source_extent_x × source_extent_y pixels, each in (size - 1, size], and source
// pixel centres sit at index + 0.5 of that span. Null as resizer_create, or for an extent
// outside that range. Horizontal wrap still repeats the row every source_width pixels.
// resizer_create is this with the extents equal to the sizes.
ResizerPtr resizer_create_spanning(int32_t destination_width, int32_t destination_height,
                                   int32_t source_width, int32_t source_height,
                                   double source_extent_x, double source_extent_y,
                                   int32_t pixel_format, int32_t filter_code, bool horizontal_wrap);

// Feeds the next source row (or null, to ask for a further destination row when enlarging).
// Returns 1 when the next destination row has been written to destination_row, 0 when more
// source rows are needed. destination_row must hold the larger of one source row and one
// destination row; it may be the same buffer as source_row.
//
// Calling protocol: push a row; on 0 push the next row; on 1 consume the destination row and
// call again with null, which yields further rows (1) until more source rows are needed (0).
// The last destination row is ready exactly when the last source row is pushed.
int resizer_push_row(const void* source_row, StreamResizer* resizer, void* destination_row);

// Rewinds a resizer to its first row so that it serves another image of the same sizes.
void resizer_reset(StreamResizer* resizer);

// Switches a resizer to the portable loops; the vector loops are checked against them.
void resizer_use_portable_loops(StreamResizer* resizer);

// Process-wide allocation hooks for resizer buffers; set once, before any resizer exists.
using ResizerAllocateFn = void* (*)(size_t size);
using ResizerReleaseFn = void (*)(void* block);
// Installs the pair; two nulls restore the standard heap.
void set_resizer_allocation_hooks(ResizerAllocateFn allocate, ResizerReleaseFn release);
