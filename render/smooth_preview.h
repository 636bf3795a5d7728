// The smooth preview renderer: the small, heavily blurred placeholder a panorama viewer shows
// while the real tiles load. A spherical panorama (reduced while it is read) or six cube faces
// are brought to a small working sphere, blurred evenly everywhere (the poles are blurred a
// second time after turning them to the equator, and both results are cross-faded by
// latitude), optionally turned gray, and written as an equirectangular image or as a vertical
// strip of six cube faces, in 8-bit RGB.
//
// Every image inside is 8-bit RGBA, rows top to bottom without padding, owned by the job; the
// alpha byte carries no meaning and is dropped on output. All arithmetic on pixels is integer,
// so results are the same everywhere.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "imageio/color_profile.h"

struct ConsoleOps;

// Progress sinks of a job; user is the job's `user` field.
using PreviewStagesFn = void (*)(void* user, int count, const double* weights);
using PreviewStageFn = void (*)(void* user, int number);
using PreviewProgressFn = void (*)(void* user, int64_t done, int64_t total);

// One preview rendering. Fill it from init_preview_job, load the sources, call render_preview.
struct PreviewJob {
  bool quiet = false;           // read by the caller's callbacks; the renderer reports errors
  std::vector<uint8_t> sphere;  // equirectangular working image; empty: none
  uint32_t sphere_width = 0;    // its size
  uint32_t sphere_height = 0;
  std::vector<uint8_t> faces[6];    // cube faces left, front, right, back, up, down
  uint32_t face_size = 0;           // edge of each face
  int32_t out_width = 0;            // preview width (cube strip: the face size)
  int32_t out_height = 0;           // preview height (cube strip: the face size too)
  std::string out_path;             // output file; the extension selects the format
  bool cubestrip = false;           // six faces stacked vertically instead of a sphere
  bool simple_blur = false;         // blur without the pole treatment
  bool wrap = true;                 // the first blur wraps around horizontally
  uint32_t smooth = 77;             // smoothness 0 … 100; 0 = no blur
  bool gray = false;                // grayscale output
  uint32_t jpeg_quality = 85;       // 0 … 100
  uint32_t jpeg_subsampling = 422;  // 444, 422, 420 or 411
  uint32_t tiff_compression = 2;    // 1 none, 2 lzw, 3 zip, 4 jpeg, 5 auto
  // What to do with the source's profile.
  ProfileMode profile_mode = kProfileConvert;
  std::vector<uint8_t> in_profile;       // ICC profile of the last loaded source
  uint32_t in_profile_size = 0;          // bytes in in_profile
  std::vector<uint8_t> out_profile;      // working: the profile embedded in the output
  uint32_t out_profile_size = 0;         // working: bytes in out_profile
  bool transform = false;                // working: pixels are converted to sRGB
  bool embed = false;                    // working: out_profile goes into the output
  void* user = nullptr;                  // first argument of the progress callbacks
  ConsoleOps* console = nullptr;         // where the error lines go; null: silent
  PreviewStagesFn stages = nullptr;      // progress stage set-up
  PreviewStageFn stage = nullptr;        // stage n ≥ 1 becomes current; 0 advances one stage
  PreviewProgressFn progress = nullptr;  // done of total inside the current stage
  std::vector<uint8_t> composed;         // working: the finished RGBA preview before writing
  int32_t composed_width = 0;            // its size
  int32_t composed_height = 0;
};

// Sets every field to its default (images, callbacks and path empty).
void init_preview_job(PreviewJob* job);

// Releases the output path text.
void clear_preview_job(PreviewJob* job);

// Reads an image file row by row and reduces it on the fly (HANNING, horizontal wrap when asked)
// to a width × height RGBA image; a JPEG at least twice that size is decoded at 1/2, 1/4 or 1/8
// first (image_scale_denominator), keeping the full image's geometry; 16-bit samples keep their
// high byte, RGB and gray rows are widened with an alpha byte of 0. Takes the file's ICC profile
// into in_profile. Empty on failure, after reporting "ERROR: unable to open inputimage", "ERROR:
// unsupported color format" or, for a size whose working images would not fit in the available
// memory, "ERROR: not enough memory for a preview".
std::vector<uint8_t> load_preview_source(int32_t width, PreviewJob* job, const std::string& path,
                                         int32_t height, bool wrap);

// Announces the eleven weighted progress stages (load, cube to sphere, two resizes, rotation,
// two resizes, rotation back, cross-fade, cube strip, writing) and selects the first. For cube
// input without a load stage it first sets the sphere size to 4F × 2F (or a × b with use_size).
void plan_preview_progress(int64_t a, PreviewJob* job, bool with_load_stage, int64_t b,
                           bool use_size);

// Runs cube to sphere (when there is no sphere), smoothing, gray, profile, cube strip and
// writing to out_path (missing folders created; the file appears only when complete). False
// after reporting "ERROR: unable to create file" when the output cannot be written.
bool render_preview(PreviewJob* job);

// render_preview in two parts, so that the work can be done ahead of the writing: everything
// but the writing, leaving the preview in `composed` (and freeing the sources), then the writing
// of `composed`. Each is false after reporting what render_preview reports.
bool compose_preview(PreviewJob* job);
bool write_composed_preview(PreviewJob* job);

// ---- the steps, for callers and tests ------------------------------------------------------

// The sphere rotated about the horizontal (left-right) axis by degrees: 90 brings the poles to
// the equator, -90 back. Eased bilinear sampling, columns wrap, rows clamp; alpha bytes are 0.
std::vector<uint8_t> rotate_sphere_image(const std::vector<uint8_t>& sphere, int32_t width,
                                         int32_t height, double degrees, PreviewJob* job);

// The sphere of width × height from the job's six faces (plain bilinear sampling).
std::vector<uint8_t> cube_faces_to_sphere(PreviewJob* job, int32_t width, int32_t height);

// A vertical strip of six faces of face_size (left, front, right, back, up, down) from the
// job's sphere.
std::vector<uint8_t> sphere_to_cube_strip(PreviewJob* job, int32_t face_size);

// Replaces the job's sphere by its smoothed version (blur through a small image, with the pole
// treatment and the latitude cross-fade unless simple_blur).
bool smooth_preview_sphere(PreviewJob* job);
