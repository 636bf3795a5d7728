// The cube2sphere tool: collects the six faces (by name, "*" pattern or option), reads the
// config section, restores the sphere size from the faces' comment, loads the faces into
// 32-pixel tiles and hands them to the cube to sphere renderer.
//
// Every option is examined in its lower-cased form; file and folder values keep the case they
// were typed in. Options and config files are applied in the order given, so the later wins.
#include "tools/cube2sphere_tool.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "base/args.h"
#include "base/banner.h"
#include "base/config_section.h"
#include "base/console.h"
#include "base/files.h"
#include "base/paths.h"
#include "base/text.h"
#include "base/threads.h"
#include "imageio/image_file.h"
#include "imageio/image_options.h"
#include "imageio/metadata.h"
#include "imageio/tiled_image_loader.h"
#include "memory/qvmem.h"
#include "memory/tiled_image.h"
#include "render/cube_layout.h"
#include "render/cube_to_sphere.h"
#include "render/sphere_size_comment.h"
#include "tools/output_options.h"
#include "tools/tool_progress.h"

namespace {

// ---- texts ----

constexpr char kTitle[] = "qorvel cube2sphere tool";
constexpr char kConfigSection[] = "[Convert CUBE to SPHERE]";
constexpr char kDescription[] = "    - converts a cubical pano image to a spherical pano image\n";

constexpr const char* kUsageLines[] = {
    "syntax: qorveltools cube2sphere inputfiles [-o=outputfile] [options]",
    "",
    "inputfiles:",
    "  six cubical images, the images should have suffixes like _l,_f,_r... or",
    "  left,front,right... in their filename to allow an automatic detection of",
    "  their cubeside, otherwise every cubeside image must be specified manually",
    "  by using: -l=.. -f=.. -r=.. -b=.. -u=.. -d=..",
    "",
    "options:",
    " -config=#     ... read the settings from an external config file",
    " -o=#          ... name of output image (default=*_sphere.tif)",
    " -outsize=#x#  ... size of sphere image (default=spherewidth=cubewidth*PI)",
    " -fast         ... faster calculation (but lower quality)",
    "",
    " -jpegquality=#  ... set jpeg quality (0-100, default=85)",
    " -jpegsubsamp=#  ... set jpeg color subsampling (444,422,420,411, default=444)",
    " -jpegoptimize=# ... optimize jpeg compression (true or false, default=true)",
    " -tiffcompress=# ... set tiff compression (none,lzw,zip,jpeg, default=lzw)",
    " -tempdir=#      ... set directory for temporary data",
    " -memlimit=#     ... most memory to use, e.g. 4G (default: what the machine has free)",
    " -q / -quiet     ... suppress output messages",
    "",
    "supported input and output formats:",
    "  jpg/jpeg, tif/tiff/btf/tf8/bigtiff, psd/psb, kro (8 or 16bit, RGB or RGBA)",
};

constexpr char kBadArgument[] = "invalid or bad argument: %s\n";
constexpr char kNoSide[] = "ERROR: unable to detect cubeside from file: %s\n";
constexpr char kConfigFailed[] = "ERROR: loading config - \"%s\" - failed!\n";
constexpr char kNoInput[] = "ERROR: no input images";
constexpr char kFacesMissing[] = "\nERROR: not all cube images found or detected\n";
constexpr char kLoading[] = "loading...";
constexpr char kOriginalSize[] = "original sphere size: %dx%d\n";
constexpr char kHaveProfile[] = "have ICC profile: %s - size=%d byte\n";
constexpr char kLoadingFace[] = "loading %s...\n";
constexpr char kFaceLoaded[] = "done.          \r";
constexpr char kFaceLoadError[] = " - loading error!\n";
constexpr char kFaceLoadErrorDetail[] = " - loading error!\n       - %s!\n";
constexpr char kFaceWrongFormat[] = " - Error: only 8 or 16 bit RGB or RGBA format supported!";
constexpr char kFaceWrongSize[] =
    " - Error: the cube images must be square and all of the same size (%s is %dx%d, the left "
    "image %dx%d)!\n";
constexpr char kFaceWrongDepth[] =
    " - Error: the cube images must all have the bit depth of the left image (%s)!\n";
constexpr char kTooLarge[] = "ERROR: the sphere size %dx%d is too large for the available memory\n";
constexpr char kLoadTime[] = "load time: %.2f sec\n";
constexpr char kDoneLoading[] = "done";
constexpr char kMakingSphere[] = "making sphere %s...\n";
constexpr char kDone[] = "done.";

constexpr int32_t kProgressParts = 24;  // loading 6 (one a face), rendering 18

// The words of the shared output block that cube2sphere accepts (and its config section keys).
constexpr uint32_t kOutputWords = kOutputJpegQuality | kOutputJpegSubsampling |
                                  kOutputJpegOptimizeWord | kOutputTiffCompression |
                                  kOutputTempDir | kOutputMemoryLimit | kOutputQuiet;

// ---- settings ----

struct SphereSettings {
  ConsoleOps* console = nullptr;
  std::string faces[kCubeSideCount];        // face files, case as typed
  std::string named_faces[kCubeSideCount];  // face files recognised by name, else empty
  bool any_face = false;                    // at least one face file was named
  std::string output;                       // -o value; empty = derived
  int32_t width = -1;                       // sphere size; -1 = automatic
  int32_t height = -1;
  std::string extension = "tif";  // extension of the derived output name
  bool fast = false;
  bool no_oversampling = false;
  bool config_fast = false;  // a config file asked for fast
  float oversample = 0.0f;
  bool ipc = false;
  bool verbose = false;
  OutputOptions options;  // writer settings (quality 99, 4:4:4, lzw), temp folder, quiet
  StepProgress progress;  // 24 parts: each face 1, the rendering 18
};

// ---- option walk ----

SphereSettings* settings_of(void* target) {
  return static_cast<SphereSettings*>(target);
}

// Faces named by option or pattern are taken upright; those recognised by name may be turned the
// way their names' convention draws them.
OptionStatus set_face(SphereSettings* s, int32_t side, const std::string& path,
                      bool recognised_by_name = false) {
  s->faces[side] = path;
  s->named_faces[side] = recognised_by_name ? path : std::string();
  s->any_face = true;
  return OptionStatus::Accepted;
}

template <int32_t kSide>
OptionStatus option_face(void* target, const ParsedArgument& a) {
  return set_face(settings_of(target), kSide, a.raw_value);
}

OptionStatus option_size(void* target, const ParsedArgument& a) {
  SphereSettings* s = settings_of(target);
  int width = -1;
  int height = -1;
  std::sscanf(a.value.c_str(), "%d%*c%d", &width, &height);
  const bool valid = width > 0 && height > 0;
  s->width = valid ? width : -1;
  s->height = valid ? height : -1;
  return OptionStatus::Accepted;
}

OptionStatus option_oversample(void* target, const ParsedArgument& a) {
  settings_of(target)->oversample = static_cast<float>(std::atof(a.value.c_str()));
  return OptionStatus::Accepted;
}

void apply_config_entries(const std::vector<ConfigEntry>& entries, SphereSettings* s) {
  for (const ConfigEntry& entry : entries) {
    const std::string& key = entry.key;
    const std::string& value = entry.value;
    if (key == "spheresize") {
      if (lowered_ascii(value) == "auto") {
        s->width = s->height = -1;
      } else {
        parse_size(value, &s->width, &s->height, -1, -1);
      }
    } else if (key == "outputformat") {
      s->extension = value;
    } else if (key == "fast") {
      s->config_fast = parse_bool(value, false);
    } else {
      apply_output_config_entry(entry, kOutputWords, &s->options.writer, &s->options.profile);
    }
  }
}

OptionStatus option_config(void* target, const ParsedArgument& a) {
  SphereSettings* s = settings_of(target);
  const std::string& path = a.raw_value;
  std::vector<ConfigEntry> entries;
  if (!read_tool_config_section(path, kConfigSection, &entries)) {
    ConsoleOps* ops = s->console;
    const std::string text = ops->format(ops, kConfigFailed, path.c_str());
    ops->error(ops, text.c_str());
    return OptionStatus::Stopped;
  }
  apply_config_entries(entries, s);
  return OptionStatus::Accepted;
}

// A positional file: a "*" pattern fills all six slots, any other name the slot of its side.
OptionStatus take_face_file(void* target, const ParsedArgument& a) {
  SphereSettings* s = settings_of(target);
  const std::string& path = a.raw;
  const size_t star = path.find('*');
  if (star != std::string::npos) {
    for (int32_t side = 0; side < kCubeSideCount; ++side) {
      std::string name = path;
      name[star] = cube_side_info(side).letter;
      set_face(s, side, name);
    }
    return OptionStatus::Accepted;
  }
  const CubeSideMatch match = detect_cube_side(path);
  if (match.side < 0) {
    ConsoleOps* ops = s->console;
    const std::string text = ops->format(ops, kNoSide, file_name_part(path).c_str());
    ops->error(ops, text.c_str());
    return OptionStatus::Stopped;
  }
  return set_face(s, match.side, path, true);
}

// Applies every argument in order; prints the bad-argument message itself. False when the run
// stops.
bool walk_words(SphereSettings* s, char** words, int count) {
  constexpr OptionValue kValue = OptionValue::Required;
  std::vector<OptionRow> rows = {
      {"o", OptionKind::Text, &s->output},
      option_call("l", kValue, option_face<kCubeLeft>, s),
      option_call("f", kValue, option_face<kCubeFront>, s),
      option_call("r", kValue, option_face<kCubeRight>, s),
      option_call("b", kValue, option_face<kCubeBack>, s),
      option_call("u", kValue, option_face<kCubeUp>, s),
      option_call("d", kValue, option_face<kCubeDown>, s),
      option_call("size", kValue, option_size, s),
      option_call("outsize", kValue, option_size, s),
      option_call("oversample", kValue, option_oversample, s),
      option_call("config", kValue, option_config, s),
      {"ipc", OptionKind::Flag, &s->options.quiet, &s->ipc},
      {"verbose", OptionKind::Flag, &s->verbose},
      {"fast", OptionKind::Flag, &s->fast, &s->no_oversampling},
  };
  add_output_option_rows(&s->options, kOutputWords, &rows);
  const OptionWalk walk =
      walk_arguments({rows.data(), rows.size(), take_face_file, s}, words, count);
  if (walk.status == OptionStatus::Refused) {
    s->console->log(s->console, kBadArgument, walk.refused.c_str());
  }
  return walk.status == OptionStatus::Accepted;
}

// ---- the run ----

void print_usage_text(ConsoleOps* ops) {
  print_banner(ops, kTitle);
  ops->log(ops, kDescription);
  for (const char* line : kUsageLines) ops->print(ops, line);
}

bool is_rgb_format(PixelFormat format) {
  return format == kPixelRgb8 || format == kPixelRgba8 || format == kPixelRgb16 ||
         format == kPixelRgba16;
}

// Loads one face into 32-pixel tiles; reports its own failures.
TiledImagePtr load_face(SphereSettings* s, const std::string& path) {
  ConsoleOps* ops = s->console;
  if (!s->options.quiet) ops->log(ops, kLoadingFace, file_name_part(path).c_str());
  const bool report = !s->options.quiet || s->ipc;
  TiledImagePtr face =
      load_tiled_image(path, 32, report ? report_step_rows : nullptr, &s->progress);
  if (!face) {
    ImageFilePtr probe = image_open_read(path, nullptr);
    const std::string detail = image_last_error();
    image_clear_last_error();
    if (probe && !is_rgb_format(probe->format)) {
      ops->error(ops, kFaceWrongFormat);
    } else if (detail.empty()) {
      ops->error(ops, kFaceLoadError);
    } else {
      ops->error(ops, ops->format(ops, kFaceLoadErrorDetail, detail.c_str()).c_str());
    }
    return nullptr;
  }
  if (face->element_type != kElementBgra8 && face->element_type != kElementRgba16) {
    ops->error(ops, kFaceWrongFormat);
    return nullptr;
  }
  if (!s->options.quiet) ops->log(ops, kFaceLoaded);
  return face;
}

// Faces must be square, of the left face's size and of its depth: the renderer samples every
// face with the same size and writes the left face's depth.
bool check_face(SphereSettings* s, const TiledImage& face, const TiledImage& left,
                const std::string& path) {
  ConsoleOps* ops = s->console;
  const std::string name = file_name_part(path);
  if (face.width != face.height || face.width != left.width || face.height != left.height) {
    const std::string text = ops->format(ops, kFaceWrongSize, name.c_str(), face.width, face.height,
                                         left.width, left.height);
    ops->error(ops, text.c_str());
    return false;
  }
  if (face.element_type != left.element_type) {
    const std::string text = ops->format(ops, kFaceWrongDepth, name.c_str());
    ops->error(ops, text.c_str());
    return false;
  }
  return true;
}

// Reads every face's header: the first embedded profile and the original sphere size from the
// comment of a face whose size matches it (later faces override earlier ones).
void probe_faces(const SphereSettings& s, std::vector<uint8_t>* icc, int32_t* sphere_width,
                 int32_t* sphere_height) {
  for (int32_t side = 0; side < kCubeSideCount; ++side) {
    std::unique_ptr<ImageInfo> info = image_probe(s.faces[side]);
    if (!info) continue;
    if (icc->empty() && !info->icc.empty()) *icc = info->icc;
    SphereSizeComment comment;
    if (info->comment_present && parse_sphere_size_comment(info->comment, &comment) &&
        comment.cube_size == info->width && comment.cube_size == info->height) {
      *sphere_width = comment.sphere_width;
      *sphere_height = comment.sphere_height;
    }
  }
}

// Rows are streamed, but every rendering row has its buffers, longitude tables and the
// resizer's window of rows: refuse widths whose rows alone would not fit in memory.
bool fits_in_memory(const SpherePlan& plan, bool sixteen_bit) {
  const QvmemMemoryStatus status = qvmem_query_memory_status();
  const double limit =
      status.available_physical > 0 ? static_cast<double>(status.available_physical) : 1e18;
  const double row_bytes =
      static_cast<double>(plan.render_width) * ((sixteen_bit ? 6 : 3) * 24 + 16);
  return row_bytes <= limit;
}

std::string derived_output_name(const SphereSettings& s) {
  return cube_face_output_base(s.faces[kCubeLeft]) + "_sphere." + s.extension;
}

int run_cube2sphere(SphereSettings* s) {
  ConsoleOps* ops = s->console;
  if (!s->any_face) {
    ops->error(ops, kNoInput);
    return 1;
  }
  const std::string& temp_dir = s->options.temp_dir;
  qvmem_init(temp_dir.empty() ? nullptr : temp_dir.c_str(), 0);
  apply_memory_limit_option(s->options);
  for (const std::string& face : s->faces) {
    if (face.empty()) {
      ops->error(ops, kFacesMissing);
      return 1;
    }
  }
  if (!s->options.quiet) ops->print(ops, kLoading);

  std::vector<uint8_t> icc;
  int32_t original_width = 0;
  int32_t original_height = 0;
  probe_faces(*s, &icc, &original_width, &original_height);
  if (original_width > 0) {
    if (s->verbose) ops->log(ops, kOriginalSize, original_width, original_height);
    if (s->width <= 0 || s->height <= 0) {
      s->width = original_width;
      s->height = original_height;
    }
  }
  if (s->verbose && icc.size() > 131) {
    const std::string description = icc_profile_description(icc.data(), icc.size());
    ops->log(ops, kHaveProfile, description.c_str(), static_cast<int>(icc.size()));
  }

  const int64_t load_start = timer_ticks();
  TiledImagePtr faces[kCubeSideCount];
  std::vector<TileViewPtr> views;
  CubeSource source;
  named_face_orientations(s->named_faces, source.orientations);
  for (int32_t side = 0; side < kCubeSideCount; ++side) {
    start_step(&s->progress, side + 1, 1, true);
    faces[side] = load_face(s, s->faces[side]);
    if (!faces[side]) return 1;
    if (!check_face(s, *faces[side], *faces[0], s->faces[side])) return 1;
    views.push_back(create_tile_view(faces[side].get()));
    source.faces[side] = faces[side].get();
    source.views[side] = views.back().get();
  }
  source.sixteen_bit = faces[0]->element_type == kElementRgba16;
  if (s->verbose) ops->log(ops, kLoadTime, ticks_to_seconds(timer_ticks() - load_start));
  if (!s->options.quiet) ops->print(ops, kDoneLoading);

  SphereJob job;
  job.output_name = s->output.empty() ? derived_output_name(*s) : s->output;
  if (!s->options.quiet) ops->log(ops, kMakingSphere, job.output_name.c_str());
  const int32_t face_size = faces[0]->width;
  const int32_t natural_height = static_cast<int32_t>(face_size * kPi / 2.0 + 0.5);
  job.width = s->width;
  job.height = s->height;
  if (job.width <= 0 || job.height <= 0) {
    job.height = natural_height;
    job.width = 2 * natural_height;
  }
  job.natural_width = 2 * natural_height;
  if (!fits_in_memory(plan_sphere_rendering(job), source.sixteen_bit)) {
    const std::string text = ops->format(ops, kTooLarge, job.width, job.height);
    ops->error(ops, text.c_str());
    return 1;
  }
  job.fast = s->fast;
  job.no_oversampling = s->no_oversampling;
  job.oversample = s->oversample;
  job.writer_options = writer_props(s->options.writer);
  job.icc = icc;
  job.verbose = s->verbose;
  job.console = ops;
  job.progress = report_step;
  job.progress_user = &s->progress;
  // Bands of rows on every thread, each with tile caches of its own over the shared faces.
  WorkerPoolPtr pool = thread_count() > 1 ? create_worker_pool(thread_count()) : nullptr;
  if (pool) {
    for (TiledImagePtr& face : faces) share_tile_locks(face.get());
    job.pool = pool.get();
  }
  start_step(&s->progress, 7, 18, true);
  // An output that could not be made (already reported) fails the run.
  if (!render_sphere(job, &source)) return 1;
  if (!s->options.quiet) ops->print(ops, kDone);
  return 0;
}

}  // namespace

int cube2sphere_main(int argc, char** argv, ConsoleOps* ops) {
  if (argc < 2) {
    print_usage_text(ops);
    return 1;
  }
  SphereSettings settings;
  settings.console = ops;
  settings.options.writer.jpeg_quality = 99;
  if (!walk_words(&settings, argv + 1, argc - 1)) return 1;
  if (!settings.options.quiet) print_banner(ops, kTitle);
  if (settings.config_fast) {
    settings.fast = true;
    settings.no_oversampling = true;
  }
  settings.progress.console = ops;
  settings.progress.parts = kProgressParts;
  settings.progress.quiet = settings.options.quiet;
  settings.progress.ipc = settings.ipc;
  return run_cube2sphere(&settings);
}
