#include "makepano/extra_images.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "base/args.h"
#include "base/console.h"
#include "base/files.h"
#include "base/paths.h"
#include "base/text.h"
#include "base/threads.h"
#include "base/unit_relay.h"
#include "makepano/input_analysis.h"
#include "makepano/pano_names.h"
#include "makepano/pano_settings.h"
#include "makepano/tile_output.h"
#include "render/cube_layout.h"
#include "render/resize.h"
#include "render/smooth_preview.h"

namespace {

constexpr char kPreviewLabel[] = "   making preview image -";
constexpr char kDownsampling[] = "   downsampling for preview... \r";
constexpr char kThumbLabel[] = "   thumb image %dx%d - %s -";
constexpr char kThumbPathProblem[] = "ERROR: thumb image path problem...\n";
constexpr char kMobilePathProblem[] =
    "\nERROR: mobile image path problem - no cube side placeholder!\n\n";
constexpr char kTabletPathProblem[] =
    "\nERROR: tablet image path problem - no cube side placeholder!\n\n";
constexpr char kMobileLabel[] = "   mobile image %dx%d - %s -";
constexpr char kTabletLabel[] = "   tablet image %dx%d - %s -";
constexpr char kCustomPathProblem[] =
    "\nERROR: customimage[%s] path problem - no cube side placeholder!\n\n";
constexpr char kCustomLabel[] = "   %s image %dx%d - %s -";
constexpr char kClearLine[] = "\r%78s\r";

std::string with_side(const std::string& path, const std::string& side) {
  std::string result = path;
  const size_t at = result.find("%s");
  if (at != std::string::npos) result.replace(at, 2, side);
  return result;
}

// ---- preview job plumbing ----

void preview_stages(void*, int, const double*) {}
void preview_stage(void*, int) {}
void preview_progress(void*, int64_t, int64_t) {}

void prepare_preview_job(const ExtraImageContext& context, const std::string& path,
                         PreviewJob* job) {
  const PanoSettings& settings = *context.settings;
  init_preview_job(job);
  job->quiet = settings.quiet;
  job->smooth = static_cast<uint32_t>(settings.previewsmooth);
  job->gray = settings.graypreview;
  job->profile_mode = profile_mode_or_skip(settings.profile);
  job->out_path = path;
  job->user = context.ops;
  job->console = context.ops;
  job->stages = preview_stages;
  job->stage = preview_stage;
  job->progress = preview_progress;
}

// ---- custom images ----

// The value after "key=" in an imagesettings text, up to a separator; false when absent.
bool image_setting(const std::string& text, const char* key, std::string* value) {
  const std::string lowered = lowered_ascii(text);
  const size_t at = lowered.find(key);
  if (at == std::string::npos) return false;
  const size_t start = at + std::string(key).size();
  const size_t end = text.find_first_of(" ,;\t\r\n", start);
  *value = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
  return true;
}

bool wanted_custom_image(const PanoSettings& settings, const CustomImageSpec& entry,
                         int32_t face_size, int32_t eye) {
  if (entry.size <= 0) return false;
  const bool stereo_choice_differs =
      entry.stereosupport >= 0 && (entry.stereosupport == 1) != settings.stereosupport;
  if (entry.size >= face_size && !stereo_choice_differs) return false;
  return entry.stereosupport == 1 || (entry.stereosupport == -1 && settings.stereosupport) ||
         eye != 0;
}

bool run_face_job(const ExtraImageContext& context, const std::string& source,
                  const std::string& output, int32_t size, const std::string& label,
                  const TileJob& base) {
  TileJob job = base;
  job.input = source;
  job.output = output;
  job.tile_width = size;
  job.tile_height = 0;
  job.resize = true;
  job.resize_width = size;
  job.resize_height = size;
  job.hwrap = false;
  return run_tile_job(&job, context.ops, context.settings->quiet, label);
}

}  // namespace

std::string url_for(const std::string& file, const std::string& target,
                    const std::string& url_template) {
  std::string relative;
  if (!relative_path(absolute_path(file, true), target, &relative)) relative = target;
  std::replace(relative.begin(), relative.end(), '\\', '/');
  std::string url = url_template;
  replace_every(&url, "[PATH]", relative);
  return url;
}

