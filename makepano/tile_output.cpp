#include "makepano/tile_output.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <random>

#include "base/console.h"
#include "base/paths.h"
#include "base/threads.h"
#include "base/unit_relay.h"
#include "makepano/input_analysis.h"
#include "makepano/level_plan.h"
#include "makepano/pano_names.h"
#include "makepano/pano_settings.h"
#include "render/cube_layout.h"

namespace {

constexpr int32_t kMaxWidth = 8;
constexpr char kLevelLabel[] = "   level %d - %dx%d - %s %dx%d (%d) -";

int32_t digit_count(int64_t value) {
  int32_t digits = 1;
  for (value = value < 0 ? -value : value; value >= 10; value /= 10) ++digits;
  return digits;
}

std::string padded_number(int64_t value, int32_t width) {
  char text[32];
  snprintf(text, sizeof text, "%0*lld", static_cast<int>(std::clamp(width, 1, kMaxWidth)),
           static_cast<long long>(value));
  return text;
}

// Width of an "%l" or "%f" number: automatic from the count, else pad + 1; at most 8.
int32_t number_width(bool automatic, int32_t pad, int32_t count, int32_t indexbase) {
  const int32_t width = automatic ? digit_count(int64_t{indexbase} + count) : pad + 1;
  return std::min(width, kMaxWidth);
}

bool is_tile_letter(char c) {
  const char lower = static_cast<char>(c | 0x20);
  return lower == 'h' || lower == 'v' || lower == 'u' || lower == 'r' || lower == 'c' ||
         lower == 'x' || lower == 'y';
}

bool is_section_marker(char c) {
  return c == kSectionOpen || c == kSectionClose;
}

// The text a placeholder with its letter becomes.
std::string placeholder_text(const PanoSettings& settings, const TileTemplateValues& v,
                             bool automatic, int32_t pad, char letter) {
  const char lower = static_cast<char>(letter | 0x20);
  if (letter == 't') return v.t_text.empty() ? std::string("%t") : v.t_text;
  if (lower == 'l') {
    return padded_number(v.level, number_width(automatic, pad, v.level_count, settings.indexbase));
  }
  if (lower == 'f') {
    const int32_t width = number_width(automatic, pad, v.frame_count, settings.indexbase);
    if (v.keep_frame) return "%" + std::string(width - 1, '0') + "f";
    return padded_number(v.frame, width);
  }
  if (is_tile_letter(letter)) {
    const int32_t zeros =
        automatic
            ? digit_count(std::max<int64_t>(1, int64_t{settings.indexbase} + v.tile_count - 1)) - 1
            : pad;
    if (v.tile_index >= 0) return padded_number(v.tile_index, zeros + 1);
    return "%" + std::string(std::min(zeros, kMaxWidth), '0') + lower;
  }
  return std::string("%") + letter;
}

// The text of a "c" inside a section.
std::string side_text(const PanoSettings& settings, const TileTemplateValues& v) {
  const std::string separator = settings.multires ? "/" : "_";
  if (v.cube_char == kSidePlaceholder) {
    return v.t_text.empty() ? std::string("%s") : "%t" + separator + "%s";
  }
  const std::string letter(1, v.cube_char);
  return v.t_text.empty() ? letter : v.t_text + separator + letter;
}

std::mt19937& name_generator() {
  static std::mt19937 generator(1);
  return generator;
}

void ignore_stages(void*, int, const double*) {}
void ignore_stage(void*, int) {}

void report_progress(void* user, int64_t done, int64_t total) {
  TileProgress* progress = static_cast<TileProgress*>(user);
  if (progress->quiet || total <= 0) return;
  const int32_t percent = static_cast<int32_t>(done * 100 / total);
  if (percent == progress->last_percent) return;
  progress->last_percent = percent;
  progress->ops->log(progress->ops, "%s %d%%   \r", progress->label.c_str(), percent);
}

}  // namespace

