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
#include "base/console.h"
#include "base/paths.h"
#include "base/text.h"
#include "memory/qvmem.h"
#include "render/cube_layout.h"
#include "render/smooth_preview.h"
#include "tools/output_options.h"
#include "tools/tool_progress.h"

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

// The words of the shared output block that makepreview accepts.
constexpr uint32_t kOutputWords = kOutputJpegQuality | kOutputJpegSubsampling |
                                  kOutputTiffCompression | kOutputProfileOrSkip | kOutputQuiet;

struct PreviewSettings {
  std::string sphere_input;                 // the first input file
  std::string faces[kCubeSideCount];        // face files, case as typed
  std::string named_faces[kCubeSideCount];  // the face file recognised by name, if any
  int32_t inputs = 0;                       // input files seen
  std::string output;                       // -o value
  bool cubestrip = false;
  bool gray = false;
  bool size_given = false;
  int32_t width = 0;
  int32_t height = 0;
  int32_t smooth = 77;
  OutputOptions options;  // writer settings (quality 85, 4:2:2, lzw), profile convert, quiet
};

// The staged progress printer; the job comes first so that a job pointer is the run's pointer.
struct PreviewRun {
  PreviewJob job;
  ConsoleOps* console = nullptr;
  int32_t stage_count = 1;
  std::vector<double> weights;  // empty: equal stages
  double weight_sum = 0;
  int32_t current = 0;
  int32_t last_printed = -1;  // none yet
};

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
  log_percent_line(run->console, static_cast<int32_t>(percent), &run->last_printed);
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

// An input file: the first is also the spherical input; a later one must name a cube side.
OptionStatus take_input(void* target, const ParsedArgument& a) {
  PreviewSettings* s = static_cast<PreviewSettings*>(target);
  const int32_t side = preview_cube_side(a.raw);
  ++s->inputs;
  if (s->inputs == 1) s->sphere_input = a.raw;
  if (side < 0) return s->inputs == 1 ? OptionStatus::Accepted : OptionStatus::Refused;
  s->faces[side] = a.raw;
  s->named_faces[side] = a.raw;
  return OptionStatus::Accepted;
}

// -size=#x#: two numbers with one separator character; checked after the walk.
OptionStatus option_size(void* target, const ParsedArgument& a) {
  PreviewSettings* s = static_cast<PreviewSettings*>(target);
  s->size_given = true;
  s->width = 0;
  s->height = 0;
  std::sscanf(a.value.c_str(), "%d%*c%d", &s->width, &s->height);
  return OptionStatus::Accepted;
}

// Applies every argument in order; false (after the bad-argument message, which -q does not
// silence) when one is refused.
bool walk_words(PreviewSettings* s, ConsoleOps* ops, char** words, int count) {
  std::vector<OptionRow> rows = {
      {"l", OptionKind::Text, &s->faces[kCubeLeft]},
      {"f", OptionKind::Text, &s->faces[kCubeFront]},
      {"r", OptionKind::Text, &s->faces[kCubeRight]},
      {"b", OptionKind::Text, &s->faces[kCubeBack]},
      {"u", OptionKind::Text, &s->faces[kCubeUp]},
      {"d", OptionKind::Text, &s->faces[kCubeDown]},
      {"cs", OptionKind::Flag, &s->cubestrip},
      {"g", OptionKind::Flag, &s->gray},
      {"gray", OptionKind::Flag, &s->gray},
      {"o", OptionKind::Text, &s->output},
      option_call("size", OptionValue::Required, option_size, s),
      {"smooth", OptionKind::IntInRange, &s->smooth, nullptr, 0, 100},
  };
  add_output_option_rows(&s->options, kOutputWords, &rows);
  const OptionWalk walk = walk_arguments({rows.data(), rows.size(), take_input, s}, words, count);
  if (walk.status == OptionStatus::Refused) ops->log(ops, kBadArgument, walk.refused.c_str());
  return walk.status == OptionStatus::Accepted;
}

// ---- the run ----