std::string single_file_path(const PanoSettings& settings, const std::string& stage1,
                             const PanoNames& names) {
  TileTemplateValues values;
  values.level = 0;
  values.level_count = 1;
  values.base_name = names.base_name;
  values.no_sections = true;
  return expand_tile_template(settings, stage1, values);
}

void flat_preview_size(int32_t preview_width, int32_t width, int32_t height, int32_t* out_width,
                       int32_t* out_height) {
  const double s = preview_width;
  const double diagonal = std::sqrt(s * s + (s / 2) * (s / 2));
  const double image_diagonal = std::sqrt(double(width) * width + double(height) * height);
  int32_t w = static_cast<int32_t>(std::ceil(width * std::min(1.0, diagonal / image_diagonal)));
  w = std::max(16, w + (w & 1));
  int32_t h = static_cast<int32_t>(std::ceil(double(height) * w / width));
  h = std::max(16, h + (h & 1));
  *out_width = w;
  *out_height = h;
}

std::string tiny_preview_text(const uint8_t* rgba, int32_t width, int32_t height) {
  if (!rgba || width <= 0 || height <= 0) return "";
  const int32_t kLongSide = 16;
  const int32_t kStripFace = 4;
  int32_t w = 0;
  int32_t h = 0;
  if (height == 6 * width) {
    w = std::min(kStripFace, width);
    h = 6 * w;
  } else if (width >= height) {
    w = std::min(kLongSide, width);
    h = std::max(1, static_cast<int32_t>(std::lround(double(height) * w / width)));
  } else {
    h = std::min(kLongSide, height);
    w = std::max(1, static_cast<int32_t>(std::lround(double(width) * h / height)));
  }
  static const char kHex[] = "0123456789abcdef";
  std::string text = std::to_string(w) + "x" + std::to_string(h) + ":";
  text.reserve(text.size() + static_cast<size_t>(w) * h * 6);
  for (int32_t row = 0; row < h; ++row) {
    const int64_t y0 = int64_t(row) * height / h;
    const int64_t y1 = int64_t(row + 1) * height / h;
    for (int32_t column = 0; column < w; ++column) {
      const int64_t x0 = int64_t(column) * width / w;
      const int64_t x1 = int64_t(column + 1) * width / w;
      uint64_t sum[3] = {0, 0, 0};
      for (int64_t y = y0; y < y1; ++y) {
        const uint8_t* pixel = rgba + (y * width + x0) * 4;
        for (int64_t x = x0; x < x1; ++x, pixel += 4) {
          for (int c = 0; c < 3; ++c) sum[c] += pixel[c];
        }
      }
      const uint64_t count = static_cast<uint64_t>((y1 - y0) * (x1 - x0));
      for (int c = 0; c < 3; ++c) {
        const unsigned mean = static_cast<unsigned>((sum[c] + count / 2) / count);
        text += kHex[mean >> 4];
        text += kHex[mean & 15];
      }
    }
  }
  return text;
}