void replace_every(std::string* text, const std::string& key, const std::string& value) {
  if (key.empty()) return;
  size_t at = 0;
  while ((at = text->find(key, at)) != std::string::npos) {
    text->replace(at, key.size(), value);
    at += value.size();
  }
}

std::string expand_input_template(const std::string& text, const PanoNames& names) {
  std::string result = text;
  for (char& c : result) {
    if (c == '[') c = kSectionOpen;
    if (c == ']') c = kSectionClose;
  }
  replace_every(&result, "%BASENAME%", names.base_name);
  replace_every(&result, "%INPUTPATH%", names.input_folder);
  std::replace(result.begin(), result.end(), '\\', '/');
  return result;
}

std::string expand_tile_template(const PanoSettings& settings, const std::string& text,
                                 const TileTemplateValues& values) {
  std::string source = text;
  replace_every(&source, "%BASENAME%", values.base_name);
  std::string out;
  bool in_section = false;
  for (size_t i = 0; i < source.size(); ++i) {
    const char c = source[i];
    if (c == '%') {
      in_section = false;
      bool automatic = false;
      int32_t pad = 0;
      size_t j = i + 1;
      for (; j < source.size() && (source[j] == 'A' || source[j] == '0'); ++j) {
        if (source[j] == 'A') automatic = true;
        if (source[j] == '0') ++pad;
      }
      if (j < source.size() && is_section_marker(source[j])) {
        // A section right after "%" stays a section; the "%" is kept as text.
        out += '%';
        i = j - 1;
        continue;
      }
      if (j < source.size()) out += placeholder_text(settings, values, automatic, pad, source[j]);
      i = j;
      continue;
    }
    if (is_section_marker(c)) {
      in_section = c == kSectionOpen && !values.no_sections;
      continue;
    }
    if (in_section) {
      if (values.cube_char == 0) continue;
      out += (c == 'c' || c == 'C') ? side_text(settings, values) : std::string(1, c);
      continue;
    }
    out += c;
  }
  return out;
}

void seed_temporary_names(uint32_t seed) {
  name_generator().seed(seed);
}

int32_t temporary_name_number() {
  std::uniform_int_distribution<int32_t> draw(0, 0x7FFF);
  const int32_t first = draw(name_generator());
  const int32_t second = draw(name_generator());
  return (first * 100 + second) & 0xFFFF;
}

std::string temporary_cube_name(const PanoSettings& settings, const PanoNames& names,
                                int32_t number, const std::string& eye_label) {
  char digits[16];
  snprintf(digits, sizeof digits, "%06d", static_cast<int>(number));
  std::string name;
  if (!settings.tempcubename.empty()) {
    name = expand_input_template(settings.tempcubename, names);
    // Sections mean nothing in a temporary name; the brackets are given back.
    for (char& c : name) {
      if (c == kSectionOpen) c = '[';
      if (c == kSectionClose) c = ']';
    }
    replace_every(&name, "[FULLBASENAME]", names.full_base_path);
    replace_every(&name, "[BASENAME]", names.base_name);
    replace_every(&name, "[UID]", digits);
    replace_every(&name, "%UID%", digits);
  } else {
    name = names.full_base_path + "_tempcube" + digits;
  }
  if (!eye_label.empty()) name += "_" + eye_label;
  return name;
}

std::string single_level_tile_path(const PanoSettings& settings, const std::string& stage1) {
  TileTemplateValues plain;
  TileTemplateValues numbered;
  numbered.tile_index = 1;
  if (expand_tile_template(settings, stage1, plain) !=
      expand_tile_template(settings, stage1, numbered)) {
    return stage1;
  }
  const size_t dot = stage1.rfind('.');
  const size_t slash = stage1.find_last_of('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
    return stage1 + "_%Av%Ah";
  }
  return stage1.substr(0, dot) + "_%Av%Ah" + stage1.substr(dot);
}

