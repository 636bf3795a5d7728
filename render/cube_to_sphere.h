// Rendering one equirectangular (spherical) panorama out of the six faces of a cube. The faces
// are tiled images of 32 × 32 pixels read through their own four-slot views; every output pixel
// casts one ray, takes the first face it meets and samples it (bilinear or Catmull-Rom bicubic
// in fixed point, clamped to the face). Rows are streamed to the writer, optionally rendered
// larger and reduced with a LANCZOS resizer, so memory stays at a few tiles and the window.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "imageio/image_file.h"
#include "memory/tiled_image.h"
#include "render/panorama_geometry.h"
#include "render/render_core.h"

struct ConsoleOps;

// The plane of one face, built once per rendering from the face table.
struct FacePlane {
  Direction corner;       // top-left corner of the face image
  Direction s_direction;  // image rightward, unit length
  Direction t_direction;  // image downward, unit length
  Direction normal;       // outward unit normal
  double constant;        // normal · corner (0.5 for the unit cube)
};

// The six faces of one rendering in side order (0 left … 5 down).
struct CubeSource {
  TiledImage* faces[6] = {};  // square images of the same size, 32 × 32 tiles, type 6 or 7
  TileView* views[6] = {};    // one view per face
  bool sixteen_bit = false;   // faces are 16-bit RGBA (else 8-bit BGRA)
  FaceOrientation orientations[6] = {};  // how each face image is turned against its side
  FacePlane planes[6] = {};
};

// Fills the face planes of a source from the face table, each turned as its image is.
void build_face_planes(CubeSource* source);

// What the tool hands over for one rendering.
struct SphereJob {
  int32_t width = 0;  // output size
  int32_t height = 0;
  int32_t natural_width = 0;  // the sphere width whose resolution matches the faces
  bool fast = false;          // bilinear instead of bicubic sampling
  bool no_oversampling = false;
  float oversample = 0.0f;              // oversample factor; 0 = automatic
  ImageProps writer_options;            // quality, sampling, compression; icc set from `icc`
  std::vector<uint8_t> icc;             // profile embedded in the output, empty for none
  std::string output_name;              // written under a temporary name, renamed when complete
  bool verbose = false;                 // log the conversion time
  ConsoleOps* console = nullptr;        // messages; null: silent
  RenderProgressFn progress = nullptr;  // rows done of total, then (1, 1); null for none
  void* progress_user = nullptr;
  WorkerPool* pool = nullptr;  // renders bands of rows on it (the faces must share their tile
                               // locks, share_tile_locks); null: on the calling thread
};

// The oversampling decision of a job: the rendering size and whether a resizer reduces it.
struct SpherePlan {
  bool oversample = false;
  double factor = 1.0;  // k, at most 4
  int32_t render_width = 0;
  int32_t render_height = 0;
};
SpherePlan plan_sphere_rendering(const SphereJob& job);

struct SphereRendering;
using SphereRowFn = void (*)(SphereRendering* rendering, int32_t row, uint8_t* out);

// Per-rendering constants: the source, its face samplers, the rendering size, the sine and
// cosine of every column's longitude, and the row variant (depth × sampling) chosen once.
struct SphereRendering {
  CubeSource* source = nullptr;
  PanoSampler samplers[6];  // one per face, over the source's face and view
  int32_t width = 0;
  int32_t height = 0;
  int32_t face_size = 0;
  std::vector<double> column_sine;
  std::vector<double> column_cosine;
  SphereRowFn render_row = nullptr;
};

// Prepares a rendering of width × height (planes built, samplers made, tables filled, variant
// chosen).
void init_sphere_rendering(SphereRendering* rendering, CubeSource* source, int32_t width,
                           int32_t height, bool fast);

// Fills one rendering row: RGB, 3 bytes per pixel for 8-bit faces, 6 for 16-bit faces; pixels
// whose ray meets no face are black.
void render_sphere_row(SphereRendering* rendering, int32_t row, uint8_t* out);

// Renders the whole sphere and writes it; on a file that cannot be created or completed reports
// "error creating file" (format, then error callback) and returns false, leaving no file.
bool render_sphere(const SphereJob& job, CubeSource* source);