namespace {

// How far the work of a preview came before its writing.
enum class PreviewStep {
  kSkipped,   // no path, or a source could not be read: nothing more happens
  kFailed,    // composing failed (reported); only the closing line follows
  kComposed,  // the preview waits in the job's `composed` image
};

// The part of make_preview before the writing: its first lines, the sources and the composed
// preview.
PreviewStep compose_input_preview(const ExtraImageContext& context, const std::string& preview_path,
                                  PreviewJob* job) {
  const PanoSettings& settings = *context.settings;
  const PanoInput& input = *context.input;
  ConsoleOps* ops = context.ops;
  if (preview_path.empty()) return PreviewStep::kSkipped;
  prepare_preview_job(context, preview_path, job);
  const int32_t sphere_width = settings.previewspsize;
  if (!settings.quiet) ops->log(ops, kClearLine, "");
  if (input.type == kPanoCube) {
    if (!settings.quiet) ops->log(ops, "%s", kDownsampling);
    const int32_t size = settings.previewcssize;
    for (int32_t side = 0; side < kCubeSideCount; ++side) {
      job->faces[side] = load_preview_source(size, job, input.faces[side], size, false);
      if (job->faces[side].empty()) return PreviewStep::kSkipped;
    }
    job->face_size = static_cast<uint32_t>(size);
    job->cubestrip = settings.cspreview;
    job->out_width = settings.cspreview ? size : sphere_width;
    job->out_height = settings.cspreview ? size : sphere_width / 2;
    plan_preview_progress(sphere_width, job, false, sphere_width / 2, !settings.cspreview);
  } else {
    if (!settings.quiet) ops->log(ops, "%s", kPreviewLabel);
    const bool sphere = input.type == kPanoSphere;
    int32_t width = sphere_width;
    int32_t height = sphere_width / 2;
    if (!sphere) flat_preview_size(sphere_width, input.width, input.height, &width, &height);
    const std::string& source = input.type == kPanoSpherePair ? input.left_path : input.path;
    const bool wrap = sphere || input.hfov > 359;
    job->sphere = load_preview_source(width, job, source, height, wrap);
    if (job->sphere.empty()) return PreviewStep::kSkipped;
    job->sphere_width = static_cast<uint32_t>(width);
    job->sphere_height = static_cast<uint32_t>(height);
    job->cubestrip = sphere && settings.cspreview;
    job->simple_blur = !sphere;
    job->wrap = sphere || input.hfov >= 360;
    job->out_width = job->cubestrip ? settings.previewcssize : width;
    job->out_height = job->cubestrip ? settings.previewcssize : height;
    plan_preview_progress(0, job, false, 0, false);
  }
  return compose_preview(job) ? PreviewStep::kComposed : PreviewStep::kFailed;
}

// The rest of make_preview: the writing (reported through context.ops), the closing line and
// the preview's entries.
void write_input_preview(const ExtraImageContext& context, const std::string& preview_path,
                         PreviewStep step, PreviewJob* job, ExtraImages* images) {
  const PanoSettings& settings = *context.settings;
  ConsoleOps* ops = context.ops;
  if (step == PreviewStep::kSkipped) return;
  job->user = ops;
  job->console = ops;
  // Taken before the writing, which frees the composed pixels.
  const std::string tiny =
      step == PreviewStep::kComposed &&
              job->composed.size() >= size_t(4) * job->composed_width * job->composed_height
          ? tiny_preview_text(job->composed.data(), job->composed_width, job->composed_height)
          : std::string();
  const bool written = step == PreviewStep::kComposed && write_composed_preview(job);
  if (!settings.quiet) ops->log(ops, kClearLine, "");
  if (!written) return;
  images->preview_file = preview_path;
  images->preview_element = "<preview url=\"" +
                            url_for(context.xml_path, preview_path, settings.previewpathxml) +
                            (tiny.empty() ? "" : "\" tiny=\"" + tiny) + "\" />";
}

}  // namespace

void make_preview(const ExtraImageContext& context, const std::string& preview_path,
                  ExtraImages* images) {
  PreviewJob job;
  const PreviewStep step = compose_input_preview(context, preview_path, &job);
  write_input_preview(context, preview_path, step, &job, images);
}

// The composing runs on the helper and prints through the relay; the writing is left to
// finish_preview_ahead, so nothing of the preview reaches the disk before the largest level is
// cut, as when the preview follows it.
struct PreviewAhead {
  ExtraImageContext context;  // the caller's, printing through the relay
  std::string path;
  PreviewJob job;
  PreviewStep step = PreviewStep::kSkipped;
  UnitRelayPtr relay;     // one unit: the preview's console lines
  WorkerPoolPtr pool;     // one helper
  bool finished = false;  // the helper is done
};

namespace {

void preview_ahead_unit(void* user, int64_t /*index*/, int32_t /*worker*/) {
  PreviewAhead* ahead = static_cast<PreviewAhead*>(user);
  set_thread_console(ahead->context.ops);
  ahead->step = compose_input_preview(ahead->context, ahead->path, &ahead->job);
  set_thread_console(nullptr);
  finish_unit(ahead->relay.get(), 0);
}

// Waits for the helper; the held-back lines stay unprinted.
void wait_for_preview(PreviewAhead* ahead) {
  if (ahead->finished) return;
  finish_parallel(ahead->pool.get());
  ahead->finished = true;
}

}  // namespace