void read_tiled_input(const PanoSettings& settings, TileJob* job) {
  job->tiled_input = true;
  job->in_tile_width = settings.intilesize.width;
  job->in_tile_height =
      settings.intilesize.height > 0 ? settings.intilesize.height : settings.intilesize.width;
  job->in_width = settings.insize.width;
  job->in_height = settings.insize.height;
  job->in_index_base = settings.inindexbase;
}

void attach_tile_progress(TileJob* job, TileProgress* progress) {
  job->user = progress;
  job->console = progress->ops;
  job->stages = ignore_stages;
  job->stage = ignore_stage;
  job->progress = report_progress;
}

bool run_tile_job(TileJob* job, ConsoleOps* ops, bool quiet, const std::string& label) {
  TileProgress progress;
  progress.ops = ops;
  progress.label = label;
  progress.quiet = quiet;
  attach_tile_progress(job, &progress);
  const bool made = make_tiles(job);
  job->user = nullptr;
  if (made && !quiet) ops->log(ops, "\r%78s\r", "");
  return made;
}

const std::string& level_source(const PanoInput& input, int32_t side, int32_t eye) {
  if (input.type != kPanoCube) return input.path;
  return eye == 0 ? input.faces[side] : input.second_eye_faces[side];
}

int32_t full_tile_count(const LevelPlan& plan) {
  const int64_t longer = std::max(plan.full_width, plan.full_height);
  return static_cast<int32_t>((longer + plan.tile_size - 1) / std::max(1, plan.tile_size));
}

std::string level_tile_template(const LevelCut& cut, int32_t level_index, int32_t side,
                                int32_t eye) {
  const PanoSettings& settings = *cut.settings;
  const PanoInput& input = *cut.input;
  const int32_t count = static_cast<int32_t>(cut.plan->levels.size());
  TileTemplateValues values;
  if (input.type == kPanoCube && input.two_eyes && settings.stereosupport) {
    values.t_text = eye == 0 ? settings.stereolabels.left : settings.stereolabels.right;
  }
  if (input.type == kPanoCube) values.cube_char = kSideLetters[side];
  values.level = count - level_index;
  values.level_count = count;
  values.tile_count = full_tile_count(*cut.plan);
  values.base_name = cut.names->base_name;
  values.frame = cut.frame;
  values.frame_count = cut.frame_count;
  std::string name = expand_tile_template(settings, cut.tilepath, values);
  if (settings.manualjpegcompression) {
    const size_t slash = name.find_last_of('/');
    const size_t jpg = name.find(".jpg", slash == std::string::npos ? 0 : slash);
    if (jpg != std::string::npos) name = name.substr(0, jpg) + ".tif";
  }
  return name;
}

