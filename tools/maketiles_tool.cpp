// The maketiles tool: parses its arguments into a TileJob and runs the tiling core once.
//
// Every option argument is lower-cased as a whole before it is examined; numbers are read as an
// optional sign and leading decimal digits, so text that is not a number reads as 0.
#include "tools/maketiles_tool.h"

#include <climits>
#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include "base/args.h"
#include "base/banner.h"
#include "base/console.h"
#include "imageio/image_file.h"
#include "memory/qvmem.h"
#include "render/resize.h"
#include "render/tiling.h"
#include "tools/output_options.h"
#include "tools/tool_progress.h"

namespace {

// ---- texts ----

constexpr char kTitle[] = "qorvel maketiles tools";

constexpr char kDescription[] =
    "    - split a big image into smaller tiles\n"
    "    - merge small tiles into one big image or 're-tile' it\n"
    "    - resize images or tiled images\n"
    "    - convert images between different image formats";

constexpr char kUsage[] =
    "syntax: qorveltools maketiles inputfile outputfile tilesize [options]\n"
    "\n"
    "parameters:\n"
    "  inputfile  ... input image file, tiled input are possible (template*)\n"
    "  outputfile ... output image template* (paths will be created)\n"
    "  tilesize   ... tilesize (use 0 to disable tiling, use #x# for non-quad tiles)\n"
    "\n"
    "   * tile template placeholder syntax: %[*0]{h|v}\n"
    "      %h = horizontal tile index\n"
    "      %v = vertical tile index\n"
    "      0 characters between the % and the h/v can be used for number padding\n"
    "\n"
    "options:\n"
    " -indexbase=#     ... set tile start-index (default=1)\n"
    " -jpegquality=#   ... set jpeg quality (0-100, default=85)\n"
    " -jpegsubsamp=#   ... set jpeg color subsampling (444,422,420,411, default=444)\n"
    " -jpegprogressive ... use progressive jpeg compression\n"
    " -jpegoptimize    ... optimize jpeg compression\n"
    " -tiffcompress=#  ... set tiff compression (none,lzw,zip,jpeg, default=lzw)\n"
    " -dpi=#           ... set custom DPI information\n"
    " -profile=#       ... embedded color profile settings (default=CONVERT)\n"
    "                      COPY - copy the profile from the input to the output image\n"
    "                      CONVERT - convert to sRGB but don't embed the profile\n"
    "                      sRGB - convert to sRGB and embed a sRGB profile\n"
    "                      SKIP - skip / ignore an embedded color profile\n"
    " -noalpha         ... remove the alpha channel if present\n"
    " -8bit            ... convert the output to 8bit (for 16bit inputs)\n"
    " -hmirror         ... horizontally mirror the image\n"
    " -q / -quiet      ... suppress any output messages\n"
    "\n"
    "for tiled input images:\n"
    " -insize=#x#      ... input image size [width]x[height]\n"
    " -intilesize=#x#  ... input image tilesize [width] or [width]x[height]\n"
    " -inindexbase=#   ... input tile start-index (default=1)\n"
    "\n"
    "for resizing an image:\n"
    " -resize=#x#      ... resize the image to [width]x[height] (* for proportional)\n"
    " -keepaspect      ... keep the original image aspect when resizing\n"
    " -hwrap           ... wrap around horizontally when filtering (for 360x* panos)\n"
    " -filter=#        ... resize filter (default=LANCZOS)\n"
    "                      filters: POINT,LINEAR,GAUSS,CUBIC,HAMMING,MITCHELL,LANCZOS\n"
    "\n"
    "supported input and output formats:\n"
    "  jpg/jpeg, tif/tiff/btf/tf8/bigtiff, psd/psb, kro (8 or 16bit, RGB or RGBA)";

constexpr char kInvalidTileSize[] = "ERROR: invalid tilesize\n";  // printed as a line
constexpr char kBadArgument[] = "ERROR: invalid or bad argument: %s\n";
constexpr char kDone[] = "done.          \n";

// The words of the shared output block that maketiles accepts.
constexpr uint32_t kOutputWords =
    kOutputJpegQuality | kOutputJpegSubsampling | kOutputJpegOptimize | kOutputJpegProgressive |
    kOutputTiffCompression | kOutputDpi | kOutputProfileOrSkip | kOutputQuiet;

// ---- number reading ----

// "number, one separator character, number": numbers not found keep their values; the second
// is read only when the first was. Returns where the separator stood (null when the first
// number was not found).
const char* read_number_pair(const char* text, int* first, int* second) {
  const char* end;
  if (!read_leading_int(text, first, &end)) return nullptr;
  const char* separator = end;
  if (*separator) read_leading_int(separator + 1, second, &end);
  return separator;
}

// A tile size: with "x" two numbers, otherwise one number for both.
void read_tile_size(const char* text, int* width, int* height) {
  *width = 0;
  *height = 0;
  if (strchr(text, 'x') || strchr(text, 'X')) {
    read_number_pair(text, width, height);
  } else {
    *width = leading_int(text);
    *height = *width;
  }
}

// ---- arguments ----

struct MaketilesRun {
  ConsoleOps* console = nullptr;
  TileJob job;
  OutputOptions options;    // writer settings (quality 85, 4:4:4, lzw), profile convert, quiet
  int32_t positionals = 0;  // positional words seen so far
  int last_percent = -1;    // the progress line printed last; none yet
};

TileJob* job_of(void* target) {
  return &static_cast<MaketilesRun*>(target)->job;
}

OptionStatus accept_if(bool accepted) {
  return accepted ? OptionStatus::Accepted : OptionStatus::Refused;
}

// A size of the tiled input (the image's or a tile's): both numbers at least 1.
OptionStatus set_tiled_input_size(TileJob* job, int width, int height, int32_t* job_width,
                                  int32_t* job_height) {
  job->tiled_input = true;
  *job_width = width;
  *job_height = height;
  return accept_if(width >= 1 && height >= 1);
}

// -insize=#x#: two numbers with one separator character.
OptionStatus apply_in_size(void* target, const ParsedArgument& a) {
  TileJob* job = job_of(target);
  int width = 0;
  int height = 0;
  read_number_pair(a.value.c_str(), &width, &height);
  return set_tiled_input_size(job, width, height, &job->in_width, &job->in_height);
}

// -intilesize=# or #x#: the tile size rule.
OptionStatus apply_in_tile_size(void* target, const ParsedArgument& a) {
  TileJob* job = job_of(target);
  int width = 0;
  int height = 0;
  read_tile_size(a.value.c_str(), &width, &height);
  return set_tiled_input_size(job, width, height, &job->in_tile_width, &job->in_tile_height);
}

// 1000x500, 1000x* and *x500 are valid; *x*, 0x500 and 1000 are not. Each -resize starts from
// 0 × 0, so a later one replaces an earlier one whole.
OptionStatus apply_resize(void* target, const ParsedArgument& a) {
  TileJob* job = job_of(target);
  const char* value = a.value.c_str();
  job->resize = true;
  int width = 0;
  int height = 0;
  const char* separator = read_number_pair(value, &width, &height);
  if (width > 0 && height > 0) {
    // accepted as it stands
  } else if (width > 0) {
    if (!separator || !*separator || separator[1] != '*') return OptionStatus::Refused;
    height = -1;
  } else {
    if (value[0] != '*' || !value[1]) return OptionStatus::Refused;
    width = -1;
    height = leading_int(value + 2);
    if (height <= 0) return OptionStatus::Refused;
  }
  job->resize_width = width;
  job->resize_height = height;
  return OptionStatus::Accepted;
}

OptionStatus apply_filter(void* target, const ParsedArgument& a) {
  const int32_t code = parse_filter_name(a.value.c_str());
  if (code < 0) return OptionStatus::Refused;
  job_of(target)->filter = code;
  return OptionStatus::Accepted;
}

// The tile size: "0", N or WxH. A negative number stops the run; a word that reads as no size
// at all is refused.
OptionStatus take_tile_size(MaketilesRun* run, const std::string& text) {
  int width = 0;
  int height = 0;
  read_tile_size(text.c_str(), &width, &height);
  if (width < 0 || height < 0) {
    run->console->print(run->console, kInvalidTileSize);
    return OptionStatus::Stopped;
  }
  if (width == 0 && height == 0 && text != "0") return OptionStatus::Refused;
  run->job.tile_width = width;
  run->job.tile_height = height;
  return OptionStatus::Accepted;
}

// The positional words: inputfile, outputfile and the tile size; a fourth is refused.
OptionStatus take_positional(void* target, const ParsedArgument& a) {
  MaketilesRun* run = static_cast<MaketilesRun*>(target);
  const int32_t index = run->positionals++;
  if (index == 0) {
    run->job.input = a.raw;
  } else if (index == 1) {
    run->job.output = a.raw;
  } else if (index == 2) {
    return take_tile_size(run, a.raw);
  } else {
    return OptionStatus::Refused;
  }
  return OptionStatus::Accepted;
}

// Applies every argument in order; false when one is refused (after the bad-argument message,
// unless an earlier option asked for quiet) or stopped the run.
bool walk_words(MaketilesRun* run, char** words, int count) {
  TileJob* job = &run->job;
  std::vector<OptionRow> rows = {
      {"indexbase", OptionKind::IntInRange, &job->index_base, nullptr, INT_MIN, INT_MAX},
      {"noalpha", OptionKind::Flag, &job->no_alpha},
      {"tiffnoalpha", OptionKind::Flag, &job->no_alpha},
      {"8bit", OptionKind::Flag, &job->to_8bit},
      {"hmirror", OptionKind::Flag, &job->hmirror},
      option_call("insize", OptionValue::Required, apply_in_size, run),
      option_call("intilesize", OptionValue::Required, apply_in_tile_size, run),
      {"inindexbase", OptionKind::IntInRange, &job->in_index_base, nullptr, 0, INT_MAX},
      option_call("resize", OptionValue::Required, apply_resize, run),
      {"keepaspect", OptionKind::Flag, &job->keep_aspect},
      {"hwrap", OptionKind::Flag, &job->hwrap},
      option_call("filter", OptionValue::Required, apply_filter, run),
  };
  add_output_option_rows(&run->options, kOutputWords, &rows);
  const OptionWalk walk =
      walk_arguments({rows.data(), rows.size(), take_positional, run}, words, count);
  if (walk.status == OptionStatus::Refused && !run->options.quiet) {
    run->console->log(run->console, kBadArgument, walk.refused.c_str());
  }
  return walk.status == OptionStatus::Accepted;
}

// The shared output options into the job's fields.
void set_job_outputs(const OutputOptions& options, TileJob* job) {
  const WriterSettings& writer = options.writer;
  job->jpeg_quality = writer.jpeg_quality;
  job->jpeg_subsampling = writer.jpeg_subsampling;
  job->jpeg_optimize = writer.jpeg_optimize;
  job->jpeg_progressive = writer.jpeg_progressive;
  job->tiff_compression = writer.tiff_compression;
  job->dpi = writer.dpi;
  job->profile_mode = options.profile;
  job->quiet = options.quiet;
}

// ---- progress ----

void ignore_stages(void*, int, const double*) {}

void ignore_stage(void*, int) {}

void print_progress(void* user, int64_t done, int64_t total) {
  MaketilesRun* run = static_cast<MaketilesRun*>(user);
  if (total <= 0) return;
  log_percent_line(run->console, static_cast<int>(done * 100 / total), &run->last_percent);
}

void print_help(ConsoleOps* ops) {
  print_banner(ops, kTitle);
  ops->log(ops, "%s\n", kDescription);
  ops->log(ops, "%s\n", kUsage);
}

}  // namespace

int maketiles_main(int argc, char** argv) {
  ConsoleOps* ops = console_ops();
  image_file_init();  // room for one open stream per tile of a tile row
  if (argc < 3) {
    print_help(ops);
    return 1;
  }
  qvmem_init(nullptr, 0);
  MaketilesRun run;
  run.console = ops;
  init_tile_job(&run.job);
  if (!walk_words(&run, argv + 1, argc - 1)) return 1;
  if (run.positionals < 2) {
    print_help(ops);
    return 1;
  }
  set_job_outputs(run.options, &run.job);
  if (!run.job.quiet) print_banner(ops, kTitle);

  TileJob& job = run.job;
  job.user = &run;
  job.console = ops;
  job.stages = ignore_stages;
  job.stage = ignore_stage;
  job.progress = print_progress;
  const bool ok = make_tiles(&job);
  if (ok && !job.quiet) ops->log(ops, kDone);
  return ok ? 0 : 1;
}