bool check_size(PreviewSettings* s, ConsoleOps* ops) {
  if (!s->size_given) {
    s->width = s->cubestrip ? 256 : 1024;
    s->height = s->cubestrip ? 256 : 512;
    return true;
  }
  const bool positive = s->width >= 1 && s->height >= 1;
  const bool shape = s->cubestrip ? s->width == s->height : s->height == s->width / 2;
  if (positive && shape) return true;
  ops->log(ops, kBadSize, s->width, s->height);
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
    // A face an option replaced after its name was recognised is taken upright.
    std::string named[kCubeSideCount];
    for (int32_t side = 0; side < kCubeSideCount; ++side) {
      if (s->faces[side] == s->named_faces[side]) named[side] = s->named_faces[side];
    }
    FaceOrientation orientations[kCubeSideCount];
    named_face_orientations(named, orientations);
    job->stages(job->user, kCubeSideCount, nullptr);
    for (int32_t side = 0; side < kCubeSideCount; ++side) {
      job->stage(job->user, side + 1);
      job->faces[side] = load_preview_source(face_size, job, s->faces[side], face_size, false);
      if (job->faces[side].empty()) return false;
      job->faces[side] =
          face_in_side_orientation(job->faces[side], face_size, 4, orientations[side]);
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
  if (!s->options.quiet) job->console->log(job->console, kDone);
  return true;
}

int run_makepreview(PreviewSettings* s, ConsoleOps* ops) {
  if (!s->options.quiet) print_banner(ops, kTitle);
  if (!check_size(s, ops)) return 1;
  int32_t face_count = 0;
  for (const std::string& face : s->faces) face_count += face.empty() ? 0 : 1;
  if (s->sphere_input.empty() && face_count == 0) {
    ops->log(ops, kNoInput);
    return 1;
  }
  if (face_count >= 2 && face_count <= 5) {
    ops->log(ops, kFacesMissing);
    return 1;
  }
  const bool cube = face_count == kCubeSideCount;

  PreviewRun run;
  run.console = ops;
  PreviewJob* job = &run.job;
  init_preview_job(job);
  job->quiet = s->options.quiet;
  job->user = &run;
  job->console = ops;
  job->stages = run_stages;
  job->stage = run_stage;
  job->progress = run_progress;
  if (!s->options.quiet) job->console->log(job->console, kLoading);
  if (!load_sources(s, job, cube)) return 1;

  job->out_width = s->width;
  job->out_height = s->height;
  job->smooth = static_cast<uint32_t>(s->smooth);
  job->cubestrip = s->cubestrip;
  job->gray = s->gray;
  const WriterSettings& writer = s->options.writer;
  job->jpeg_quality = static_cast<uint32_t>(writer.jpeg_quality);
  job->jpeg_subsampling = static_cast<uint32_t>(writer.jpeg_subsampling);
  job->tiff_compression = static_cast<uint32_t>(writer.tiff_compression);
  job->profile_mode = s->options.profile;
  if (!s->output.empty()) {
    job->out_path = s->output;
  } else if (cube) {
    job->out_path = cube_face_output_base(s->faces[kCubeLeft]) + "_preview.jpg";
  } else {
    job->out_path = sphere_output_name(s->sphere_input);
  }

  if (!s->options.quiet) job->console->log(job->console, kMakingPreview);
  run.last_printed = -1;
  plan_preview_progress(0, job, false, 0, false);
  const bool rendered = render_preview(job);
  clear_preview_job(job);
  if (!rendered) return 1;
  job->progress(job->user, 100, 100);
  if (!s->options.quiet) job->console->log(job->console, kDone);
  return 0;
}

}  // namespace

int makepreview_main(int argc, char** argv) {
  ConsoleOps* ops = console_ops();
  if (argc < 2) {
    print_banner(ops, kTitle);
    ops->log(ops, "%s", kDescription);
    ops->log(ops, "%s", kUsage);
    return 1;
  }
  qvmem_init(nullptr, 0);
  PreviewSettings settings;
  settings.options.writer.jpeg_subsampling = 422;
  if (!walk_words(&settings, ops, argv + 1, argc - 1)) return 1;
  return run_makepreview(&settings, ops);
}
