// Input analysis: one pass over the paths in order, each classified by the first rule that fits
// (stereo pairs and cube faces join the record made just before them), then the checks over
// the whole list: incomplete cube sets are dropped, frames must share one size.
//
// Only headers are read (the image probe); the strip face-order guess reads the strip's rows
// once. Layered PSD/PSB documents count as unreadable unless layers are ignored, so they are
// reported here instead of failing later.
#include "makepano/input_analysis.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "base/args.h"
#include "base/console.h"
#include "base/files.h"
#include "base/paths.h"
#include "base/text.h"
#include "imageio/image_file.h"
#include "makepano/key_input.h"
#include "makepano/pano_settings.h"
#include "makepano/text_scan.h"

namespace {

// ---- messages ----

constexpr char kUnknownFileType[] = "INPUTERROR: unknown file type: %s\n";
constexpr char kUnsupportedImage[] = "\nINPUTERROR: unsupported image: %s\n";
constexpr char kUnsupportedDetail[] = "            - %s!\n";
constexpr char kNotFullPanorama[] =
    "\nWARNING: %s is not a 360x180 panorama image!\n         Imagesize=%dx%dpx\n";
constexpr char kTypeQuestion[] =
    "\nType of the panorama image? (0=None/Skip, 1=Flat, 2=Spherical, 3=Cylindrical)\nInput: ";
constexpr char kFovQuestion[] = "Horizontal Field of View? (0-360): ";
constexpr char kCubeIncomplete[] = "INPUTERROR: not all cube sides found:\n";
constexpr char kCubeSideFound[] = " -%s=%s (ok)\n";
constexpr char kCubeSideMissing[] = " -%s=ERROR - not found\n";
constexpr char kFrameSizes[] = "ERROR: all images must have the same size\n";

// Signature of the image descriptions whose projection is read.
constexpr char kStitcherSignature[] = "Kolor stitching";

const char* const kInputExtensions[] = {"jpg", "jpeg", "tif", "tiff", "btf", "tf8",
                                        "kro", "psb",  "psd", "png",  "ppan"};

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool starts_with(const std::string& text, size_t at, const char* prefix) {
  return text.compare(at, std::char_traits<char>::length(prefix), prefix) == 0;
}

// The lower-cased extension of a path's file name, empty when it has none.
std::string lowered_extension(const std::string& path) {
  std::string extension;
  if (!file_extension(path, &extension)) return std::string();
  return lowered_ascii(extension);
}

bool is_input_extension(const std::string& extension) {
  for (const char* known : kInputExtensions) {
    if (extension == known) return true;
  }
  return false;
}

// ---- sorting ----

// A lower-cased file name cut into a leading digit run, the text between, a trailing digit run
// (at the end of the name before its extension) and the extension with its dot.
struct NameParts {
  std::string leading;
  std::string middle;
  std::string trailing;
  std::string extension;
};

NameParts split_name(const std::string& name) {
  NameParts parts;
  const size_t dot = name.rfind('.');
  std::string stem = name;
  if (dot != std::string::npos && dot > 0) {
    stem = name.substr(0, dot);
    parts.extension = name.substr(dot);
  }
  size_t lead = 0;
  while (lead < stem.size() && is_digit(stem[lead])) ++lead;
  size_t trail = stem.size();
  while (trail > lead && is_digit(stem[trail - 1])) --trail;
  parts.leading = stem.substr(0, lead);
  parts.middle = stem.substr(lead, trail - lead);
  parts.trailing = stem.substr(trail);
  return parts;
}

// Compares two digit runs by value (any length); an empty run is below every number.
int compare_numbers(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return a.empty() == b.empty() ? 0 : (a.empty() ? -1 : 1);
  const size_t a_zeros = std::min(a.find_first_not_of('0'), a.size());
  const size_t b_zeros = std::min(b.find_first_not_of('0'), b.size());
  const size_t a_digits = a.size() - a_zeros;
  const size_t b_digits = b.size() - b_zeros;
  if (a_digits != b_digits) return a_digits < b_digits ? -1 : 1;
  return a.compare(a_zeros, a_digits, b, b_zeros, b_digits);
}

// ---- metadata ----

// The gps and pose of a probe, as the settings allow.
void take_metadata(const ImageInfo* info, const PanoSettings& settings, PanoInput* record) {
  if (!info) return;
  if (settings.parsegps && info->gps_present) {
    record->gps.present = true;
    record->gps.latitude = info->latitude;
    record->gps.longitude = info->longitude;
    record->gps.heading = info->direction;
  }
  if (settings.autolevel != "off" && info->pose_present) {
    record->pose.present = true;
    record->pose.heading = info->heading;
    record->pose.pitch = info->pitch;
    record->pose.roll = info->roll;
  }
}

// ---- classification ----

// What one path contributes, read before it is classified.
struct InputFile {
  std::string path;
  std::string name;       // file name part, for messages
  std::string extension;  // lower case
  int32_t width = 0;
  int32_t height = 0;
  CubeSideMatch side;  // side -1 outside automatic mode
  DescriptionProjection projection;
  PanoGps gps;
  PanoPose pose;
};

// The type the settings force on every input; kPanoDropped for automatic detection.
int32_t forced_type(const PanoSettings& settings) {
  if (settings.forceflat) return kPanoFlat;
  const std::string word = lowered_ascii(settings.panotype);
  if (word == "sphere") return kPanoSphere;
  if (word == "cylinder" || word == "partialcylinder") return kPanoCylinder;
  if (word == "partialsphere") return kPanoPartialSphere;
  if (word == "flat") return kPanoFlat;
  return kPanoDropped;
}

bool half_width_fits(int32_t width, int32_t height) {
  return std::abs(width / 2 - height) <= 1;
}

PanoInput new_record(const InputFile& file, int32_t type, double hfov, double vfov,
                     double voffset) {
  PanoInput record;
  record.type = type;
  record.width = file.width;
  record.height = file.height;
  record.hfov = hfov;
  record.vfov = vfov;
  record.voffset = voffset;
  record.path = file.path;
  record.group_name = file.side.base;
  record.gps = file.gps;
  record.pose = file.pose;
  return record;
}

PanoInput full_record(const InputFile& file, int32_t type, int32_t width, int32_t height) {
  PanoInput record = new_record(file, type, 360, 180, 0);
  record.width = width;
  record.height = height;
  return record;
}

// Number of positions at which two names differ; the longer name's extra bytes all count.
size_t differing_positions(const std::string& a, const std::string& b) {
  const size_t common = std::min(a.size(), b.size());
  size_t count = std::max(a.size(), b.size()) - common;
  for (size_t i = 0; i < common; ++i) count += a[i] != b[i];
  return count;
}

// Rule a: the right sphere of a left/right pair joins the left one.
bool joins_sphere_pair(const InputFile& file, PanoInput* previous) {
  if (!previous || file.side.side != kCubeRight) return false;
  if (!half_width_fits(file.width, file.height)) return false;
  if (previous->group_name != file.side.base) return false;
  if (previous->width != file.width || previous->height != file.height) return false;
  if (detect_cube_side(previous->path).side != kCubeLeft) return false;
  previous->type = kPanoSpherePair;
  previous->left_path = previous->path;
  previous->right_path = file.path;
  return true;
}

// Rule b: the right strip of a left/right pair joins the left one.
bool joins_strip_pair(const InputFile& file, PanoInput* previous) {
  if (!previous || detect_eye(file.path) != 2) return false;
  if (static_cast<int64_t>(file.width) != 6 * static_cast<int64_t>(file.height)) return false;
  if (previous->type != kPanoStrip || previous->width != file.height) return false;
  if (detect_eye(previous->path) != 1) return false;
  if (differing_positions(file_name_part(previous->path), file.name) >= 3) return false;
  previous->type = kPanoStripPair;
  previous->left_path = previous->path;
  previous->right_path = file.path;
  return true;
}

// Rule c: a square face joins the cube of the record before it or starts a new one.
bool takes_cube_face(const InputFile& file, std::vector<PanoInput>* records) {
  if (file.side.side < 0 || file.width != file.height) return false;
  PanoInput* previous = records->empty() ? nullptr : &records->back();
  if (previous && previous->type == kPanoCube && previous->group_name == file.side.base &&
      previous->width == file.width) {
    previous->faces[file.side.side] = file.path;
    return true;
  }
  PanoInput record = full_record(file, kPanoCube, file.width, file.height);
  record.faces[file.side.side] = file.path;
  records->push_back(record);
  return true;
}

int32_t strip_order_of(const InputFile& file) {
  return file.extension == "ppan" ? 1 : detect_strip_order(file.path);
}

// Rule d: the type follows from the proportions; false when none fits.
bool classify_by_proportions(const InputFile& file, std::vector<PanoInput>* records) {
  const int64_t w = file.width;
  const int64_t h = file.height;
  PanoInput record;
  if (half_width_fits(file.width, file.height)) {
    record = full_record(file, kPanoSphere, file.width, file.height);
  } else if (std::abs(file.width / 4 - file.height) <= 1) {
    record = full_record(file, kPanoSideBySide, file.width / 2, file.height);
  } else if (std::abs(file.width / 2 - file.height / 2) <= 1) {
    record = full_record(file, kPanoOverUnder, file.width, file.height / 2);
  } else if (w == 6 * h || 6 * w == h || w == 12 * h || 12 * w == h) {
    const int32_t type = w == 6 * h    ? kPanoStrip
                         : 6 * w == h  ? kPanoVerticalStrip
                         : w == 12 * h ? kPanoStereoStrip
                                       : kPanoVerticalStereoStrip;
    const int32_t face = std::min(file.width, file.height);
    record = full_record(file, type, face, face);
    record.strip_order = strip_order_of(file);
  } else {
    return false;
  }
  records->push_back(record);
  return true;
}

// Rule e for a forced type.
PanoInput forced_record(const InputFile& file, int32_t type, const PanoSettings& settings) {
  switch (type) {
    case kPanoSphere:
      if (settings.hfov == 360 && half_width_fits(file.width, file.height)) {
        return new_record(file, kPanoSphere, 360, 180, 0);
      }
      return new_record(file, kPanoPartialSphere, settings.hfov, settings.vfov, settings.voffset);
    case kPanoFlat:
      return new_record(file, kPanoFlat, 1, 0, 0);
    default:
      return new_record(file, type, settings.hfov, settings.vfov, settings.voffset);
  }
}

// The user's answer to the type question: a type, or kPanoDropped to skip the image.
struct TypeAnswer {
  int32_t type = kPanoDropped;
  double hfov = 0;
};

// Asks for a field of view until one in (0, 360] is given; false at the end of the input.
bool ask_hfov(ConsoleOps* ops, const KeyInput& keys, double* hfov) {
  for (;;) {
    ops->log(ops, kFovQuestion);
    std::string line;
    if (!read_answer_line(keys, &line)) return false;
    float value = 0;
    if (sscanf(line.c_str(), "%f", &value) == 1 && value > 0 && value <= 360) {
      *hfov = value;
      return true;
    }
  }
}

TypeAnswer ask_type(const InputFile& file, ConsoleOps* ops, const KeyInput& keys) {
  ops->log(ops, kNotFullPanorama, file.name.c_str(), file.width, file.height);
  TypeAnswer answer;
  for (;;) {
    ops->log(ops, kTypeQuestion);
    const int key = read_answer_char(keys);
    // The end of the input answers "skip", so a run without a terminal cannot ask forever.
    const char c = key < 0 ? '0' : static_cast<char>(key >= 'A' && key <= 'Z' ? key + 32 : key);
    if (c == '0' || c == 'n') break;
    if (c == '1' || c == 'f') {
      answer.type = kPanoFlat;
      answer.hfov = 1;
      break;
    }
    if (c == '2' || c == 's' || c == '3' || c == 'c') {
      const int32_t type = (c == '2' || c == 's') ? kPanoPartialSphere : kPanoCylinder;
      if (ask_hfov(ops, keys, &answer.hfov)) answer.type = type;
      break;
    }
  }
  ops->log(ops, "\n");
  return answer;
}

// Rule e: forced type, metadata type, the first frame's type, or the user's answer.
void classify_otherwise(const InputFile& file, const PanoSettings& settings, int32_t forced,
                        ConsoleOps* ops, const KeyInput& keys, std::vector<PanoInput>* records) {
  const DescriptionProjection& projection = file.projection;
  if (forced == kPanoDropped && projection.type != kPanoDropped) {
    records->push_back(
        new_record(file, projection.type, projection.hfov, projection.vfov, projection.voffset));
  } else if (forced != kPanoDropped) {
    records->push_back(forced_record(file, forced, settings));
  } else if (settings.frames && !records->empty()) {
    const PanoInput& first = records->front();
    records->push_back(new_record(file, first.type, first.hfov, settings.vfov, settings.voffset));
  } else {
    const TypeAnswer answer = ask_type(file, ops, keys);
    if (answer.type == kPanoDropped) return;
    const bool flat = answer.type == kPanoFlat;
    records->push_back(new_record(file, answer.type, answer.hfov, flat ? 0 : settings.vfov,
                                  flat ? 0 : settings.voffset));
  }
}

void classify(const InputFile& file, const PanoSettings& settings, int32_t forced, ConsoleOps* ops,
              const KeyInput& keys, std::vector<PanoInput>* records) {
  PanoInput* previous = records->empty() ? nullptr : &records->back();
  if (joins_sphere_pair(file, previous)) return;
  if (joins_strip_pair(file, previous)) return;
  if (takes_cube_face(file, records)) return;
  const bool automatic = forced == kPanoDropped;
  if (automatic && file.projection.type == kPanoDropped && classify_by_proportions(file, records)) {
    return;
  }
  classify_otherwise(file, settings, forced, ops, keys, records);
}

// Reads what classification needs; false when the path is skipped (after its message).
bool read_input_file(const std::string& path, const PanoSettings& settings, bool automatic,
                     ConsoleOps* ops, InputFile* file) {
  file->path = path;
  file->name = file_name_part(path);
  if (is_directory(path)) return false;
  file->extension = lowered_extension(path);
  if (!is_input_extension(file->extension)) {
    ops->log(ops, kUnknownFileType, file->name.c_str());
    return false;
  }
  image_clear_last_error();
  const std::unique_ptr<ImageInfo> info = image_probe(path);
  // A refusal left by the header reader (a layered document) makes the image unreadable.
  const bool refused = !image_last_error().empty();
  if (info && !refused) {
    file->width = info->width;
    file->height = info->height;
  }
  if (settings.intilesize.width > 0) {
    file->width = settings.insize.width;
    file->height = settings.insize.height;
  }
  if (file->width < 1 || file->height < 1) {
    ops->log(ops, kUnsupportedImage, file->name.c_str());
    if (!image_last_error().empty()) ops->log(ops, kUnsupportedDetail, image_last_error().c_str());
    image_clear_last_error();
    return false;
  }
  PanoInput metadata;
  take_metadata(info.get(), settings, &metadata);
  file->gps = metadata.gps;
  file->pose = metadata.pose;
  if (automatic) {
    file->side = detect_cube_side(path);
    if (info) file->projection = description_projection(info->comment);
  }
  return true;
}

bool cube_is_complete(const PanoInput& record) {
  for (const std::string& face : record.faces) {
    if (face.empty()) return false;
  }
  return true;
}

void report_incomplete_cube(const PanoInput& record, ConsoleOps* ops) {
  ops->log(ops, kCubeIncomplete);
  for (int32_t side = 0; side < kCubeSideCount; ++side) {
    const char* side_name = cube_side_info(side).name;
    if (record.faces[side].empty()) {
      ops->log(ops, kCubeSideMissing, side_name);
    } else {
      ops->log(ops, kCubeSideFound, side_name, file_name_part(record.faces[side]).c_str());
    }
  }
}

// Drops incomplete cube sets (silently when a type is forced) and keeps the rest in order.
std::vector<PanoInput> kept_records(const std::vector<PanoInput>& records, bool forced,
                                    ConsoleOps* ops) {
  std::vector<PanoInput> kept;
  for (const PanoInput& record : records) {
    if (record.type == kPanoCube && (forced || !cube_is_complete(record))) {
      if (!forced) report_incomplete_cube(record, ops);
      continue;
    }
    kept.push_back(record);
  }
  return kept;
}

bool frames_share_size(const std::vector<PanoInput>& records) {
  for (size_t i = 1; i < records.size(); ++i) {
    if (records[i].width != records[i - 1].width || records[i].height != records[i - 1].height) {
      return false;
    }
  }
  return true;
}

}  // namespace