void PreviewAheadDeleter::operator()(PreviewAhead* ahead) const {
  const std::unique_ptr<PreviewAhead> owner(ahead);
  wait_for_preview(ahead);
}

PreviewAheadPtr start_preview_ahead(const ExtraImageContext& context,
                                    const std::string& preview_path) {
  WorkerPoolPtr pool = create_worker_pool(1);
  if (!pool) return nullptr;
  PreviewAheadPtr ahead(std::make_unique<PreviewAhead>().release());
  ahead->path = preview_path;
  ahead->relay = create_unit_relay(1);
  ahead->context = context;
  ahead->context.ops = unit_console(ahead->relay.get(), 0);
  ahead->pool = std::move(pool);
  start_parallel(ahead->pool.get(), 1, preview_ahead_unit, ahead.get());
  return ahead;
}

void finish_preview_ahead(PreviewAhead* ahead, ConsoleOps* ops, ExtraImages* images) {
  replay_unit(ahead->relay.get(), 0, {ops, nullptr, nullptr});
  wait_for_preview(ahead);
  ExtraImageContext context = ahead->context;
  context.ops = ops;
  write_input_preview(context, ahead->path, ahead->step, &ahead->job, images);
}

bool make_thumbnail_image(const ExtraImageContext& context, const std::string& thumb_path,
                          ExtraImages* images) {
  const PanoSettings& settings = *context.settings;
  const PanoInput& input = *context.input;
  if (thumb_path.empty()) {
    context.ops->log(context.ops, "%s", kThumbPathProblem);
    return true;
  }
  TileJob job = *context.defaults;
  const bool cube = input.type == kPanoCube;
  job.input = cube ? input.faces[kCubeFront] : input.path;
  if (!cube && settings.intilesize.width > 0) read_tiled_input(settings, &job);
  char label[1200];
  snprintf(label, sizeof label, kThumbLabel, settings.thumbsize, settings.thumbsize,
           file_name_part(thumb_path).c_str());
  if (!run_face_job(context, job.input, thumb_path, settings.thumbsize, label, job)) return false;
  images->thumb_file = thumb_path;
  images->thumb_url = url_for(context.xml_path, thumb_path, settings.thumbpathxml);
  return true;
}

namespace {

// One device's faces and XML block; false when the tiling core failed.
bool make_device(const ExtraImageContext& context, const std::string& path, int32_t size,
                 const char* path_problem, const char* label_format, const char* element,
                 std::string* block) {
  const PanoSettings& settings = *context.settings;
  const PanoInput& input = *context.input;
  if (path.find("%s") == std::string::npos) {
    context.ops->log(context.ops, "%s", path_problem);
    return true;
  }
  for (int32_t side = 0; side < kCubeSideCount; ++side) {
    const std::string output = with_side(path, std::string(1, kSideLetters[side]));
    char label[1200];
    snprintf(label, sizeof label, label_format, size, size, file_name_part(output).c_str());
    if (!run_face_job(context, input.faces[side], output, size, label, *context.defaults)) {
      return false;
    }
  }
  const std::string open_tag = std::string("[TABS]\t<") + element + ">\n";
  std::string text = open_tag;
  if (settings.cubeshortsyntax) {
    text += "[TABS]\t\t<cube url=\"" + url_for(context.xml_path, path, "[PATH]") + "\" />\n";
  } else {
    for (int32_t side = 0; side < kCubeSideCount; ++side) {
      const std::string face = with_side(path, std::string(1, kSideLetters[side]));
      text += std::string("[TABS]\t\t<") + kPaddedSideNames[side] + " url=\"" +
              url_for(context.xml_path, face, "[PATH]") + "\" />\n";
    }
  }
  text += std::string("[TABS]\t</") + element + ">\n";
  *block = text;
  return true;
}

}  // namespace

