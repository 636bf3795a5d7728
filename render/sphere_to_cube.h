// Rendering perspective images (cube faces and free views) out of a 360° spherical or
// cylindrical panorama held as a tiled image. One output row at a time is computed and streamed
// to an image writer, optionally at a higher resolution that a LANCZOS resizer brings down, so
// memory stays at a few locked tiles, a row buffer and the resizer window.
//
// Sampling is integer only: source positions in fixed point with 8 fractional bits, bilinear or
// Catmull-Rom bicubic interpolation with arithmetic shifts, so results are identical everywhere.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "imageio/color_profile.h"
#include "imageio/image_file.h"
#include "memory/tiled_image.h"
#include "render/panorama_geometry.h"
#include "render/resize.h"

struct ConsoleOps;

// Fetches source pixels of a panorama: columns wrap around once, rows are shifted by the
// vertical offset and then clamped (full sphere) or read as black outside the image (partial).
struct PanoSampler {
  TileView* view = nullptr;  // the four-slot tile cache (shared by every image of a run)
  int32_t width = 0;         // source width W
  int32_t height = 0;        // source height H
  int32_t extent = 0;        // pixel height of the whole sphere E
  int32_t offset = 0;        // rows of the sphere above the image's first row O
  bool clamp = true;         // full sphere: clamp rows; partial: black outside
  int32_t element_size = 4;  // 4 (8-bit BGRA) or 8 (16-bit RGBA)
  int32_t tile_shift = 7;    // log2 of the tile size
  uint64_t black = 0;        // the shared all-zero pixel returned outside a partial image
};

// The name a face file is written under until it is complete (".NAME.partial.EXT" beside it).
std::string partial_face_name(const std::string& name);

// A sampler over a tiled image of type 6 or 7 read through view (both must outlive it).
PanoSampler make_pano_sampler(TiledImage* image, TileView* view);

// Address of source pixel (column, row) after wrap, offset and clamp; null only when a tile
// could not be locked.
const uint8_t* pano_sampler_fetch(PanoSampler* sampler, int32_t column, int32_t row);

// Called with the rows written so far and the rows of the current image (1, 1 when done).
using RenderProgressFn = void (*)(void* user, int64_t done, int64_t total);

// What one conversion run shares between its images. The fast flag may be switched on by the
// oversampling decision and then stays on for the rest of the run.
struct RenderSettings {
  bool fast = false;                                 // bilinear instead of bicubic sampling
  bool no_oversampling = false;                      // never oversample automatically
  float oversample = 0.0f;                           // oversampling factor; 0 (or less) = automatic
  bool cylinder = false;                             // the source is a cylindrical panorama
  ProfileMode profile_mode = kProfileSkip;           // what to do with the source's profile
  const std::vector<uint8_t>* source_icc = nullptr;  // the source's profile, null or empty: none
  PanoSampler* sampler = nullptr;                    // the run's source sampler
  RenderProgressFn progress = nullptr;               // row progress, null for none
  void* progress_user = nullptr;
};

// The oversampling decision for an output of width × height and a vertical field of view.
struct OversamplePlan {
  bool oversample = false;      // render larger and reduce with LANCZOS
  double factor = 1.0;          // k, at most 4
  bool switch_to_fast = false;  // automatic k above 2: bilinear sampling from now on
  int32_t render_width = 0;     // the rendering size (the output size without oversampling)
  int32_t render_height = 0;
};

// The face size whose centre pixel density equals a panorama of source_width: W / π rounded.
int32_t natural_face_size(int32_t source_width);

// Decides whether and how much to oversample (does not change settings).
OversamplePlan plan_oversampling(const RenderSettings& settings, int32_t source_width,
                                 int32_t width, int32_t height, double fov);

// Fixed-point source position of one sample: 8 fractional bits, already moved from pixel edges
// to pixel centres (pixel x0 = x >> 8, fraction x & 255).
struct SamplePosition {
  int32_t x;
  int32_t y;
};

// Interpolates the source at a fixed-point position into R, G, B (bytes, or 16-bit values for
// 16-bit sources): Catmull-Rom bicubic or bilinear.
void pano_sample(PanoSampler* sampler, SamplePosition position, bool bicubic, uint8_t* out);

