// The transform tool: option walk, config section, loading the source into 128-pixel tiles,
// sizes, names and the hand-over of each output image to the face, view and strip renderers.
//
// Every option is examined in its lower-cased form; file and folder values (-config, -tempdir)
// keep the case they were typed in. Options are applied in the order given, so settings that a
// -config option takes over are overridden by options after it.
#include "tools/transform_tool.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "base/args.h"
#include "base/banner.h"
#include "base/config_section.h"
#include "base/console.h"
#include "base/files.h"
#include "base/paths.h"
#include "base/text.h"
#include "base/threads.h"
#include "base/unit_relay.h"
#include "base/whole_files.h"
#include "imageio/image_file.h"
#include "imageio/image_options.h"
#include "imageio/tiled_image_loader.h"
#include "memory/qvmem.h"
#include "memory/tiled_image.h"
#include "render/cube_layout.h"
#include "render/engine_messages.h"
#include "render/panorama_geometry.h"
#include "render/sphere_to_cube.h"
#include "render/view_render.h"
#include "tools/output_options.h"
#include "tools/tool_progress.h"

namespace {

// ---- texts ----

constexpr char kTitle[] = "qorvel sphere2cube / transform tool";
constexpr char kConfigSection[] = "[Convert SPHERE to CUBE]";

constexpr const char* kUsageLines[] = {
    "Syntax:",
    "   qorveltools transform MODE inputfile outputfile [options]",
    "",
    "Parameters:",
    "  MODE ... cube, hcube, vcube, cube32, cube23 or view",
    "           cube = transform to cubical pano (6 separate images)",
    "           hcube / vcube  = transform to horizontal or vertical imagestrip",
    "           cube32 / cube23  = transform to a 3x2 or 2x3 imagestrip",
    "           view  = extracts a rectangular view from a spherical image",
    "",
    "  inputfile  ... spherical input image (360x*)",
    "  outputfile ... cubical output name (cube suffixes will be added in cube mode)",
    "",
    "options:",
    " -config=#   ... read the settings from an external config file",
    " -cylinder   ... input image is a cylindrical pano image",
    " -outsize=#  ... set a custom output size (for view mode use WIDTHxHEIGHT)",
    " -fov=#      ... field of view in degrees for view mode (default is 90)",
    " -lookat=H,V,R        ... add rotation in qorvel form",
    " -rotate=ORDER,X,Y,Z  ... add rotation in custom form",
    "             ... ORDER - rotation order (XYZ,XZY,YXZ,YZX,ZXY,ZYX)",
    "             ... X,Y,Z - rotation angles in degrees",
    " -noautolevel     ... disable the auto leveling",
    " -jpegquality=#   ... set jpeg quality (0-100, default=85)",
    " -jpegsubsamp=#   ... set jpeg color subsampling (444,422,420,411, default=444)",
    " -jpegoptimize    ... optimize jpeg compression (recommended)",
    " -jpegprogressive ... use progressive jpeg compression",
    " -tiffcompress=#  ... set tiff compression (none,lzw,zip,jpeg, default=lzw)",
    " -tempdir=#       ... set directory for temporary files",
    " -memlimit=#      ... most memory to use, e.g. 4G (default: what the machine has free)",
    " -fast            ... use faster calculations (but with lower image quality)",
    " -q / -quiet      ... suppress output messages",
    "",
    "supported input and output formats:",
    "  jpg/jpeg, tif/tiff/btf/tf8/bigtiff, psd/psb, kro (8 or 16bit, RGB or RGBA)",
};

constexpr char kBadArgument[] = "invalid or bad argument: %s\n";
constexpr char kRotationTwice[] = "ERROR: -lookat and -rotate can't be used together!";
constexpr char kBadRotationOrder[] = "ERROR: invalid rotation order!";
constexpr char kFovTooSmall[] = "ERROR: view mode - too small fov value!";
constexpr char kFovTooLarge[] = "ERROR: view mode - too large fov value!";
constexpr char kConfigFailed[] = "ERROR: loading config - \"%s\" - failed!\n";
constexpr char kLoadingInput[] = "loading inputimage ...";
constexpr char kLoadingError[] = "%sloading error%s%s!\n";
constexpr char kLoadingReason[] = "%s       - %s!\n";
constexpr char kWrongFormat[] = "loading error - only 8 or 16 bit RGB or RGBA format supported!\n";
constexpr char kNotSpherical[] = "loading error - not a spherical or cylindrical image!\n";
constexpr char kHaveProfile[] = "have ICC profile: %s - size=%d byte\n";
constexpr char kInputSize[] = "done. (input imagesize %dx%d)\n";
constexpr char kSphereSizeComment[] = "qorvel;spheretocube;spheresize=%dx%d;cubesize=%d;";
constexpr char kMakingView[] = "making view... %dx%d\n";
constexpr char kMakingCube[] = "making cube files... 6x%dx%d\n";
constexpr char kMakingFace[] = "making %s...%s  %s\n";
constexpr char kFacePrefix[] = "   %d/7 making %s image... ";
constexpr char kMakingHorizontalStrip[] = "making horizontal cubestrip... %dx%d\n";
constexpr char kMakingVerticalStrip[] = "making vertical cubestrip... %dx%d\n";
constexpr char kMaking3x2[] = "making 3x2 cubestrip... %dx%d\n";
constexpr char kMaking2x3[] = "making 2x3 cubestrip... %dx%d\n";
constexpr char kDoneInProcess[] = "   done.                                   \n";
constexpr char kDoneVerbose[] = "done. (%.2f sec)    \n";
constexpr char kDone[] = "done.\n";
constexpr char kLoadingPrefix[] = "1/7 loading...";
constexpr char kTotalMemory[] = "totalmem:  %d MB\n";
constexpr char kAvailableMemory[] = "availmem:  %d MB\n";
constexpr char kFreeSpace[] = "freespace: %d MB\n";
constexpr char kAllocated[] = "allocated: %d MB\n";
constexpr char kAllocError[] = "alloc error\n";

// ---- settings ----

enum TransformMode : int32_t {
  kModeNone = 0,
  kModeView = 1,
  kModeCube = 2,
  kModeHorizontalStrip = 3,
  kModeVerticalStrip = 4,
  kModeGrid3x2 = 5,
  kModeGrid2x3 = 6,
};

// Faces of the cube mode in the order they are made: up, left, front, right, back, down.
constexpr int32_t kCubeFileOrder[kCubeSideCount] = {kCubeUp,    kCubeLeft, kCubeFront,
                                                    kCubeRight, kCubeBack, kCubeDown};

constexpr int32_t kProgressParts = 31;

// The words of the shared output block that transform accepts.
constexpr uint32_t kOutputWords =
    kOutputJpegQuality | kOutputJpegSubsampling | kOutputJpegOptimize | kOutputJpegProgressive |
    kOutputTiffCompression | kOutputProfile | kOutputTempDir | kOutputMemoryLimit | kOutputQuiet;

struct TransformSettings {
  ConsoleOps* console = nullptr;
  int32_t mode = kModeNone;
  std::string input;
  std::string output;
  int32_t positionals = 0;  // positional parameters seen so far
  int32_t width = 0;        // face or view size; 0 = automatic
  int32_t height = 0;
  ViewCamera camera;          // field of view and the legacy view angles
  bool has_rotation = false;  // -lookat or -rotate given
  RotationMatrix rotation = {};
  RenderSettings render;  // fast, no oversampling, oversample factor, cylinder
  bool even = false;
  bool autolevel = true;
  bool save_sphere_size = true;
  bool ipc = false;
  bool verbose = false;
  bool in_process = false;
  bool frame_call = false;
  bool async_vmem = false;
  bool has_extension = false;
  std::string extension;
  OutputOptions options;  // writer settings (quality 85, 4:4:4, lzw), profile copy, quiet
  StepProgress progress;  // 31 parts: loading 1, each face 5, a strip 30
  std::vector<OptionRow> rows;
};

// ---- option walk ----

TransformSettings* settings_of(void* target) {
  return static_cast<TransformSettings*>(target);
}

// Reads one number at text; false when there is none.
bool read_double(const char* text, double* value, const char** end) {
  char* stop = nullptr;
  *value = std::strtod(text, &stop);
  *end = stop;
  return stop != text;
}

OptionStatus option_outsize(void* target, const ParsedArgument& a) {
  TransformSettings* s = settings_of(target);
  int width = 0;
  int height = 0;
  const int count = std::sscanf(a.value.c_str(), "%d%*c%d", &width, &height);
  if (s->mode == kModeView) {
    if (count < 2) return OptionStatus::Refused;
  } else {
    if (count < 1) return OptionStatus::Refused;
    height = width;
  }
  if (width < 1 || height < 1) return OptionStatus::Refused;
  s->width = width;
  s->height = height;
  return OptionStatus::Accepted;
}

OptionStatus option_fov(void* target, const ParsedArgument& a) {
  double fov = 0;
  if (std::sscanf(a.value.c_str(), "%lf", &fov) != 1 || !(fov > 0.0) || !(fov < 180.0)) {
    return OptionStatus::Refused;
  }
  settings_of(target)->camera.fov = fov;
  return OptionStatus::Accepted;
}

OptionStatus second_rotation(TransformSettings* s) {
  s->console->print(s->console, kRotationTwice);
  return OptionStatus::Stopped;
}

OptionStatus option_lookat(void* target, const ParsedArgument& a) {
  TransformSettings* s = settings_of(target);
  if (s->has_rotation) return second_rotation(s);
  double angles[3] = {0, 0, 0};
  const char* text = a.value.c_str();
  const char* end = text;
  if (!read_double(text, &angles[0], &end)) return OptionStatus::Refused;
  for (int i = 1; i < 3 && *end == ','; ++i) {
    if (!read_double(end + 1, &angles[i], &end)) return OptionStatus::Refused;
  }
  s->rotation = lookat_rotation(angles[0], angles[1], angles[2]);
  s->has_rotation = true;
  return OptionStatus::Accepted;
}

OptionStatus option_rotate(void* target, const ParsedArgument& a) {
  TransformSettings* s = settings_of(target);
  if (s->has_rotation) return second_rotation(s);
  const std::string& value = a.value;
  const size_t first_comma = value.find(',');
  if (first_comma == std::string::npos) return OptionStatus::Refused;
  double angles[3];
  const char* end = value.c_str() + first_comma;
  for (int i = 0; i < 3; ++i) {
    if (*end != ',' || !read_double(end + 1, &angles[i], &end)) return OptionStatus::Refused;
  }
  const std::string order = value.substr(0, first_comma);
  if (!order_rotation(order.c_str(), angles[0], angles[1], angles[2], &s->rotation)) {
    s->console->print(s->console, kBadRotationOrder);
    return OptionStatus::Stopped;
  }
  s->has_rotation = true;
  return OptionStatus::Accepted;
}

OptionStatus option_oversample(void* target, const ParsedArgument& a) {
  float* factor = &settings_of(target)->render.oversample;
  std::sscanf(a.value.c_str(), "%f", factor);
  return OptionStatus::Accepted;
}

OptionStatus option_in_process(void* target, const ParsedArgument&) {
  TransformSettings* s = settings_of(target);
  s->in_process = true;
  s->autolevel = false;
  return OptionStatus::Accepted;
}

OptionStatus option_frame_call(void* target, const ParsedArgument&) {
  TransformSettings* s = settings_of(target);
  s->in_process = true;
  s->frame_call = true;
  s->autolevel = false;
  return OptionStatus::Accepted;
}

bool load_config_file(const std::string& path, TransformConfig* config) {
  std::vector<ConfigEntry> entries;
  if (!read_tool_config_section(path, kConfigSection, &entries)) return false;
  apply_transform_config(entries, config);
  return true;
}

// Takes over the config's settings at this point of the walk.
OptionStatus option_config(void* target, const ParsedArgument& a) {
  TransformSettings* s = settings_of(target);
  TransformConfig config;
  if (!load_config_file(a.raw_value, &config)) {
    s->console->log(s->console, kConfigFailed, a.raw_value.c_str());
    return OptionStatus::Stopped;
  }
  s->render.oversample = config.oversample;
  s->options.writer = config.writer;
  s->options.profile = config.profile;
  s->autolevel = config.autolevel;
  if (config.fast) {
    s->render.fast = true;
    s->render.no_oversampling = true;
  }
  if (config.cube_size > 0) s->width = s->height = config.cube_size;
  s->has_extension = true;
  s->extension = config.output_format;
  const int32_t mode = transform_mode_for_word(config.cube_format);
  if (mode >= kModeCube) s->mode = mode;
  return OptionStatus::Accepted;
}

// The first positional is the input, the second the output; a third is refused.
OptionStatus take_positional(void* target, const ParsedArgument& a) {
  TransformSettings* s = settings_of(target);
  const int32_t index = s->positionals++;
  if (index == 0) {
    s->input = a.raw;
  } else if (index == 1) {
    s->output = a.raw;
  } else {
    return OptionStatus::Refused;
  }
  return OptionStatus::Accepted;
}

void build_option_rows(TransformSettings* s) {
  s->rows = {
      option_call("config", OptionValue::Required, option_config, s),
      {"cylinder", OptionKind::Flag, &s->render.cylinder},
      option_call("outsize", OptionValue::Required, option_outsize, s),
      option_call("fov", OptionValue::Required, option_fov, s),
      option_call("lookat", OptionValue::Required, option_lookat, s),
      option_call("rotate", OptionValue::Required, option_rotate, s),
      {"noautolevel", OptionKind::FlagOff, &s->autolevel},
      {"fast", OptionKind::Flag, &s->render.fast, &s->render.no_oversampling},
      option_call("oversample", OptionValue::Required, option_oversample, s),
      {"even", OptionKind::Flag, &s->even},
      {"ipc", OptionKind::Flag, &s->options.quiet, &s->ipc},
      option_call("makemultirescall", OptionValue::None, option_in_process, s),
      option_call("makemultirescallframes", OptionValue::None, option_frame_call, s),
      {"asyncvmem", OptionKind::Flag, &s->async_vmem},
      {"verbose", OptionKind::Flag, &s->verbose},
      {"dontsavespheresize", OptionKind::FlagOff, &s->save_sphere_size},
  };
  add_output_option_rows(&s->options, kOutputWords, &s->rows);
}

// Applies count words in order; prints the bad-argument message itself. False when the run
// stops.
bool walk_words(TransformSettings* s, char** words, int count) {
  const OptionWalk walk =
      walk_arguments({s->rows.data(), s->rows.size(), take_positional, s}, words, count);
  if (walk.status == OptionStatus::Refused) {
    s->console->log(s->console, kBadArgument, walk.refused.c_str());
  }
  return walk.status == OptionStatus::Accepted;
}

// Reads the legacy view parameters (vertical angle, heading, roll, fov); false after printing
// the field-of-view message.
bool read_legacy_view(TransformSettings* s, char** parameters) {
  s->camera.vertical_angle = std::atof(parameters[0]);
  s->camera.heading = std::atof(parameters[1]);
  s->camera.roll = std::atof(parameters[2]);
  s->camera.fov = std::atof(parameters[3]);
  if (s->camera.fov <= 0.0) {
    s->console->print(s->console, kFovTooSmall);
    return false;
  }
  if (s->camera.fov > 179.0) {
    s->console->print(s->console, kFovTooLarge);
    return false;
  }
  return true;
}

// ---- memory diagnostics ----

struct MemoryFigures {
  int64_t total;
  int64_t available;
};

MemoryFigures memory_figures() {
  const QvmemMemoryStatus status = qvmem_query_memory_status();
  return {std::min(status.total_physical, status.total_virtual),
          std::min(status.available_physical, status.available_virtual)};
}

int32_t megabytes(int64_t bytes) {
  return static_cast<int32_t>(bytes / (1024 * 1024));
}

void log_memory_lines(ConsoleOps* ops, const MemoryFigures& figures) {
  ops->log(ops, kTotalMemory, megabytes(figures.total));
  ops->log(ops, kAvailableMemory, megabytes(figures.available));
}

int run_meminfo(ConsoleOps* ops) {
  log_memory_lines(ops, memory_figures());
  ops->log(ops, "\n");
  return 0;
}

struct BlockFree {
  void operator()(QvmemBlock* block) const { qvmem_free(block); }
};

// Allocates 4 MiB blocks until the manager refuses one or its free budget is used up (beyond
// that, blocks would only go to swap files until the disk is full).
int run_memtest(ConsoleOps* ops) {
  constexpr uint64_t kBlockSize = 4194304;
  qvmem_init(nullptr, 0);
  std::vector<std::unique_ptr<QvmemBlock, BlockFree>> blocks;
  const auto log_state = [&]() {
    log_memory_lines(ops, memory_figures());
    ops->log(ops, kFreeSpace, megabytes(qvmem_budget()));
    ops->log(ops, kAllocated, static_cast<int32_t>(4 * blocks.size()));
    ops->log(ops, "\n");
  };
  log_state();
  while (qvmem_budget() >= static_cast<int64_t>(kBlockSize)) {
    QvmemBlock* block = qvmem_alloc(kBlockSize);
    if (!block) break;
    blocks.emplace_back(block);
    void* memory = qvmem_lock(block);
    if (!memory) break;
    std::memset(memory, 33, kBlockSize);
    qvmem_unlock(block);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    log_state();
  }
  ops->log(ops, kAllocError);
  return 0;
}

// ---- the run ----

void print_usage_text(ConsoleOps* ops) {
  print_banner(ops, kTitle);
  ops->log(ops, "\n");
  for (const char* line : kUsageLines) ops->print(ops, line);
}

bool is_jpeg_name(const std::string& name) {
  std::string extension;
  if (!file_extension(name, &extension)) return false;
  lower_ascii(&extension);
  return extension == "jpg" || extension == "jpeg";
}

// Reports a source that could not be loaded: the pixel-format message for files that open but
// hold no RGB or RGBA pixels, else the loading error with the reader's detail.
void report_loading_failure(const TransformSettings& s) {
  ConsoleOps* ops = s.console;
  // A file that cannot be opened at all: the system's reason on the line after the message.
  const std::string problem = s.input.empty() ? std::string() : input_file_problem(s.input);
  if (!problem.empty()) {
    image_clear_last_error();
    const char* indent = s.in_process ? "   " : "";
    const std::string text = ops->format(ops, kLoadingError, indent, "", "") +
                             ops->format(ops, kLoadingReason, indent, problem.c_str());
    ops->error(ops, text.c_str());
    return;
  }
  if (!s.input.empty()) {
    ImageFilePtr probe = image_open_read(s.input, nullptr);
    if (probe && probe->format != kPixelRgb8 && probe->format != kPixelRgba8 &&
        probe->format != kPixelRgb16 && probe->format != kPixelRgba16) {
      image_clear_last_error();
      ops->error(ops, kWrongFormat);
      return;
    }
  }
  const std::string detail = image_last_error();
  image_clear_last_error();
  const std::string text = ops->format(ops, kLoadingError, s.in_process ? "   " : "",
                                       detail.empty() ? "" : " - ", detail.c_str());
  ops->error(ops, text.c_str());
}

void log_status(const TransformSettings& s, const char* format, int32_t a, int32_t b) {
  if (!s.options.quiet) s.console->log(s.console, format, a, b);
}

// A source whose rows are still to be read when the faces start (a cube with helper threads):
// the faces wait for the rows they need while the calling thread reads the rest.
struct SourceStillLoading {
  TiledImageLoad load;
  const ImageInfo* info = nullptr;
  bool failed = false;  // the rest could not be read (the faces are dropped)
};

// What is said once the source has been read: its profile (verbose) and its size.
void report_source(const TransformSettings& s, const ImageInfo* info, int32_t width,
                   int32_t height) {
  ConsoleOps* ops = s.console;
  if (s.verbose && info && !info->icc.empty()) {
    ops->log(ops, kHaveProfile, info->icc_description.c_str(), static_cast<int>(info->icc.size()));
  }
  if (!s.options.quiet && !s.in_process) ops->log(ops, kInputSize, width, height);
}

// Reads the rest of the source with the usual progress and report; false when it fails.
bool finish_source_loading(TransformSettings* s, SourceStillLoading* loading) {
  const bool report = !s->options.quiet || s->ipc;
  TiledImage* image = loading->load.image;
  if (!run_tiled_image_load(&loading->load, report ? report_step_rows : nullptr, &s->progress)) {
    loading->failed = true;
    return false;
  }
  report_source(*s, loading->info, image->width, image->height);
  return true;
}

// The six faces rendered at once, each on a worker with its own tile cache over the shared
// source; what a face reports is replayed here in face order, so the console shows what the
// single-threaded loop shows.
struct CubeFaceJobs {
  TransformSettings* settings = nullptr;
  const ImageProps* props = nullptr;
  int32_t size = 0;
  const RotationMatrix* extra = nullptr;
  TiledImage* source = nullptr;
  bool fast = false;  // the sampling every face uses (all faces take the same decision)
  UnitRelay* relay = nullptr;
  std::string names[kCubeSideCount];
  bool complete[kCubeSideCount] = {};
};

// The order in which workers take the faces: up and down first, then the sides (as file
// positions). The up and down faces cost more than a side (their middles get exact directions
// and their rows cross many source tiles), so taking them first leaves the sides to even out the
// workers' loads; what each face reports is still replayed in file order.
constexpr int32_t kCubeClaimOrder[kCubeSideCount] = {0, 5, 1, 2, 3, 4};

void render_cube_face_unit(void* user, int64_t unit, int32_t /*worker*/) {
  const int32_t p = kCubeClaimOrder[unit];
  CubeFaceJobs* jobs = static_cast<CubeFaceJobs*>(user);
  TileViewPtr view = create_tile_view(jobs->source);
  PanoSampler sampler = make_pano_sampler(jobs->source, view.get());
  RenderSettings render = jobs->settings->render;
  render.sampler = &sampler;
  render.fast = jobs->fast;
  render.progress = relay_unit_progress;
  render.progress_user = unit_progress_user(jobs->relay, p);
  ConsoleOps* console = unit_console(jobs->relay, p);
  set_thread_console(console);
  jobs->complete[p] =
      render_image(&render, console, *jobs->props, jobs->size, jobs->size, kCubeFileOrder[p],
                   jobs->extra, 0.0, 0.0, 0.0, 90.0, jobs->names[p]);
  set_thread_console(nullptr);
  view.reset();
  finish_unit(jobs->relay, p);
}

// ---- faces made down the source as it is read ----
//
// With one or two threads the faces are made in groups that go down the source together, so
// that the source rows above every face's remaining rows can be given back as the faces move on
// and their memory serves the rows read next: the source is held as a band, not whole. One
// thread makes the up face, then the four sides row by row side by side, then the down face,
// and reads the source itself as far as they need it. Two threads make the same phases (the up
// and down faces in bands, the sides shared between them a few rows at a time, the face furthest
// behind first) while the calling thread reads ahead of them.

struct StreamedFace {
  int32_t position = 0;  // file position
  RenderSettings render;
  TileViewPtr view;
  PanoSampler sampler;
  RenderOutput output;
  FaceRowStream stream;
  SourceReach reach;
  std::atomic<int32_t> keep_from{0};  // the first source row the face may still read
  ConsoleOps* console = nullptr;
  bool opened = false;
  bool rendered = true;
  int32_t written = 0;
  bool held = false;  // a thread is writing its rows (the sides shared between threads)
};

struct StreamedCube {
  TransformSettings* settings = nullptr;
  TiledImage* source = nullptr;
  UnitRelay* relay = nullptr;
  int32_t size = 0;
  StreamedFace faces[kCubeSideCount];
  // The phases in turn, each the file positions of the faces made together.
  std::vector<std::vector<int32_t>> phases;
  WorkerPool* pool = nullptr;  // the phases' threads (null: alone)
  std::mutex mutex;            // guards the faces' `held` flags
  ConsoleOps* own_console = nullptr;  // the record of the thread the phases run on, between faces
};

constexpr int32_t kStreamedBoundRows = 32;  // rendering rows between two updates of keep_from
constexpr int32_t kStreamedShareRows = 16;  // rows a thread writes of a shared face at a time
constexpr int32_t kStreamedLookaheadBands = 4;  // bands read ahead of the faces with two threads

int32_t streamed_keep_from(void* user) {
  StreamedCube* cube = static_cast<StreamedCube*>(user);
  int32_t first = INT32_MAX;
  for (const StreamedFace& face : cube->faces) {
    first = std::min(first, face.keep_from.load(std::memory_order_acquire));
  }
  return first;
}

// Sets a face up: its own view and sampler, its output opened, its row stream and its reach.
bool prepare_streamed_face(StreamedCube* cube, StreamedFace* face, const ImageProps& props,
                           bool fast, const RotationMatrix* extra, const std::string& name) {
  TransformSettings* s = cube->settings;
  face->console = unit_console(cube->relay, face->position);
  face->view = create_tile_view(cube->source);
  face->sampler = make_pano_sampler(cube->source, face->view.get());
  face->render = s->render;
  face->render.sampler = &face->sampler;
  face->render.fast = fast;
  face->render.pool = nullptr;
  face->render.progress = relay_unit_progress;
  face->render.progress_user = unit_progress_user(cube->relay, face->position);
  face->opened = open_face_output(&face->output, face->render, props, name, cube->size, cube->size);
  if (!face->opened) {
    engine_log(face->console, "%s", engine_create_failure_text(name).c_str());
    face->keep_from.store(INT32_MAX);
    return false;
  }
  const OversamplePlan plan =
      plan_oversampling(face->render, cube->source->width, cube->size, cube->size, 90.0);
  init_render_context(&face->stream.context, face->render, plan.render_width, plan.render_height,
                      kCubeFileOrder[face->position], extra, 0.0, 0.0, 0.0, 90.0);
  face->rendered = init_face_row_stream(&face->stream, cube->size, cube->size, plan.oversample);
  init_source_reach(&face->reach, face->stream.context);
  face->keep_from.store(first_source_row_from(face->reach, face->stream.context, 0));
  return true;
}

// Writes the next row of a face; false once the face is complete or failed.
bool step_streamed_face(StreamedFace* face, int32_t size) {
  if (!face->opened || !face->rendered || face->written >= size) return false;
  const bool stored =
      write_next_rendered_row(&face->stream.rows, &face->output, size, size, face->written,
                              face->render.progress, face->render.progress_user);
  ++face->written;
  if (!stored) face->rendered = false;
  const int32_t next = face->stream.rows.rendered_rows;
  if (!face->rendered || face->written >= size) {
    // Done: the pool is free for the next phase.
    settle_rendered_rows(&face->stream.rows);
    face->keep_from.store(INT32_MAX, std::memory_order_release);
  } else if (next % kStreamedBoundRows == 0) {
    face->keep_from.store(first_source_row_from(face->reach, face->stream.context, next),
                          std::memory_order_release);
  }
  return face->rendered && face->written < size;
}

// The faces of a group a row each in turn, side by side, down to their last rows.
void render_streamed_group(StreamedCube* cube, const std::vector<int32_t>& group) {
  for (bool more = true; more;) {
    more = false;
    for (int32_t position : group) {
      StreamedFace* face = &cube->faces[position];
      set_thread_console(face->console);
      more = step_streamed_face(face, cube->size) || more;
    }
  }
  set_thread_console(cube->own_console);
}

// The faces of a group shared between the threads of the pool: each thread takes the face
// furthest behind that no other thread holds and writes its next few rows, so the faces go down
// the source together and a thread never waits for another's faces to end.
void render_shared_group(StreamedCube* cube, const std::vector<int32_t>& group) {
  const int32_t threads = pool_workers(cube->pool) - 1;
  parallel_for_each(cube->pool, threads, [&](int64_t, int32_t) {
    for (;;) {
      StreamedFace* next = nullptr;
      {
        std::lock_guard<std::mutex> guard(cube->mutex);
        for (int32_t position : group) {
          StreamedFace* face = &cube->faces[position];
          if (face->held) continue;  // its fields are the holder's
          const bool left = face->opened && face->rendered && face->written < cube->size;
          if (left && (!next || face->written < next->written)) next = face;
        }
        if (!next) break;
        next->held = true;
      }
      set_thread_console(next->console);
      for (int32_t row = 0; row < kStreamedShareRows; ++row) {
        if (!step_streamed_face(next, cube->size)) break;
      }
      set_thread_console(nullptr);
      std::lock_guard<std::mutex> guard(cube->mutex);
      next->held = false;
    }
  });
  set_thread_console(cube->own_console);
}

// Runs the phases in turn: a phase of one face renders it in bands on the pool, a phase of
// several faces shares them between the pool's threads (alone: row by row side by side). Then
// names the faces.
void run_streamed_phases(void* user, int64_t /*unit*/, int32_t /*worker*/) {
  StreamedCube* cube = static_cast<StreamedCube*>(user);
  for (const std::vector<int32_t>& phase : cube->phases) {
    if (!cube->pool) {
      render_streamed_group(cube, phase);
    } else if (phase.size() == 1) {
      StreamedFace* single = &cube->faces[phase[0]];
      if (single->opened && single->rendered) spread_face_row_stream(&single->stream, cube->pool);
      render_streamed_group(cube, phase);
    } else {
      render_shared_group(cube, phase);
    }
  }
  // A face gets its name only once the whole source has been read, and read whole.
  const bool source_read = wait_for_tile_rows(cube->source, cube->source->height);
  for (int32_t position = 0; position < kCubeSideCount; ++position) {
    StreamedFace* face = &cube->faces[position];
    set_thread_console(face->console);
    if (face->opened) {
      const bool success = face->rendered && face->written == cube->size && source_read &&
                           tile_rows_intact(cube->source);
      face->opened = finish_face_output(&face->output, success, face->render, face->console);
    }
    set_thread_console(cube->own_console);
    face->stream.worker_views.clear();
    face->view.reset();
    finish_unit(cube->relay, position);
  }
}

struct StreamedFill {
  ConsoleOps* console = nullptr;  // the run's record
  TiledImageLoad* load = nullptr;
  TileLoadProgressFn progress = nullptr;
  void* progress_user = nullptr;
};

// Reads on for a face that needs more rows; the reading reports to the run's console, not to
// the face's.
bool fill_streamed_source(void* user, int32_t rows) {
  StreamedFill* fill = static_cast<StreamedFill*>(user);
  ConsoleOps* face_console = thread_console();
  set_thread_console(fill->console);
  const bool read =
      continue_tiled_image_load(fill->load, rows, fill->progress, fill->progress_user);
  set_thread_console(face_console);
  return read;
}

// Makes the six faces from a streamed source (loading->load.streamed) with one or two threads.
bool render_streamed_cube(TransformSettings* s, const ImageProps& props, int32_t size,
                          const RotationMatrix* extra, TiledImage* source,
                          SourceStillLoading* loading) {
  ConsoleOps* ops = s->console;
  const std::string* extension = s->has_extension ? &s->extension : nullptr;
  const bool alone = thread_count() < 2;
  // Two threads: one makes the faces with a helper while this one reads the source.
  WorkerPoolPtr pool = alone ? nullptr : create_worker_pool(2);
  WorkerPoolPtr runner = alone ? nullptr : create_worker_pool(1);
  if (!pool || !runner) {
    pool.reset();
    runner.reset();
  }
  UnitRelayPtr relay = create_unit_relay(kCubeSideCount);
  StreamedCube cube;
  cube.settings = s;
  cube.source = source;
  cube.relay = relay.get();
  cube.size = size;
  cube.pool = pool.get();
  // File positions: 0 up, 1 left, 2 front, 3 right, 4 back, 5 down. The sides go down the
  // source together.
  cube.phases = {{0}, {1, 2, 3, 4}, {5}};
  const OversamplePlan plan = plan_oversampling(s->render, source->width, size, size, 90.0);
  const bool fast = s->render.fast || plan.switch_to_fast;
  for (int32_t p = 0; p < kCubeSideCount; ++p) {
    StreamedFace* face = &cube.faces[p];
    face->position = p;
    const std::string name = make_output_name(s->output, s->input,
                                              cube_side_info(kCubeFileOrder[p]).suffix, extension,
                                              true);
    prepare_streamed_face(&cube, face, props, fast, extra, name);
  }
  const bool report = !s->options.quiet || s->ipc;
  TiledImageLoad* load = &loading->load;
  load->keep_from = streamed_keep_from;
  load->keep_user = &cube;
  // Alone, the faces are made on this thread, whose record is given back between them.
  cube.own_console = runner ? nullptr : thread_console();
  StreamedFill fill{thread_console(), load, report ? report_step_rows : nullptr, &s->progress};
  if (runner) {
    // Read a few bands ahead of the faces' demand on this thread while they are made.
    read_streamed_ahead(load, kStreamedLookaheadBands * source->tile_size);
    start_parallel(runner.get(), 1, run_streamed_phases, &cube);
    if (!finish_source_loading(s, loading)) {
      finish_parallel(runner.get());
      return false;
    }
  } else {
    source->gate->fill = fill_streamed_source;
    source->gate->fill_user = &fill;
    run_streamed_phases(&cube, 0, 0);
    source->gate->fill = nullptr;
    if (!continue_tiled_image_load(load, source->height, fill.progress, fill.progress_user)) {
      loading->failed = true;
      return false;
    }
    report_source(*s, loading->info, source->width, source->height);
  }
  if (!s->options.quiet && !s->in_process) ops->log(ops, kMakingCube, size, size);
  bool complete = true;
  for (int32_t p = 0; p < kCubeSideCount; ++p) {
    const CubeSideInfo& side = cube_side_info(kCubeFileOrder[p]);
    if (!s->options.quiet) {
      if (s->in_process) {
        s->progress.prefix = ops->format(ops, kFacePrefix, p + 2, side.name);
      } else {
        ops->log(ops, kMakingFace, side.name, side.padding, cube.faces[p].output.final_name.c_str());
      }
    }
    start_step(&s->progress, 2 + 5 * p, 5, false);
    replay_unit(relay.get(), p, {ops, report_step, &s->progress});
    complete = cube.faces[p].opened && complete;
  }
  if (runner) finish_parallel(runner.get());
  s->render.fast = fast;
  return complete;
}

// Makes all six faces, also after one fails; false when any of them could not be made. With
// more than one thread the faces are rendered side by side (source: the run's tiled image).
bool render_cube_files(TransformSettings* s, const ImageProps& props, int32_t size,
                       const RotationMatrix* extra, TiledImage* source, SourceStillLoading* loading) {
  ConsoleOps* ops = s->console;
  const std::string* extension = s->has_extension ? &s->extension : nullptr;
  const int32_t threads = std::min<int32_t>(thread_count(), kCubeSideCount);
  WorkerPoolPtr pool = threads > 1 ? create_worker_pool(threads) : nullptr;
  // Without helpers the source is read whole before any face is rendered.
  if (loading && !pool && !finish_source_loading(s, loading)) return false;
  CubeFaceJobs jobs;
  UnitRelayPtr relay;
  if (pool) {
    jobs.settings = s;
    jobs.props = &props;
    jobs.size = size;
    jobs.extra = extra;
    jobs.source = source;
    const OversamplePlan plan = plan_oversampling(s->render, source->width, size, size, 90.0);
    jobs.fast = s->render.fast || plan.switch_to_fast;
    relay = create_unit_relay(kCubeSideCount);
    jobs.relay = relay.get();
    for (int32_t p = 0; p < kCubeSideCount; ++p) {
      jobs.names[p] = make_output_name(s->output, s->input,
                                       cube_side_info(kCubeFileOrder[p]).suffix, extension, true);
    }
    start_parallel(pool.get(), kCubeSideCount, render_cube_face_unit, &jobs);
    // The faces start on the rows already read while the rest of the source is read here.
    if (loading && !finish_source_loading(s, loading)) {
      finish_parallel(pool.get());
      return false;
    }
  }
  if (!s->options.quiet && !s->in_process) ops->log(ops, kMakingCube, size, size);
  bool complete = true;
  for (int32_t p = 0; p < kCubeSideCount; ++p) {
    const int32_t face = kCubeFileOrder[p];
    const CubeSideInfo& side = cube_side_info(face);
    const std::string name = make_output_name(s->output, s->input, side.suffix, extension, true);
    if (!s->options.quiet) {
      if (s->in_process) {
        s->progress.prefix = ops->format(ops, kFacePrefix, p + 2, side.name);
      } else {
        ops->log(ops, kMakingFace, side.name, side.padding, name.c_str());
      }
    }
    start_step(&s->progress, 2 + 5 * p, 5, false);
    if (pool) {
      replay_unit(relay.get(), p, {ops, report_step, &s->progress});
      complete = jobs.complete[p] && complete;
    } else {
      complete = render_image(&s->render, ops, props, size, size, face, extra, 0.0, 0.0, 0.0, 90.0,
                              name) &&
                 complete;
    }
  }
  if (pool) {
    finish_parallel(pool.get());
    s->render.fast = jobs.fast;
  }
  return complete;
}

bool render_strip_file(TransformSettings* s, const ImageProps& props, int32_t size,
                       const RotationMatrix* extra) {
  switch (s->mode) {
    case kModeHorizontalStrip:
      log_status(*s, kMakingHorizontalStrip, 6 * size, size);
      break;
    case kModeVerticalStrip:
      log_status(*s, kMakingVerticalStrip, size, 6 * size);
      break;
    case kModeGrid3x2:
      log_status(*s, kMaking3x2, 3 * size, 2 * size);
      break;
    default:
      log_status(*s, kMaking2x3, 2 * size, 3 * size);
      break;
  }
  const std::string* extension = s->has_extension ? &s->extension : nullptr;
  const std::string name = make_output_name(s->output, s->input, "_cubestrip", extension, false);
  start_step(&s->progress, 2, 30, false);
  return render_strip(s->mode, name, &s->render, s->console, props, size, extra);
}

bool render_view_file(TransformSettings* s, const ImageProps& props, const RotationMatrix* extra) {
  log_status(*s, kMakingView, s->width, s->height);
  const std::string* extension = s->has_extension ? &s->extension : nullptr;
  const std::string name = make_output_name(s->output, s->input, "_view", extension, false);
  start_step(&s->progress, 2, 30, false);
  return render_view(&s->render, s->console, props, {s->width, s->height}, s->camera, extra, name);
}

// Everything after the option walk: load, check, size, render, release.
int run_transform(TransformSettings* s) {
  ConsoleOps* ops = s->console;
  const std::string& temp_dir = s->options.temp_dir;
  qvmem_init(temp_dir.empty() ? nullptr : temp_dir.c_str(), s->async_vmem ? 1 : 0);
  apply_memory_limit_option(s->options);
  const bool chatty = !s->options.quiet && !s->in_process;
  if (chatty) {
    print_banner(ops, kTitle);
  }
  const int64_t start = timer_ticks();
  if (chatty) ops->print(ops, kLoadingInput);
  std::unique_ptr<ImageInfo> info;
  TiledImagePtr image;
  // With helper threads a cube's faces start while the source is still being read (its rows
  // come from the top down, and the up face needs only the top third).
  SourceStillLoading loading;
  bool overlapped = false;
  if (!s->input.empty()) {
    info = image_probe(s->input);
    loading.info = info.get();
    const bool report = !s->options.quiet || s->ipc;
    // One or two threads make the faces down a streamed source (render_streamed_cube).
    const bool streamable = thread_count() <= 2;
    if (s->mode == kModeCube && (thread_count() > 1 || streamable)) {
      loading.load.streamed = streamable;
      image = open_tiled_image_load(s->input, 128, &loading.load);
      overlapped = image && image->width - 1 > image->height;
      // A source that will be refused is read first, as any other.
      if (image && !overlapped &&
          !run_tiled_image_load(&loading.load, report ? report_step_rows : nullptr,
                                &s->progress)) {
        image.reset();
      }
    } else {
      image = load_tiled_image(s->input, 128, report ? report_step_rows : nullptr, &s->progress);
    }
  }
  if (!image) {
    report_loading_failure(*s);
    return 1;
  }
  if (!overlapped && s->verbose && info && !info->icc.empty()) {
    ops->log(ops, kHaveProfile, info->icc_description.c_str(), static_cast<int>(info->icc.size()));
  }
  if (image->element_type != kElementBgra8 && image->element_type != kElementRgba16) {
    ops->error(ops, kWrongFormat);
    return 1;
  }
  const int32_t width = image->width;
  const int32_t height = image->height;
  if (width - 1 <= height) {
    ops->error(ops, kNotSpherical);
    return 1;
  }
  if (chatty && !overlapped) ops->log(ops, kInputSize, width, height);

  const RotationMatrix* extra = s->has_rotation ? &s->rotation : nullptr;
  if (s->autolevel && !s->has_rotation && !s->frame_call && info && info->pose_present) {
    s->rotation = levelling_rotation(info->heading, info->pitch, info->roll);
    extra = &s->rotation;
  }

  ImageProps props = writer_props(s->options.writer);
  static const std::vector<uint8_t> kNoProfile;
  s->render.profile_mode = s->options.profile;
  s->render.source_icc = info ? &info->icc : &kNoProfile;

  int32_t face_size = s->width;
  if (s->mode >= kModeCube && face_size <= 0) {
    face_size = natural_face_size(width);
    if (s->even && face_size % 2 != 0) ++face_size;
    if (s->mode >= kModeHorizontalStrip && is_jpeg_name(s->output)) {
      face_size = (face_size + 7) / 8 * 8;
      props.jpeg_sampling_h = props.jpeg_sampling_v = 1;
    }
  }
  if (s->mode >= kModeCube && s->save_sphere_size) {
    props.comment = ops->format(ops, kSphereSizeComment, width, height, face_size);
  }
  if (s->mode == kModeView && (s->width <= 0 || s->height <= 0)) {
    const ViewSize size = default_view_size(width, height);
    s->width = size.width;
    s->height = size.height;
  }

  // Workers render with tile caches of their own over the one source.
  if (thread_count() > 1 && !loading.load.streamed) share_tile_locks(image.get());
  TileViewPtr view = create_tile_view(image.get());
  PanoSampler sampler = make_pano_sampler(image.get(), view.get());
  s->render.sampler = &sampler;
  s->render.progress = report_step;
  s->render.progress_user = &s->progress;
  // A view or a strip renders bands of rows on every thread (the cube renders its faces side by
  // side instead).
  WorkerPoolPtr pool;
  if (thread_count() > 1 && s->mode != kModeCube) {
    pool = create_worker_pool(thread_count());
    s->render.pool = pool.get();
  }
  // An output that could not be made (already reported) fails the run.
  bool complete = true;
  if (s->mode == kModeView) {
    complete = render_view_file(s, props, extra);
  } else if (s->mode == kModeCube) {
    if (overlapped && loading.load.streamed) {
      complete = render_streamed_cube(s, props, face_size, extra, image.get(), &loading);
    } else {
      complete = render_cube_files(s, props, face_size, extra, image.get(),
                                   overlapped ? &loading : nullptr);
    }
  } else if (s->mode >= kModeHorizontalStrip) {
    complete = render_strip_file(s, props, face_size, extra);
  }
  s->render.pool = nullptr;
  pool.reset();
  view.reset();
  image.reset();
  if (loading.failed) {
    report_loading_failure(*s);
    return 1;
  }

  const int status = complete ? 0 : 1;
  // A run that could not make an output (reported with its reason) does not say "done.".
  if (s->frame_call || !complete) return status;
  if (s->in_process) {
    if (!s->options.quiet) ops->log(ops, kDoneInProcess);
  } else if (s->verbose) {
    ops->log(ops, kDoneVerbose, ticks_to_seconds(timer_ticks() - start));
  } else if (!s->options.quiet) {
    ops->log(ops, kDone);
  }
  return status;
}

}  // namespace

