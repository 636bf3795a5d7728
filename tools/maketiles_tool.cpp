// The maketiles tool: parses its arguments into a TileJob and runs the tiling core once.
//
// Every option argument is lower-cased as a whole before it is examined; numbers are read as an
// optional sign and leading decimal digits, so text that is not a number reads as 0.
#include "tools/maketiles_tool.h"

#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/args.h"
#include "base/banner.h"
#include "base/console.h"
#include "render/resize.h"
#include "imageio/image_file.h"
#include "imageio/image_options.h"
#include "memory/qvmem.h"
#include "render/tiling.h"

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

constexpr char kInvalidTileSize[] = "ERROR: invalid tilesize\n";
constexpr char kBadArgument[] = "ERROR: invalid or bad argument: %s\n";
constexpr char kProgress[] = "%d%%   \r";
constexpr char kDone[] = "done.          \n";

// ---- number reading ----

// Reads an optional sign and decimal digits after leading blanks, clamped to the int range;
// false (value untouched) when no digit follows. *end is set past what was read.
bool read_number(const char* text, int* value, const char** end) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (!isdigit(static_cast<unsigned char>(*p))) {
    *end = text;
    return false;
  }
  long long number = 0;
  while (isdigit(static_cast<unsigned char>(*p))) {
    if (number <= INT_MAX) number = number * 10 + (*p - '0');
    ++p;
  }
  if (negative) number = -number;
  *value = static_cast<int>(number < INT_MIN ? INT_MIN : number > INT_MAX ? INT_MAX : number);
  *end = p;
  return true;
}

// A number, 0 when none can be read.
int number_of(const char* text) {
  int value = 0;
  const char* end;
  read_number(text, &value, &end);
  return value;
}

// "number, one separator character, number": numbers not found keep their values; the second
// is read only when the first was. Returns where the separator stood (null when the first
// number was not found).
const char* read_number_pair(const char* text, int* first, int* second) {
  const char* end;
  if (!read_number(text, first, &end)) return nullptr;
  const char* separator = end;
  if (*separator) read_number(separator + 1, second, &end);
  return separator;
}

// A tile size: with "x" two numbers, otherwise one number for both.
void read_tile_size(const char* text, int* width, int* height) {
  *width = 0;
  *height = 0;
  if (strchr(text, 'x') || strchr(text, 'X')) {
    read_number_pair(text, width, height);
  } else {
    *width = number_of(text);
    *height = *width;
  }
}

// ---- options ----

// Applies an option's value to the job; false when the value is refused.
using OptionApplyFn = bool (*)(const char* value, TileJob* job);

struct MaketilesOption {
  const char* word;     // option name without the dash, lower case
  bool takes_value;     // written as -word=value; otherwise as -word alone
  OptionApplyFn apply;  // for flags the value is empty
};

bool apply_index_base(const char* value, TileJob* job) {
  job->index_base = number_of(value);
  return true;
}

bool apply_jpeg_quality(const char* value, TileJob* job) {
  const int quality = number_of(value);
  job->jpeg_quality = quality;
  return quality >= 0 && quality <= 100;
}

bool apply_jpeg_subsampling(const char* value, TileJob* job) {
  const int code = number_of(value);
  job->jpeg_subsampling = code;
  return code == 444 || code == 422 || code == 420 || code == 411;
}

bool apply_jpeg_progressive(const char*, TileJob* job) {
  job->jpeg_progressive = true;
  return true;
}

bool apply_jpeg_optimize(const char*, TileJob* job) {
  job->jpeg_optimize = true;
  return true;
}

bool apply_tiff_compression(const char* value, TileJob* job) {
  return tiff_compression_for_word(value, &job->tiff_compression);
}

bool apply_dpi(const char* value, TileJob* job) {
  job->dpi = number_of(value);
  return true;
}

bool apply_profile(const char* value, TileJob* job) {
  job->profile_mode = strcmp(value, "copy") == 0      ? kTileProfileCopy
                      : strcmp(value, "convert") == 0 ? kTileProfileConvert
                      : strcmp(value, "srgb") == 0    ? kTileProfileSrgb
                                                      : kTileProfileSkip;
  return true;
}

bool apply_no_alpha(const char*, TileJob* job) {
  job->no_alpha = true;
  return true;
}

bool apply_8bit(const char*, TileJob* job) {
  job->to_8bit = true;
  return true;
}

bool apply_hmirror(const char*, TileJob* job) {
  job->hmirror = true;
  return true;
}

bool apply_quiet(const char*, TileJob* job) {
  job->quiet = true;
  return true;
}

bool apply_in_size(const char* value, TileJob* job) {
  job->tiled_input = true;
  int width = 0;
  int height = 0;
  read_number_pair(value, &width, &height);
  job->in_width = width;
  job->in_height = height;
  return width >= 1 && height >= 1;
}

bool apply_in_tile_size(const char* value, TileJob* job) {
  job->tiled_input = true;
  int width = 0;
  int height = 0;
  read_tile_size(value, &width, &height);
  job->in_tile_width = width;
  job->in_tile_height = height;
  return width >= 1 && height >= 1;
}

