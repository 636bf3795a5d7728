// Rendering perspective images (cube faces and free views) out of a 360° spherical or
// cylindrical panorama held as a tiled image. One output row at a time is computed and streamed
// to an image writer, optionally at a higher resolution that a LANCZOS resizer brings down, so
// memory stays at a few locked tiles, a row buffer and the resizer window.
//
// Sampling, interpolation, the row stream and the writer side are the render core's
// (render_core.h); this renderer adds the cameras, the source positions of each row and the
// oversampling decision.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "imageio/color_profile.h"
#include "imageio/image_file.h"
#include "render/panorama_geometry.h"
#include "render/render_core.h"

struct ConsoleOps;

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
  WorkerPool* pool = nullptr;  // renders the rows of an image in bands on it; null: alone
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

// Per output image (one per face in the strip renderers): what render_row needs.
struct RenderContext;
// Fills out with rendering row `row`: 3 bytes per pixel (8-bit source) or 6 (16-bit).
using RowRenderFn = void (*)(RenderContext* context, int32_t row, uint8_t* out);

struct RenderContext {
  PanoSampler* sampler = nullptr;
  std::vector<SamplePosition> positions;  // the row's source positions
  std::vector<TextureCoord> span_ends;    // exact coordinates at the ends of the row's spans
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
// "error creating file \"%s\"!\n\n" through console (nothing when it is null) and returns false.
bool render_image(RenderSettings* settings, ConsoleOps* console, const ImageProps& writer_options,
                  int32_t width, int32_t height, int32_t face, const RotationMatrix* extra,
                  double vertical_angle, double heading, double roll, double fov,
                  const std::string& output_name);

// Opens the output of a face renderer: RGB of the source depth, the settings' profile handling.
bool open_face_output(RenderOutput* output, const RenderSettings& settings,
                      const ImageProps& writer_options, const std::string& name, int32_t width,
                      int32_t height);

// Completes the output of a face renderer: the file is closed and named, or deleted and
// "error creating file" logged when it is not complete; then progress (1, 1). True when complete.
bool finish_face_output(RenderOutput* output, bool success, const RenderSettings& settings,
                        ConsoleOps* console);

// How high up the source the rest of a rendering can reach, for giving back the source rows
// above it while the rendering goes down (the source read as a stream). The latitude of a
// rendering's remaining rows is highest on their outline, unless the pole lies inside; so the
// outline is sampled, with the columns' part prepared once.
struct SourceReach {
  std::vector<double> column_top;  // per rendering row r: the highest point of both edge
                                   // columns from r to the bottom (texture v, smaller is higher)
  double bottom_top = 0.0;         // the same along the bottom row
  double pole_row = 1e300;         // rendering row of the north pole, or far away
  double pole_column = 0.0;
  double step_rows = 0.0;          // the most source rows between two neighbouring samples
};

// Prepares the reach of a context's rendering (its camera and size).
void init_source_reach(SourceReach* reach, const RenderContext& context);

// The first source row that rendering rows row … height - 1 of the context may read, kernel
// included (0 when they may reach the top; INT32_MAX when no row is left).
int32_t first_source_row_from(const SourceReach& reach, const RenderContext& context,
                              int32_t row);

// Rows of one face or view as they come out: rendered directly, or rendered larger and reduced
// by a LANCZOS resizer. The strip renderers keep one per face and take their rows side by side.
// The stream renders through its own context, so it must stay in place while rows are taken.
struct FaceRowStream {
  RenderContext context;
  RenderedRows rows;
  // Rendering in bands (spread_face_row_stream): per worker a copy of the context reading the
  // source through a tile cache of its own.
  std::vector<TileViewPtr> worker_views;
  std::vector<PanoSampler> worker_samplers;
  std::vector<RenderContext> worker_contexts;

  FaceRowStream() = default;
  FaceRowStream(const FaceRowStream&) = delete;
  FaceRowStream& operator=(const FaceRowStream&) = delete;
  ~FaceRowStream() { settle_rendered_rows(&rows); }  // before the workers' copies go
};

// Sets up the stream's resizer for output_width × output_height from the context's rendering
// size (none when they are equal and reduce is false); false when it cannot be created.
bool init_face_row_stream(FaceRowStream* stream, int32_t output_width, int32_t output_height,
                          bool reduce);

// Renders the stream's rows in bands on pool (nothing changes with a null pool), every worker
// through its own copy of the context and its own tile cache over the source, whose tile locks
// must be shared (share_tile_locks). Call it after init_face_row_stream, and again whenever the
// context changes.
void spread_face_row_stream(FaceRowStream* stream, WorkerPool* pool);

// Rewinds the stream to the first row of a new image of the same sizes.
void rewind_face_row_stream(FaceRowStream* stream);

// The next output row (output width pixels, RGB), or null when the rendering ran out of rows.
uint8_t* next_face_row(FaceRowStream* stream);