// ---- shared helpers ----

int32_t transform_mode_for_word(const std::string& word) {
  const std::string lowered = lowered_ascii(word);
  if (lowered == "view") return kModeView;
  if (lowered == "cube6" || lowered == "cube") return kModeCube;
  if (lowered == "hcube") return kModeHorizontalStrip;
  if (lowered == "vcube") return kModeVerticalStrip;
  if (lowered == "cube32" || lowered == "cube3x2") return kModeGrid3x2;
  if (lowered == "cube23" || lowered == "cube2x3") return kModeGrid2x3;
  return kModeNone;
}

void apply_transform_config(const std::vector<ConfigEntry>& entries, TransformConfig* config) {
  for (const ConfigEntry& entry : entries) {
    const std::string& key = entry.key;
    const std::string& value = entry.value;
    if (key == "cubesize") {
      if (std::sscanf(value.c_str(), "%d", &config->cube_size) != 1) config->cube_size = -1;
    } else if (key == "outputformat") {
      config->output_format = value;
    } else if (key == "cubeformat") {
      config->cube_format = value;
    } else if (apply_output_config_entry(entry, kOutputWords, &config->writer, &config->profile)) {
      // a writer setting or the profile mode
    } else if (key == "fast") {
      config->fast = parse_bool(value, false);
    } else if (key == "autolevel") {
      config->autolevel = parse_bool(value, true);
    } else if (key == "oversample") {
      std::sscanf(value.c_str(), "%f", &config->oversample);
    }
  }
}