// Per output image (one per face in the strip renderers): what render_row needs.
struct RenderContext;
using RowRenderFn = void (*)(RenderContext* context, int32_t row);

struct RenderContext {
  PanoSampler* sampler = nullptr;
  std::vector<uint8_t> row;  // one rendered row: 3 bytes per pixel (8-bit) or 6 (16-bit)
  std::vector<SamplePosition> positions;  // the row's source positions
  int32_t width = 0;                      // rendering size
  int32_t height = 0;
  int32_t face = -1;   // 0 … 5 for cube faces (16-pixel spans), -1 for a free view (exact)
  CameraFrame camera;  // orientation and image plane of this image at the rendering size
  double fov = 90.0;   // vertical field of view in degrees
  bool cylinder = false;
  bool sixteen_bit = false;          // source elements are 16-bit RGBA
  RowRenderFn render_row = nullptr;  // the variant for depth, mapping and sampling
};

// Prepares a context for a rendering of width × height with the 90° camera of face 0 … 5 (its
// frame taken from the face square) or of a free view (face -1 with the given angles and fov);
// the extra rotation (null for none) acts last.
void init_render_context(RenderContext* context, const RenderSettings& settings, int32_t width,
                         int32_t height, int32_t face, const RotationMatrix* extra,
                         double vertical_angle, double heading, double roll, double fov);

// Chooses the row variant again from the settings' fast flag (after the oversampling decision).
void select_row_renderer(RenderContext* context, const RenderSettings& settings);

// Texture coordinates of the centre of pixel (column, row) of a context.
TextureCoord render_pixel_texture(const RenderContext& context, int32_t column, int32_t row);

// Renders one face or view and writes it to output_name (written under a temporary name in the
// same folder and renamed when complete). On a file that cannot be created logs
// "error creating file \"%s\"!\n\n" and returns false.
bool render_image(RenderSettings* settings, ConsoleOps* console, const ImageProps& writer_options,
                  int32_t width, int32_t height, int32_t face, const RotationMatrix* extra,
                  double vertical_angle, double heading, double roll, double fov,
                  const std::string& output_name);

// The message logged when an output file cannot be created (one %s: the name).
extern const char kErrorCreatingFile[];

// The writer side shared by the face and strip renderers: the file is written under a
// temporary name in the same folder and gets its final name only when it is complete.
struct RenderOutput {
  std::string final_name;
  std::string temporary_name;
  ImageFilePtr writer;
  ColorConversion conversion;
  ImageProps props;
};

// Creates the writer (RGB of the source depth) and the colour conversion; false (nothing left
// on disk) when the file cannot be created.
bool open_render_output(RenderOutput* output, const RenderSettings& settings,
                        const ImageProps& writer_options, const std::string& name, int32_t width,
                        int32_t height);
// Colour-converts and writes one row; false on a write error.
bool write_render_row(RenderOutput* output, void* row, int32_t width);
// Closes the writer and renames the file; on failure deletes it. True when the file is complete.
bool finish_render_output(RenderOutput* output, bool success);

// Rows of one face or view as they come out: rendered directly, or rendered larger and reduced
// by a LANCZOS resizer. The strip renderers keep one per face and take their rows side by side.
struct FaceRowStream {
  RenderContext context;
  ResizerPtr resizer;            // null without oversampling
  std::vector<uint8_t> reduced;  // the resizer's destination row
  int32_t rendered_rows = 0;     // rendering rows produced so far
  bool pull_pending = false;     // the last push gave a row: ask with a null row first
};

// Sets up the stream's resizer for output_width × output_height from the context's rendering
// size (none when they are equal and reduce is false); false when it cannot be created.
bool init_face_row_stream(FaceRowStream* stream, int32_t output_width, int32_t output_height,
                          bool reduce);

// Rewinds the stream to the first row of a new image of the same sizes.
void rewind_face_row_stream(FaceRowStream* stream);

// The next output row (output width pixels, RGB), or null when the rendering ran out of rows.
uint8_t* next_face_row(FaceRowStream* stream);