bool apply_in_index_base(const char* value, TileJob* job) {
  job->in_index_base = number_of(value);
  return job->in_index_base >= 0;
}

// 1000x500, 1000x* and *x500 are valid; *x*, 0x500 and 1000 are not. Each -resize starts from
// 0 × 0, so a later one replaces an earlier one whole.
bool apply_resize(const char* value, TileJob* job) {
  job->resize = true;
  int width = 0;
  int height = 0;
  const char* separator = read_number_pair(value, &width, &height);
  if (width > 0 && height > 0) {
    // accepted as it stands
  } else if (width > 0) {
    if (!separator || !*separator || separator[1] != '*') return false;
    height = -1;
  } else {
    if (value[0] != '*' || !value[1]) return false;
    width = -1;
    height = number_of(value + 2);
    if (height <= 0) return false;
  }
  job->resize_width = width;
  job->resize_height = height;
  return true;
}

bool apply_keep_aspect(const char*, TileJob* job) {
  job->keep_aspect = true;
  return true;
}

bool apply_hwrap(const char*, TileJob* job) {
  job->hwrap = true;
  return true;
}

bool apply_filter(const char* value, TileJob* job) {
  const int32_t code = parse_filter_name(value);
  if (code < 0) return false;
  job->filter = code;
  return true;
}

const MaketilesOption kOptions[] = {
    {"indexbase", true, apply_index_base},
    {"jpegquality", true, apply_jpeg_quality},
    {"jpegsubsamp", true, apply_jpeg_subsampling},
    {"jpegprogressive", false, apply_jpeg_progressive},
    {"jpegoptimize", false, apply_jpeg_optimize},
    {"tiffcompress", true, apply_tiff_compression},
    {"dpi", true, apply_dpi},
    {"profile", true, apply_profile},
    {"noalpha", false, apply_no_alpha},
    {"tiffnoalpha", false, apply_no_alpha},
    {"8bit", false, apply_8bit},
    {"hmirror", false, apply_hmirror},
    {"q", false, apply_quiet},
    {"quiet", false, apply_quiet},
    {"insize", true, apply_in_size},
    {"intilesize", true, apply_in_tile_size},
    {"inindexbase", true, apply_in_index_base},
    {"resize", true, apply_resize},
    {"keepaspect", false, apply_keep_aspect},
    {"hwrap", false, apply_hwrap},
    {"filter", true, apply_filter},
};

// Applies one argument; false when it is not an option of the table or its value is refused.
bool apply_argument(const char* argument, TileJob* job) {
  const std::string lowered = lowered_ascii(argument);
  if (lowered.empty() || lowered[0] != '-') return false;
  const size_t equals = lowered.find('=');
  const std::string name =
      lowered.substr(1, equals == std::string::npos ? std::string::npos : equals - 1);
  for (const MaketilesOption& option : kOptions) {
    if (name != option.word) continue;
    if (option.takes_value != (equals != std::string::npos)) return false;
    return option.apply(option.takes_value ? lowered.c_str() + equals + 1 : "", job);
  }
  return false;
}

// ---- progress ----

struct ProgressPrinter {
  int last_percent = -1;  // none printed yet
};

void ignore_stages(void*, int, const double*) {}

void ignore_stage(void*, int) {}

void print_progress(void* user, int64_t done, int64_t total) {
  ProgressPrinter* printer = static_cast<ProgressPrinter*>(user);
  if (total <= 0) return;
  const int percent = static_cast<int>(done * 100 / total);
  if (percent == printer->last_percent) return;
  printer->last_percent = percent;
  printf(kProgress, percent);
  fflush(stdout);
}

void print_help() {
  print_banner(kTitle);
  printf("%s\n", kDescription);
  printf("%s\n", kUsage);
}

}  // namespace

int maketiles_main(int argc, char** argv) {
  image_file_init();  // room for one open stream per tile of a tile row
  if (argc < 3) {
    print_help();
    fflush(stdout);
    return 1;
  }
  qvmem_init(nullptr, 0);
  TileJob job;
  init_tile_job(&job);
  job.input = argv[1];
  job.output = argv[2];

  int first_option = 3;
  if (argc > 3) {
    int width = 0;
    int height = 0;
    read_tile_size(argv[3], &width, &height);
    if (width < 0 || height < 0) {
      printf("%s\n", kInvalidTileSize);
      fflush(stdout);
      return 1;
    }
    if (width > 0 || height > 0 || strcmp(argv[3], "0") == 0) first_option = 4;
    job.tile_width = width;
    job.tile_height = height;
  }
  for (int i = first_option; i < argc; ++i) {
    if (!apply_argument(argv[i], &job)) {
      if (!job.quiet) printf(kBadArgument, argv[i]);
      fflush(stdout);
      return 1;
    }
  }
  if (!job.quiet) print_banner(kTitle);

  ProgressPrinter printer;
  job.user = &printer;
  job.console = console_ops();
  job.stages = ignore_stages;
  job.stage = ignore_stage;
  job.progress = print_progress;
  const bool ok = make_tiles(&job);
  if (ok && !job.quiet) printf("%s", kDone);
  fflush(stdout);
  return ok ? 0 : 1;
}
