// The tiling core: one streaming pass from a source image (or a grid of input tiles) to a grid
// of output tiles in any writable format, with optional 16-to-8-bit reduction, alpha removal,
// horizontal mirroring, resizing and conversion to sRGB. Only one row buffer, the resizer's
// window and one tile row of open writers (and input tiles) exist at a time, whatever the size.
//
// The core never prints by itself: its summary lines go to the log callback and its "ERROR:"
// lines to the error callback of the console record in the job (none when that is null), and
// its progress goes to the job's progress callback.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "imageio/color_profile.h"

struct ConsoleOps;

// Progress sinks of a job; user is the job's `user` field.
using TileStagesFn = void (*)(void* user, int count, const double* weights);
using TileStageFn = void (*)(void* user, int number);
using TileProgressFn = void (*)(void* user, int64_t done, int64_t total);
// Called once per output tile with its expanded name and the offset of its centre from the
// image centre in units of the image size.
using TileCallbackFn = void (*)(void* tile_user, const char* name, double x, double y);

// One run of the tiling core. Fill it from init_tile_job, set what differs, call make_tiles.
struct TileJob {
  bool quiet = false;              // no messages except the always-printed errors, no progress
  uint32_t info_off = 0;           // non-zero: no summary lines (errors and progress still print)
  std::string input;               // source path, or the input tile template with tiled_input
  std::string output;              // output tile template; without placeholders a plain file name
  int32_t tile_width = 0;          // output tile width; 0 = no horizontal split
  int32_t tile_height = 0;         // output tile height; 0 means tile_width
  int32_t index_base = 1;          // number of the first tile column and row in output names
  int32_t jpeg_quality = 85;       // 0 … 100
  int32_t jpeg_subsampling = 444;  // 444, 422, 420 or 411
  bool jpeg_optimize = false;      // optimised Huffman tables
  bool jpeg_progressive = false;   // progressive JPEG
  int32_t tiff_compression = 2;    // 1 none, 2 LZW, 3 zip, 4 JPEG, 5 auto
  bool resize = false;             // resize the source before cutting
  int32_t resize_width = 0;        // target width; -1 = proportional to resize_height
  int32_t resize_height = 0;       // target height; -1 = proportional to resize_width
  bool keep_aspect = false;        // fit inside resize_width × resize_height keeping the aspect
  bool hwrap = false;              // the resize filter wraps around horizontally
  bool no_alpha = false;           // drop the alpha channel
  bool to_8bit = false;            // reduce 16-bit samples to 8 bits
  int32_t dpi = 0;                 // resolution written to the output (both axes) when > 0
  ProfileMode profile_mode = kProfileConvert;  // what to do with the source's profile
  std::vector<uint8_t> in_profile;             // working: the source's embedded profile
  uint32_t in_profile_size = 0;                // working: bytes in in_profile
  std::vector<uint8_t> out_profile;            // working: profile embedded in / converted to
  int32_t out_profile_size = 0;                // working: bytes in out_profile
  bool transform = false;                      // working: pixels are colour-converted
  bool embed = false;                          // working: out_profile goes into every output file
  bool hmirror = false;                        // mirror every row horizontally
  bool tiled_input = false;                    // the source is a grid of input tiles
  int32_t in_tile_width = 0;                   // input tile width
  int32_t in_tile_height = 0;                  // input tile height
  int32_t in_width = 0;                        // full width of the tiled source
  int32_t in_height = 0;                       // full height of the tiled source
  int32_t in_index_base = 1;                   // number of the first input tile column and row
  int32_t filter = 12;                         // resize filter code (12 = LANCZOS)
  int32_t threads = 0;   // threads for the tiles of a tile row; 0: the process's thread count
  void* user = nullptr;  // first argument of stages, stage and progress
  ConsoleOps* console = nullptr;      // where the summary and error lines go; null: silent
  TileStagesFn stages = nullptr;      // progress stage set-up
  TileStageFn stage = nullptr;        // progress stage selection
  TileProgressFn progress = nullptr;  // rows done of total, then (1, 1) at the end
  void* tile_user = nullptr;          // first argument of on_tile
  TileCallbackFn on_tile = nullptr;   // once per output tile, before its file is created
};

// Sets every field to its default (the user field is left as it was); returns job.
TileJob* init_tile_job(TileJob* job);

// Expands a tile name template: "%", any number of "0" and one of h H x X u U (column) or
// v V y Y (row) become the number zero-padded to one digit more than the zeros. With
// letters_only each placeholder becomes its letter alone. At most 999 bytes.
std::string expand_tile_name(const std::string& name_template, int32_t column, int32_t row,
                             bool letters_only);

// Runs a job: reads the source, writes every output file, reports the summary through the job's
// console and calls the callbacks. False on failure (after its message); the working fields
// are empty afterwards.
bool make_tiles(TileJob* job);