bool make_device_faces(const ExtraImageContext& context, const std::string& mobile_path,
                       const std::string& tablet_path, ExtraImages* images) {
  const PanoSettings& settings = *context.settings;
  if (context.input->type != kPanoCube) return true;
  if (settings.buildmobileimages &&
      !make_device(context, mobile_path, settings.buildmobileres, kMobilePathProblem, kMobileLabel,
                   "mobile", &images->mobile_block)) {
    return false;
  }
  if (settings.buildtabletimages &&
      !make_device(context, tablet_path, settings.buildtabletres, kTabletPathProblem, kTabletLabel,
                   "tablet", &images->tablet_block)) {
    return false;
  }
  return true;
}

void apply_image_settings(const std::string& imagesettings, TileJob* job) {
  std::string value;
  if (image_setting(imagesettings, "filter=", &value)) {
    const int32_t code = parse_filter_name(value.c_str());
    if (code > 0) job->filter = code;
  }
  if (image_setting(imagesettings, "jpegquality=", &value)) {
    job->jpeg_quality = parse_int(value, job->jpeg_quality, 0, 100);
  }
  if (image_setting(imagesettings, "jpegsubsamp=", &value)) {
    const int32_t subsampling = atoi(value.c_str());
    if (subsampling == 411 || subsampling == 420 || subsampling == 422 || subsampling == 444) {
      job->jpeg_subsampling = subsampling;
    }
  }
  if (image_setting(imagesettings, "jpegoptimize=", &value)) {
    job->jpeg_optimize = parse_bool(value, job->jpeg_optimize);
  }
  if (image_setting(imagesettings, "jpegprogressive=", &value)) {
    job->jpeg_progressive = parse_bool(value, job->jpeg_progressive);
  }
}

bool make_custom_images(const ExtraImageContext& context, ExtraImages* images) {
  const PanoSettings& settings = *context.settings;
  const PanoInput& input = *context.input;
  if (input.type != kPanoCube) return true;
  const bool stereo = input.two_eyes;
  const int32_t eyes = stereo ? 2 : 1;
  for (const CustomImageSpec& entry : settings.customimages) {
    bool made = false;
    std::string path = single_file_path(settings, expand_input_template(entry.path, *context.names),
                                        *context.names);
    for (int32_t eye = 0; eye < eyes; ++eye) {
      if (!wanted_custom_image(settings, entry, input.width, eye)) continue;
      if (path.find("%s") == std::string::npos) {
        context.ops->log(context.ops, kCustomPathProblem, entry.name.c_str());
        break;
      }
      TileJob job = *context.defaults;
      apply_image_settings(entry.imagesettings, &job);
      const std::string& label_text =
          eye == 0 ? settings.stereolabels.left : settings.stereolabels.right;
      for (int32_t side = 0; side < kCubeSideCount; ++side) {
        const std::string letter(1, kSideLetters[side]);
        const std::string output = with_side(path, stereo ? label_text + "_" + letter : letter);
        char label[1200];
        snprintf(label, sizeof label, kCustomLabel, entry.name.c_str(), entry.size, entry.size,
                 file_name_part(output).c_str());
        const std::string& source = eye == 0 ? input.faces[side] : input.second_eye_faces[side];
        if (!run_face_job(context, source, output, entry.size, label, job)) return false;
      }
      made = true;
    }
    if (!made) continue;
    const std::string url =
        url_for(context.xml_path, stereo ? with_side(path, "%t_%s") : path, "[PATH]");
    std::string text = entry.xml;
    replace_every(&text, "[PATH]", url);
    const bool outside = entry.xmllevel == "qorvel" || entry.xmllevel == "root";
    replace_every(&text, "[NL]", outside ? "\n[TABS]" : "\n[TABS]\t");
    replace_every(&text, "[TAB]", "\t");
    if (outside) {
      images->custom_outside += "\n\n[TABS]" + text;
    } else {
      images->custom_inside += "[TABS]\t" + text + (settings.multires ? "\n" : "");
    }
    // Each parameter list starts with its own blank, so that attributes never run together.
    if (!entry.xmlimageparameters.empty())
      images->image_parameters += " " + entry.xmlimageparameters;
    if (!entry.xmlsceneparameters.empty())
      images->scene_parameters += " " + entry.xmlsceneparameters;
  }
  return true;
}