namespace {

// The tiling job of one level, side and eye, with its progress label.
struct LevelFaceJob {
  TileJob job;
  std::string label;
  bool made = false;
};

LevelFaceJob level_face_job(const LevelCut& cut, int32_t level_index, int32_t side, int32_t eye) {
  const PanoSettings& settings = *cut.settings;
  const PanoInput& input = *cut.input;
  const LevelPlan& plan = *cut.plan;
  const bool cube = input.type == kPanoCube;
  const int32_t count = static_cast<int32_t>(plan.levels.size());
  const int32_t tile = plan.tile_size;
  const LevelSize& level = plan.levels[level_index];
  LevelFaceJob face;
  TileJob& job = face.job;
  job = *cut.defaults;
  job.input = level_source(input, side, eye);
  job.output = level_tile_template(cut, level_index, side, eye);
  job.tile_width = tile;
  job.tile_height = 0;
  if (level.width != input.width || level.height != input.height) {
    job.resize = true;
    job.resize_width = level.width;
    job.resize_height = level.height;
    // Faces of a cube are separate images: only a panorama wraps around.
    job.hwrap = !cube && input.hfov >= 360;
  }
  if (settings.intilesize.width > 0) read_tiled_input(settings, &job);
  const int32_t columns = static_cast<int32_t>(std::ceil(float(level.width) / float(tile)));
  const int32_t rows = static_cast<int32_t>(std::ceil(float(level.height) / float(tile)));
  char label[1200];
  snprintf(label, sizeof label, kLevelLabel, count - level_index, level.width, level.height,
           file_name_part(job.output).c_str(), columns, rows, columns * rows);
  face.label = label;
  return face;
}

// The faces of one level cut side by side: each job on a worker, printing through the relay.
// A face that fails stops the faces after it that have not started yet; as when they are cut
// one after the other, nothing of theirs is printed.
struct LevelFaceJobs {
  std::vector<LevelFaceJob> faces;
  ConsoleOps* ops = nullptr;
  bool quiet = false;
  UnitRelay* relay = nullptr;
  std::atomic<int64_t> first_failure{INT64_MAX};
};

void cut_face_unit(void* user, int64_t index, int32_t /*worker*/) {
  LevelFaceJobs* jobs = static_cast<LevelFaceJobs*>(user);
  LevelFaceJob& face = jobs->faces[static_cast<size_t>(index)];
  if (jobs->first_failure.load() > index) {
    ConsoleOps* console = unit_console(jobs->relay, index);
    set_thread_console(console);
    face.made = run_tile_job(&face.job, console, jobs->quiet, face.label);
    set_thread_console(nullptr);
    if (!face.made) {
      int64_t first = jobs->first_failure.load();
      while (index < first && !jobs->first_failure.compare_exchange_weak(first, index)) {
      }
    }
  }
  finish_unit(jobs->relay, index);
}

// Cuts the faces of one level on a pool; false after the messages of the first face that failed.
bool cut_level_faces(WorkerPool* pool, std::vector<LevelFaceJob> faces, ConsoleOps* ops,
                     bool quiet) {
  LevelFaceJobs jobs;
  jobs.faces = std::move(faces);
  jobs.ops = ops;
  jobs.quiet = quiet;
  // The faces already run side by side: each cuts its tile rows alone.
  for (LevelFaceJob& face : jobs.faces) face.job.threads = 1;
  const int64_t count = static_cast<int64_t>(jobs.faces.size());
  UnitRelayPtr relay = create_unit_relay(count);
  jobs.relay = relay.get();
  start_parallel(pool, count, cut_face_unit, &jobs);
  bool made = true;
  for (int64_t index = 0; index < count && made; ++index) {
    replay_unit(relay.get(), index, {ops, nullptr, nullptr});
    made = jobs.faces[static_cast<size_t>(index)].made;
  }
  finish_parallel(pool);
  return made;
}

}  // namespace

bool cut_levels(const LevelCut& cut) {
  const PanoSettings& settings = *cut.settings;
  const PanoInput& input = *cut.input;
  const bool cube = input.type == kPanoCube;
  const int32_t sides = cube ? kCubeSideCount : 1;
  const int32_t eyes = cube && input.two_eyes && settings.stereosupport ? 2 : 1;
  const int32_t count = static_cast<int32_t>(cut.plan->levels.size());
  const int32_t threads = std::min(thread_count(), sides * eyes);
  WorkerPoolPtr pool = threads > 1 ? create_worker_pool(threads) : nullptr;
  for (int32_t i = 0; i < count; ++i) {
    std::vector<LevelFaceJob> faces;
    for (int32_t side = 0; side < sides; ++side) {
      for (int32_t eye = 0; eye < eyes; ++eye) faces.push_back(level_face_job(cut, i, side, eye));
    }
    if (pool) {
      if (!cut_level_faces(pool.get(), std::move(faces), cut.ops, settings.quiet)) return false;
    } else {
      for (LevelFaceJob& face : faces) {
        if (!run_tile_job(&face.job, cut.ops, settings.quiet, face.label)) return false;
      }
    }
    if (cut.after_level && !cut.after_level(cut.user, i)) return false;
  }
  return true;
}