DescriptionProjection description_projection(const std::string& description) {
  DescriptionProjection projection;
  if (!starts_with(description, 0, kStitcherSignature)) return projection;
  const size_t fov = description.find("FOV:");
  const size_t kind = description.find("Projection:");
  if (fov == std::string::npos || kind == std::string::npos) return projection;
  float hfov = 0;
  float vfov = 0;
  float voffset = 0;
  sscanf(description.c_str() + fov + 4, "%f %*c %f %*c %f", &hfov, &vfov, &voffset);
  if (!(hfov > 0 && vfov > 0)) return projection;
  size_t at = kind + 11;
  while (at < description.size() && is_blank_byte(description[at])) ++at;
  projection.hfov = hfov;
  projection.vfov = vfov;
  projection.voffset = voffset == 0 ? 0.0 : -static_cast<double>(voffset);
  if (starts_with(description, at, "Spherical")) {
    const bool full = hfov >= 359.99f && vfov >= 179.99f && projection.voffset == 0;
    projection.type = full ? kPanoSphere : kPanoPartialSphere;
  } else if (starts_with(description, at, "Cylindrical")) {
    projection.type = kPanoCylinder;
  }
  return projection;
}

int32_t detect_eye(const std::string& path) {
  std::string name = lowered_ascii(file_name_part(path));
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  const size_t left = last_marker_before_non_letter(name, "_l");
  const size_t right = last_marker_before_non_letter(name, "_r");
  if (right != std::string::npos && (left == std::string::npos || right > left)) return 2;
  if (left != std::string::npos) return 1;
  if (name.empty()) return 0;
  if (name.back() == 'l') return 1;
  if (name.back() == 'r') return 2;
  return 0;
}

