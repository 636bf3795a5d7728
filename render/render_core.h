// The render core shared by the renderers of this folder (sphere or cylinder to faces and views,
// cube faces to sphere, strips, the smooth preview's writer):
//   - the sampler: source pixels of a tiled image through a four-slot tile cache, with the edge
//     rule of a panorama (columns wrap, rows offset and clamped or black) or of a cube face
//     (both clamped);
//   - the interpolation: Catmull-Rom bicubic or bilinear in fixed point with 8 fractional bits,
//     integer only, so results are identical everywhere (inline kernels: render_core_kernels.h);
//   - rendered rows: one rendering row at a time, optionally reduced by a LANCZOS resizer;
//   - the row output: a writer opened from a pixel format, a size and writer settings, written
//     under a temporary name and renamed only when complete.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/threads.h"
#include "imageio/color_profile.h"
#include "imageio/image_file.h"
#include "memory/big_buffer.h"
#include "memory/tiled_image.h"
#include "render/resize.h"

// ---- sampler ---------------------------------------------------------------------------------

// Fetches source pixels of a tiled image of type 6 or 7. A panorama's columns wrap around once
// and its rows are shifted by the vertical offset, then clamped (full sphere) or read as black
// outside the image (partial); a cube face clamps both coordinates to the face.
struct PanoSampler {
  TileView* view = nullptr;  // the four-slot tile cache (may serve every image of a run)
  int32_t width = 0;         // source width W
  int32_t height = 0;        // source height H
  int32_t extent = 0;        // pixel height of the whole sphere E (a face: its height)
  int32_t offset = 0;        // rows of the sphere above the image's first row O (a face: 0)
  bool clamp = true;         // full sphere or face: clamp rows; partial: black outside
  bool wrap_columns = true;  // panorama: columns wrap around; face: columns are clamped
  int32_t element_size = 4;  // 4 (8-bit BGRA) or 8 (16-bit RGBA)
  int32_t tile_shift = 7;    // log2 of the tile size
  uint64_t black = 0;        // the shared all-zero pixel returned outside a partial image
};

// A sampler over a panorama read through view (both must outlive it).
PanoSampler make_pano_sampler(TiledImage* image, TileView* view);

// A sampler over one cube face read through view (both must outlive it).
PanoSampler make_face_sampler(TiledImage* image, TileView* view);

// Address of source pixel (column, row) after the edge rule; null only when a tile could not be
// locked.
const uint8_t* pano_sampler_fetch(PanoSampler* sampler, int32_t column, int32_t row);

// Fixed-point source position of one sample: 8 fractional bits, already moved from pixel edges
// to pixel centres (pixel x0 = x >> 8, fraction x & 255).
struct SamplePosition {
  int32_t x;
  int32_t y;
};

// Interpolates the source at a fixed-point position into R, G, B (bytes, or 16-bit values for
// 16-bit sources): Catmull-Rom bicubic or bilinear. The renderers' row loops use the inline
// kernels instead; this serves single samples.
void pano_sample(PanoSampler* sampler, SamplePosition position, bool bicubic, uint8_t* out);

// Samples count positions of an 8-bit source into count RGB pixels at out (bicubic or
// bilinear): a row loop's inner work, with vector loops where the processor has them.
void sample_run_8bit(PanoSampler* sampler, const SamplePosition* positions, int32_t count,
                     bool bicubic, uint8_t* out);

// The 8-bit sampling loops this processor can run, all with the same bytes: the portable one
// first, the one sample_run_8bit uses last.
using SampleRun8bitFn = void (*)(PanoSampler* sampler, const SamplePosition* positions,
                                 int32_t count, bool bicubic, uint8_t* out);
std::vector<SampleRun8bitFn> sample_run_8bit_loops();

// The pixel format of rendered rows: RGB of the source depth (the source's alpha is dropped).
PixelFormat rendered_pixel_format(bool sixteen_bit);

// Called with the rows written so far and the rows of the current image (1, 1 when done).
using RenderProgressFn = void (*)(void* user, int64_t done, int64_t total);

// ---- rendered rows ---------------------------------------------------------------------------

// Fills `out` with rendering row `row` of the image described by state.
using RenderRowFn = void (*)(void* state, int32_t row, uint8_t* out);

