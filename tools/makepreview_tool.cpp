// The makepreview tool: recognises cube faces by their file names, chooses the sizes and the
// output name, prints staged progress and runs the smooth preview renderer once.
//
// Options are matched in their lower-cased form; path values keep the case they were typed in.
#include "tools/makepreview_tool.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/args.h"
#include "base/banner.h"
#include "base/paths.h"
#include "render/cube_layout.h"
#include "render/smooth_preview.h"
#include "imageio/image_options.h"
#include "memory/qvmem.h"

namespace {

// ---- texts ----

constexpr char kTitle[] = "qorvel makepreview tool";
constexpr char kDescription[] = "    - makes a smooth panorama preview image\n";
constexpr char kUsage[] =
    "syntax: qorveltools makepreview inputfiles [outputfile] [options]\n"
    "\n"
    " inputfiles ... jpeg or tiff input images (only 8bit RGB or RGBA supported)\n"
    "                spherical or cubical images, cubical images should have a\n"
    "                suffix like _l,_r,left,front,... in their filename to allow\n"
    "                detection of the cubeside, otherwise every image must be\n"
    "                specified separately with -l=.. -f=.. -r=.. -b=.. -u=.. -d=..\n"
    "\n"
    "options:\n"
    " -o=#            ... name of output image (jpeg or tiff, default=*_preview.jpg)\n"
    " -cs             ... save as cubestrip image (better quality)\n"
    " -g / -gray      ... generate a grayscale preview\n"
    " -size=#x#       ... size of preview image (default=1024x512, 256x256 on -cs)\n"
    " -smooth=#       ... preview smoothness (1-100; default=77)\n"
    " -jpegquality=#  ... set jpeg quality (0-100; default=85)\n"
    " -jpegsubsamp=#  ... set jpeg color subsampling (444,422,420,411; default=422)\n"
    " -tiffcompress=# ... set tiff compression (none,lzw,zip,jpeg; default=lzw)\n"
    " -profile=#      ... embedded color profile settings (default=CONVERT)\n"
    "                     COPY - copy the profile from the input to the output image\n"
    "                     CONVERT - convert to sRGB but don't embed the profile\n"
    "                     sRGB - convert to sRGB and embed a sRGB profile\n"
    "                     SKIP - skip / ignore an embedded color profile\n"
    " -q / -quiet     ... suppress output messages\n";
constexpr char kBadArgument[] = "invalid or bad argument: %s\n";
constexpr char kBadSize[] = "ERROR: invalid size of the preview image - %dx%d\n";
constexpr char kNoInput[] = "ERROR: no input images\n";
constexpr char kFacesMissing[] = "ERROR: not all cube images found or detected\n";
constexpr char kLoading[] = "loading...\n";
constexpr char kMakingPreview[] = "making preview...\n";
constexpr char kDone[] = "done.\n";

// ---- settings ----

struct PreviewSettings {
  std::string sphere_input;           // the first input file
  std::string faces[kCubeSideCount];  // face files, case as typed
  int32_t inputs = 0;                 // input files seen
  std::string output;                 // -o value
  bool cubestrip = false;
  bool gray = false;
  bool size_given = false;
  int32_t width = 0;
  int32_t height = 0;
  int32_t smooth = 77;
  int32_t jpeg_quality = 85;
  int32_t jpeg_subsampling = 422;
  int32_t tiff_compression = 2;
  bool profile_given = false;
  std::string profile_word;
  bool quiet = false;
};

// The staged progress printer; the job comes first so that a job pointer is the run's pointer.
struct PreviewRun {
  PreviewJob job;
  int32_t stage_count = 1;
  std::vector<double> weights;  // empty: equal stages
  double weight_sum = 0;
  int32_t current = 0;
  int32_t last_printed = -1;  // none yet
};

void run_log(void*, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

void run_stages(void* user, int count, const double* weights) {
  PreviewRun* run = static_cast<PreviewRun*>(user);
  run->stage_count = count > 0 ? count : 1;
  run->weights.clear();
  run->weight_sum = 0;
  if (weights) {
    run->weights.assign(weights, weights + run->stage_count);
    for (double weight : run->weights) run->weight_sum += weight;
  }
  run->current = 0;
}

void run_stage(void* user, int number) {
  PreviewRun* run = static_cast<PreviewRun*>(user);
  run->current = number >= 1 ? number - 1 : run->current + 1;
  if (run->current >= run->stage_count) run->current = run->stage_count - 1;
}

void run_progress(void* user, int64_t done, int64_t total) {
  PreviewRun* run = static_cast<PreviewRun*>(user);
  if (run->job.quiet || total <= 0) return;
  double percent;
  const double fraction = static_cast<double>(done) / static_cast<double>(total);
  if (!run->weights.empty() && run->weight_sum > 0) {
    double before = 0;
    for (int32_t i = 0; i < run->current; ++i) before += run->weights[i];
    const double current =
        static_cast<double>(static_cast<int64_t>(fraction * run->weights[run->current]));
    percent = (before + current) * 100.0 / run->weight_sum;
  } else {
    percent = static_cast<double>(done) * 100.0 / static_cast<double>(total) / run->stage_count +
              run->current * 100.0 / run->stage_count + 0.5;
  }
  const int32_t shown = static_cast<int32_t>(percent);
  if (shown == run->last_printed) return;
  std::printf("%d%%   \r", shown);
  std::fflush(stdout);
  run->last_printed = shown;
}

// ---- arguments ----

bool is_letter(char c) {
  return std::isalpha(static_cast<unsigned char>(c)) != 0;
}

// The last occurrence of suffix ends a name part (no letter follows it).
bool suffix_matches(const std::string& name, const char* suffix) {
  const size_t at = name.rfind(suffix);
  if (at == std::string::npos) return false;
  const size_t after = at + std::char_traits<char>::length(suffix);
  return after >= name.size() || !is_letter(name[after]);
}

// The first occurrence of word stands alone (no letter directly before or after).
bool word_matches(const std::string& name, const char* word) {
  const size_t at = name.find(word);
  if (at == std::string::npos) return false;
  const size_t after = at + std::char_traits<char>::length(word);
  const bool free_before = at == 0 || !is_letter(name[at - 1]);
  const bool free_after = after >= name.size() || !is_letter(name[after]);
  return free_before && free_after;
}

// The side of a file name, tested left … down, first match wins; then the skybox names; -1 for
// none.
int32_t preview_cube_side(const std::string& path) {
  struct SideWords {
    const char* suffixes[2];
    const char* words[2];
  };
  static const SideWords kSides[kCubeSideCount] = {
      {{"_l", nullptr}, {"left", nullptr}},  {{"_f", nullptr}, {"front", nullptr}},
      {{"_r", nullptr}, {"right", nullptr}}, {{"_b", nullptr}, {"back", nullptr}},
      {{"_u", "_t"}, {"up", "top"}},         {{"_d", nullptr}, {"down", "bottom"}},
  };
  const std::string name = lowered_ascii(file_name_part(path));
  for (int32_t side = 0; side < kCubeSideCount; ++side) {
    for (const char* suffix : kSides[side].suffixes) {
      if (suffix && suffix_matches(name, suffix)) return side;
    }
    for (const char* word : kSides[side].words) {
      if (word && word_matches(name, word)) return side;
    }
  }
  return detect_skybox_side(path).side;
}

bool apply_input(PreviewSettings* s, const std::string& path) {
  const int32_t side = preview_cube_side(path);
  ++s->inputs;
  if (s->inputs == 1) s->sphere_input = path;
  if (side < 0) return s->inputs == 1;
  s->faces[side] = path;
  return true;
}

bool read_number(const std::string& text, int32_t minimum, int32_t maximum, int32_t* value) {
  const int number = std::atoi(text.c_str());
  if (number < minimum || number > maximum) return false;
  *value = number;
  return true;
}

// Applies one option; false when it is refused.
bool apply_option(PreviewSettings* s, const ParsedArgument& a) {
  const std::string& name = a.name;
  if (name.size() == 1 && std::string("lfrbud").find(name[0]) != std::string::npos) {
    if (!a.has_value) return false;
    s->faces[std::string("lfrbud").find(name[0])] = a.raw_value;
    return true;
  }
  if (name == "cs" || name == "g" || name == "gray" || name == "q" || name == "quiet") {
    if (a.has_value) return false;
    if (name == "cs") s->cubestrip = true;
    if (name == "g" || name == "gray") s->gray = true;
    if (name == "q" || name == "quiet") s->quiet = true;
    return true;
  }
  if (!a.has_value) return false;
  if (name == "o") {
    s->output = a.raw_value;
    return true;
  }
  if (name == "size") {
    s->size_given = true;
    s->width = 0;
    s->height = 0;
    std::sscanf(a.value.c_str(), "%d%*c%d", &s->width, &s->height);
    return true;
  }
  if (name == "smooth") return read_number(a.value, 0, 100, &s->smooth);
  if (name == "jpegquality") return read_number(a.value, 0, 100, &s->jpeg_quality);
  if (name == "jpegsubsamp") {
    int32_t h = 0;
    int32_t v = 0;
    const int code = std::atoi(a.value.c_str());
    if (!jpeg_sampling_for_code(code, &h, &v)) return false;
    s->jpeg_subsampling = code;
    return true;
  }
  if (name == "tiffcompress") return tiff_compression_for_word(a.value, &s->tiff_compression);
  if (name == "profile") {
    s->profile_given = true;
    s->profile_word = a.value;
    return true;
  }
  return false;
}

// ---- the run ----

bool check_size(PreviewSettings* s) {
  if (!s->size_given) {
    s->width = s->cubestrip ? 256 : 1024;
    s->height = s->cubestrip ? 256 : 512;
    return true;
  }
  const bool positive = s->width >= 1 && s->height >= 1;
  const bool shape = s->cubestrip ? s->width == s->height : s->height == s->width / 2;
  if (positive && shape) return true;
  std::printf(kBadSize, s->width, s->height);
  return false;
}

std::string sphere_output_name(const std::string& input) {
  const std::string file = file_name_part(input);
  const size_t dot = file.rfind('.');
  const size_t cut = dot == std::string::npos ? input.size() : input.size() - file.size() + dot;
  return input.substr(0, cut) + "_preview.jpg";
}

bool load_sources(PreviewSettings* s, PreviewJob* job, bool cube) {
  if (cube) {
    const int32_t face_size = s->cubestrip ? s->height : s->height / 2;
    job->stages(job->user, kCubeSideCount, nullptr);
    for (int32_t side = 0; side < kCubeSideCount; ++side) {
      job->stage(job->user, side + 1);
      job->faces[side] = load_preview_source(face_size, job, s->faces[side], face_size, false);
      if (job->faces[side].empty()) return false;
    }
    job->face_size = static_cast<uint32_t>(face_size);
  } else {
    const int32_t width = s->cubestrip ? 4 * s->height : s->width;
    const int32_t height = s->cubestrip ? 2 * s->height : s->height;
    job->stages(job->user, 1, nullptr);
    job->sphere = load_preview_source(width, job, s->sphere_input, height, true);
    if (job->sphere.empty()) return false;
    job->sphere_width = static_cast<uint32_t>(width);
    job->sphere_height = static_cast<uint32_t>(height);
  }
  job->progress(job->user, 100, 100);
  if (!s->quiet) job->log(job->user, kDone);
  return true;
}

int run_makepreview(PreviewSettings* s) {
  if (!s->quiet) print_banner(kTitle);
  if (!check_size(s)) return 1;
  int32_t face_count = 0;
  for (const std::string& face : s->faces) face_count += face.empty() ? 0 : 1;
  if (s->sphere_input.empty() && face_count == 0) {
    std::printf(kNoInput);
    return 1;
  }
  if (face_count >= 2 && face_count <= 5) {
    std::printf(kFacesMissing);
    return 1;
  }
  const bool cube = face_count == kCubeSideCount;

  PreviewRun run;
  PreviewJob* job = &run.job;
  init_preview_job(job);
  job->quiet = s->quiet;
  job->user = &run;
  job->log = run_log;
  job->stages = run_stages;
  job->stage = run_stage;
  job->progress = run_progress;
  if (!s->quiet) job->log(job->user, kLoading);
  if (!load_sources(s, job, cube)) return 1;

  job->out_width = s->width;
  job->out_height = s->height;
  job->smooth = static_cast<uint32_t>(s->smooth);
  job->cubestrip = s->cubestrip;
  job->gray = s->gray;
  job->jpeg_quality = static_cast<uint32_t>(s->jpeg_quality);
  job->jpeg_subsampling = static_cast<uint32_t>(s->jpeg_subsampling);
  job->tiff_compression = static_cast<uint32_t>(s->tiff_compression);
  if (s->profile_given) parse_profile_mode(s->profile_word, job);
  if (!s->output.empty()) {
    job->out_path = s->output;
  } else if (cube) {
    job->out_path = cube_face_output_base(s->faces[kCubeLeft]) + "_preview.jpg";
  } else {
    job->out_path = sphere_output_name(s->sphere_input);
  }

  if (!s->quiet) job->log(job->user, kMakingPreview);
  run.last_printed = -1;
  plan_preview_progress(0, job, false, 0, false);
  const bool rendered = render_preview(job);
  clear_preview_job(job);
  if (!rendered) return 1;
  job->progress(job->user, 100, 100);
  if (!s->quiet) job->log(job->user, kDone);
  return 0;
}

}  // namespace

int makepreview_main(int argc, char** argv) {
  if (argc < 2) {
    print_banner(kTitle);
    std::printf("%s", kDescription);
    std::printf("%s", kUsage);
    return 1;
  }
  qvmem_init(nullptr, 0);
  PreviewSettings settings;
  for (int i = 1; i < argc; ++i) {
    const ParsedArgument parsed = parse_argument(argv[i]);
    const bool accepted =
        parsed.is_option ? apply_option(&settings, parsed) : apply_input(&settings, parsed.raw);
    if (!accepted) {
      std::printf(kBadArgument, argv[i]);
      return 1;
    }
  }
  return run_makepreview(&settings);
}