bool input_name_before(const std::string& a, const std::string& b) {
  const std::string name_a = lowered_ascii(file_name_part(a));
  const std::string name_b = lowered_ascii(file_name_part(b));
  const NameParts parts_a = split_name(name_a);
  const NameParts parts_b = split_name(name_b);
  if (parts_a.middle == parts_b.middle && parts_a.extension == parts_b.extension) {
    const int leading = compare_numbers(parts_a.leading, parts_b.leading);
    if (leading != 0) return leading < 0;
    const int trailing = compare_numbers(parts_a.trailing, parts_b.trailing);
    if (trailing != 0) return trailing < 0;
  }
  return name_a < name_b;
}

void sort_input_paths(std::vector<std::string>* paths) {
  // An insertion sort: stable, and every step stays inside the list even for names the rule
  // does not order consistently (a number-ordered pair next to a byte-ordered one).
  std::vector<std::string>& list = *paths;
  for (size_t i = 1; i < list.size(); ++i) {
    std::string item = std::move(list[i]);
    size_t j = i;
    while (j > 0 && input_name_before(item, list[j - 1])) {
      list[j] = std::move(list[j - 1]);
      --j;
    }
    list[j] = std::move(item);
  }
}

bool analyse_inputs(const std::vector<std::string>& paths, const PanoSettings& settings,
                    ConsoleOps* ops, const KeyInput& keys, std::vector<PanoInput>* inputs) {
  inputs->clear();
  std::vector<std::string> order = paths;
  if (settings.sortinput) sort_input_paths(&order);
  const int32_t forced = forced_type(settings);
  std::vector<PanoInput> records;
  for (const std::string& path : order) {
    InputFile file;
    if (!read_input_file(path, settings, forced == kPanoDropped, ops, &file)) continue;
    classify(file, settings, forced, ops, keys, &records);
  }
  std::vector<PanoInput> kept = kept_records(records, forced != kPanoDropped, ops);
  if (settings.frames && !frames_share_size(kept)) {
    ops->log(ops, kFrameSizes);
    return false;
  }
  *inputs = std::move(kept);
  return true;
}