// Rows of one image as they come out: rendered directly, or rendered larger (or smaller) and
// brought to the output size by a LANCZOS resizer.
struct RenderedRows {
  RenderRowFn render = nullptr;  // the row renderer, chosen once per image
  void* state = nullptr;         // its first argument; must stay in place while rows are taken
  int32_t render_width = 0;      // rendering size
  int32_t render_height = 0;
  std::vector<uint8_t> rendered;  // one rendering row
  ResizerPtr resizer;             // null when rendering at the output size
  std::vector<uint8_t> reduced;   // the resizer's destination row
  int32_t rendered_rows = 0;      // rendering rows produced so far
  bool pull_pending = false;      // the last push gave a row: ask with a null row first
  // Bands (set by spread_rendered_rows): rows are rendered ahead, a band at a time, on a pool;
  // worker w renders through worker_states[w]. Rows are independent of one another and of the
  // worker, so the output is the same as rendering them one by one.
  // While the caller takes a band's rows, the pool's helpers already render the next band.
  WorkerPool* pool = nullptr;
  std::vector<void*> worker_states;
  BigBuffer band_memory;      // room for two bands
  uint8_t* band = nullptr;    // band_rows rendering rows
  int32_t band_rows = 0;      // rows a band holds
  int32_t band_first = 0;     // rendering row of the band's first row
  int32_t band_count = 0;     // rows in the band (0: empty)
  uint8_t* next_band = nullptr;  // the band being rendered ahead
  int32_t next_first = 0;
  int32_t next_count = 0;
  bool next_pending = false;  // the pool is rendering next_band

  RenderedRows() = default;
  RenderedRows(const RenderedRows&) = delete;
  RenderedRows& operator=(const RenderedRows&) = delete;
  ~RenderedRows();
};

// Sets rows up for an output of output_width × output_height in format (RGB 8 or 16 bit) from
// a rendering of render_width × render_height; a resizer is made when the sizes differ or
// reduce is set. False when the resizer cannot be created.
bool init_rendered_rows(RenderedRows* rows, RenderRowFn render, void* state, PixelFormat format,
                        int32_t render_width, int32_t render_height, int32_t output_width,
                        int32_t output_height, bool reduce);

// Renders the rows in bands on pool from now on, worker w through worker_states[w] (one per
// pool_workers); states must stay in place while rows are taken. Nothing changes with a null
// pool.
void spread_rendered_rows(RenderedRows* rows, WorkerPool* pool, std::vector<void*> worker_states);

// Rewinds to the first row of a new image of the same sizes (the renderer may change).
void rewind_rendered_rows(RenderedRows* rows);

// Waits for a band being rendered ahead and drops it, so the renderer's states and the pool may
// be used again; its rows are rendered anew if they are taken later. Called before rows stop
// being taken early.
void settle_rendered_rows(RenderedRows* rows);

// The next output row, or null when the rendering ran out of rows.
uint8_t* next_rendered_row(RenderedRows* rows);

// ---- row output ------------------------------------------------------------------------------

// The message logged when an output file cannot be created (one %s: the name).
extern const char kErrorCreatingFile[];

// A writer whose file is written under a temporary name in the same folder and gets its final
// name only when it is complete.
struct RenderOutput {
  std::string final_name;
  std::string temporary_name;
  ImageFilePtr writer;
  ColorConversion conversion;  // applied to every row before it is written
  ImageProps props;            // the writer options as used, profile included
};

// What a rendered image is written with: the writer options and what becomes of the source's
// profile (converted, copied or skipped by profile_mode; none without a profile).
struct RenderWriterSettings {
  ImageProps options;
  ProfileMode profile_mode = kProfileSkip;
  const std::vector<uint8_t>* source_icc = nullptr;  // null or empty: no profile
};

// The name an output is written under until it is complete (".NAME.partial.EXT" beside it).
std::string partial_face_name(const std::string& name);

// Creates the writer for width × height pixels of format (RGB 8 or 16 bit) and the colour
// conversion; false (nothing left on disk) when the file cannot be created.
bool open_render_output(RenderOutput* output, const std::string& name, PixelFormat format,
                        int32_t width, int32_t height, const RenderWriterSettings& settings);

// Colour-converts and writes one row; false on a write error.
bool write_render_row(RenderOutput* output, void* row, int32_t width);

// Takes the next row and writes it as row `written` of height, with its progress call; false
// when no row came or it could not be stored.
bool write_next_rendered_row(RenderedRows* rows, RenderOutput* output, int32_t width,
                             int32_t height, int32_t written, RenderProgressFn progress,
                             void* progress_user);

// Writes the next height rows of rows to output (width pixels each), calling progress after
// every row with the row index when rendering directly, with the rows written when resizing.
// False when a row cannot be produced or written.
bool write_rendered_rows(RenderedRows* rows, RenderOutput* output, int32_t width, int32_t height,
                         RenderProgressFn progress, void* progress_user);

// Closes the writer and renames the file; on failure deletes it. True when the file is complete.
bool finish_render_output(RenderOutput* output, bool success);