int transform_main(int argc, char** argv, ConsoleOps* ops) {
  if (argc == 2) {
    const std::string word = lowered_ascii(argv[1]);
    if (word == "-meminfo") return run_meminfo(ops);
    if (word == "-memtest") return run_memtest(ops);
  }
  if (argc < 3) {
    print_usage_text(ops);
    return 1;
  }
  TransformSettings settings;
  settings.console = ops;
  settings.options.profile = kProfileCopy;
  settings.progress.console = ops;
  settings.progress.parts = kProgressParts;
  settings.progress.prefix = kLoadingPrefix;
  build_option_rows(&settings);
  int first = 1;
  settings.mode = transform_mode_for_word(argv[1]);
  if (settings.mode != kModeNone) first = 2;
  if (settings.mode == kModeView && argc - 1 >= 7 && !is_option_word(argv[4]) &&
      !is_option_word(argv[5]) && !is_option_word(argv[6]) && !is_option_word(argv[7])) {
    if (!walk_words(&settings, argv + 2, 2)) return 1;
    if (!read_legacy_view(&settings, argv + 4)) return 1;
    first = 8;
  }
  if (!walk_words(&settings, argv + first, argc - first)) return 1;
  settings.progress.quiet = settings.options.quiet;
  settings.progress.ipc = settings.ipc;
  settings.progress.prefixed = settings.in_process;
  return run_transform(&settings);
}
