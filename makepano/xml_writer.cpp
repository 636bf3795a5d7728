#include "makepano/xml_writer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <regex>

#include "base/console.h"
#include "base/files.h"
#include "base/paths.h"
#include "makepano/extra_images.h"
#include "makepano/input_analysis.h"
#include "makepano/key_input.h"
#include "makepano/level_plan.h"
#include "makepano/pano_names.h"
#include "makepano/pano_settings.h"
#include "makepano/tile_output.h"
#include "render/cube_layout.h"
#include "render/panorama_geometry.h"

namespace {

constexpr char kOverwriteQuestion[] = "\nWARNING: overwrite xml file \"%s\"? (y/n): ";
constexpr char kCreateFailed[] = "ERROR: can't create file \"%s\"!\n";
constexpr char kCopyFailed[] = "ERROR: unable to copy file \"%s\" to \"%s\"!\n";
constexpr char kClearLine[] = "\r%78s\r";
constexpr char kBuiltInScene[] =
    "\n\t<scene name=\"scene_[BASENAME]\" title=\"[NAME]\" onstart=\"\"[THUMB][DEVICE]>\n\n"
    "\t\t[VIEW]\n\n\t\t[PREVIEW]\n\n\t\t[IMAGE]\n\n\t\t[HOTSPOTS]\n\n\t</scene>\n\n";
// Most end-of-line characters read in a row before the question is asked again.
constexpr int32_t kLineEndsPerQuestion = 5;

constexpr double kDegreesPerRadian = 180.0 / M_PI;

std::string format_number(const char* format, double value) {
  char text[64];
  snprintf(text, sizeof text, format, value);
  return text;
}

// A pair of spheres that was not converted to cube faces (converttocube off) is tiled from its
// first eye's file, so the image is that sphere.
bool is_sphere_image(int32_t type) {
  return type == kPanoSphere || type == kPanoPartialSphere || type == kPanoSpherePair;
}

const char* type_word(int32_t type) {
  if (is_sphere_image(type)) return "SPHERE";
  switch (type) {
    case kPanoCube:
      return "CUBE";
    case kPanoFlat:
    case kPanoCylinder:
      return "CYLINDER";
    default:
      return "UNKNOWN";
  }
}

bool is_stereo_cube(const SceneRequest& request) {
  return request.input->type == kPanoCube && request.input->two_eyes &&
         request.settings->stereosupport;
}

std::string prealign_attribute(const SceneRequest& request) {
  const PanoInput& input = *request.input;
  const PanoSettings& settings = *request.settings;
  if (input.type == kPanoFlat) return std::string();
  if (input.pose.present && !input.levelled) {
    EulerMatrix matrix;
    euler_to_matrix("YXZ", -input.pose.pitch, 0, -input.pose.roll, &matrix);
    double a = 0, b = 0, c = 0;
    matrix_to_euler("YZX", matrix, &a, &b, &c);
    char text[128];
    snprintf(text, sizeof text, " prealign=\"%.2f|%.2f|%.2f\"", a, input.pose.heading + b, c);
    return text;
  }
  double heading = 0;
  if (input.pose.present && settings.prealignheading) {
    heading = input.pose.heading;
  } else if (!input.pose.present && input.gps.present && settings.prealignheading) {
    heading = input.gps.heading;
  } else {
    return std::string();
  }
  return " prealign=\"0|" + format_number("%.1f", heading) + "|0\"";
}

std::string field_of_view_attributes(const PanoInput& input) {
  if (input.type == kPanoSphere || input.type == kPanoCube || input.hfov >= 360) {
    return std::string();
  }
  std::string text = " hfov=\"" + format_number("%.2f", input.hfov) + "\"";
  double vfov = input.vfov;
  if (input.type == kPanoFlat || input.type == kPanoPartialSphere) {
    vfov = std::min(180.0, input.height * input.hfov / input.width);
  } else if (input.type == kPanoCylinder) {
    const double radius = input.width * 360.0 / input.hfov / (2 * M_PI);
    vfov = std::min(179.0, 2 * std::atan((input.height / 2.0) / radius) * kDegreesPerRadian);
  }
  if (vfov > 0) text += " vfov=\"" + format_number("%.6f", vfov) + "\"";
  if (vfov > 0 || input.voffset != 0) {
    text += " voffset=\"" + format_number("%.2f", input.voffset) + "\"";
  }
  return text;
}

std::string level_elements(const SceneRequest& request, int32_t level_index,
                           const std::string& indent) {
  const PanoInput& input = *request.input;
  if (is_sphere_image(input.type)) {
    return indent + "<sphere url=\"" + level_tile_url(request, level_index, -1) + "\" />\n";
  }
  if (input.type != kPanoCube) {
    return indent + "<cylinder url=\"" + level_tile_url(request, level_index, -1) + "\" />\n";
  }
  if (request.settings->cubeshortsyntax) {
    return indent + "<cube url=\"" + level_tile_url(request, level_index, -1) + "\" />\n";
  }
  std::string text;
  for (int32_t side = 0; side < kCubeSideCount; ++side) {
    text += indent + "<" + kPaddedSideNames[side] + " url=\"" +
            level_tile_url(request, level_index, side) + "\" />\n";
  }
  return text;
}

bool is_full_view(const PanoInput& input) {
  return input.hfov >= 360 && input.vfov >= 179.5;
}

std::string view_limits(const PanoInput& input) {
  if (is_full_view(input) || input.type != kPanoCube) return "limitview=\"auto\" ";
  char text[160];
  snprintf(text, sizeof text, "limitview=\"range\" vlookatmin=\"%.3f\" vlookatmax=\"%.3f\" ",
           -input.vfov / 2, input.vfov / 2);
  return text;
}

std::string look_heading(const PanoSettings& settings, const PanoInput& input) {
  float heading = static_cast<float>(settings.embedorderlookat.first);
  if (input.pose.present) {
    heading = static_cast<float>(input.pose.heading);
  } else if (input.gps.present) {
    heading = static_cast<float>(input.gps.heading);
  }
  return format_number("%.1f", heading);
}

bool is_flash_only(const PanoInput& input) {
  return input.type != kPanoCube && input.type != kPanoFlat;
}

// A template file's path resolved against the config's folder, with slashes.
std::string resolved_path(const PanoSettings& settings, const std::string& path) {
  std::string resolved = resolve_setting_path(settings.config_path, path);
  std::replace(resolved.begin(), resolved.end(), '\\', '/');
  return resolved;
}

void copy_additional_files(const PanoSettings& settings, ConsoleOps* ops,
                           const std::string& xml_path) {
  if (settings.xmltemplate_additional_file.empty()) return;
  const std::string template_folder =
      absolute_path(resolved_path(settings, settings.xmltemplate), true);
  const size_t slash = xml_path.find_last_of("/\\");
  const std::string xml_folder = slash == std::string::npos ? "" : xml_path.substr(0, slash + 1);
  for (const std::string& entry : settings.xmltemplate_additional_file) {
    const std::string source = resolved_path(settings, entry);
    std::string relative;
    if (!relative_path(template_folder, source, &relative)) relative = file_name_part(source);
    const std::string destination = xml_folder + relative;
    create_directories_for(destination);
    if (!copy_file(source, destination)) {
      ops->log(ops, kCopyFailed, source.c_str(), destination.c_str());
    }
  }
}

}  // namespace

std::string escape_template_text(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '"':
        out += "&quot;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '\'':
        out += "&apos;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '[':
        out += "%5B";
        break;
      case ']':
        out += "%5D";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string level_tile_url(const SceneRequest& request, int32_t level_index, int32_t side) {
  const PanoSettings& settings = *request.settings;
  const PanoInput& input = *request.input;
  const int32_t count = static_cast<int32_t>(request.plan->levels.size());
  TileTemplateValues values;
  if (is_stereo_cube(request)) values.t_text = "%t";
  if (input.type == kPanoCube) values.cube_char = side < 0 ? kSidePlaceholder : kSideLetters[side];
  values.level = count - level_index;
  values.level_count = count;
  values.tile_count = full_tile_count(*request.plan);
  values.base_name = request.names->base_name;
  values.frame = 1;
  values.frame_count = request.frame_count;
  values.keep_frame = true;
  PanoSettings local = settings;
  local.multires = request.multires;
  const std::string path = expand_tile_template(local, request.tilepath, values);
  return url_for(request.xml_path, path, settings.tilepathxml);
}

std::string image_element(const SceneRequest& request) {
  const PanoSettings& settings = *request.settings;
  const PanoInput& input = *request.input;
  const LevelPlan& plan = *request.plan;
  const ExtraImages& images = *request.images;
  const bool multires = request.multires;
  const bool frames = request.frame_count > 1 && settings.frames;
  std::string text = multires ? std::string("<image type=\"") + type_word(input.type) + "\""
                              : std::string("<image");
  if (is_stereo_cube(request)) {
    text += " stereo=\"true\" stereolabels=\"" + settings.stereolabels.left + "|" +
            settings.stereolabels.right + "\"";
  }
  text += prealign_attribute(request);
  text += field_of_view_attributes(input);
  const std::string parameters =
      settings.xmlimageparameters.empty() ? "" : " " + settings.xmlimageparameters;
  if (multires) {
    text += " multires=\"true\" tilesize=\"" + std::to_string(plan.tile_size) + "\"";
    if (settings.indexbase != 1)
      text += " baseindex=\"" + std::to_string(settings.indexbase) + "\"";
    text += parameters + "[IMAGEEPARAMETERS]";
    if (frames) {
      text += " frames=\"" + std::to_string(request.frame_count) + "\" frame=\"1\"";
    }
  } else {
    text += parameters + "[IMAGEEPARAMETERS]";
  }
  text += ">\n";
  const int32_t count = static_cast<int32_t>(plan.levels.size());
  const int64_t sides = input.type == kPanoCube ? kCubeSideCount : 1;
  const std::string indent = multires ? "[TABS]\t\t" : "[TABS]\t";
  for (int32_t i = 0; i < count; ++i) {
    const LevelSize& level = plan.levels[i];
    if (multires) {
      text += "[TABS]\t<level tiledimagewidth=\"" + std::to_string(level.width) +
              "\" tiledimageheight=\"" + std::to_string(level.height) + "\"";
      if (frames && i == count - 1) text += " aspreview=\"true\"";
      const int64_t tiles =
          int64_t{level.height / plan.tile_size} * (level.width / plan.tile_size) * sides;
      if (tiles > 25000) text += " devices=\"html5\"";
      text += ">\n";
    }
    text += level_elements(request, i, indent);
    if (multires) text += "[TABS]\t</level>\n";
  }
  text += images.custom_inside;
  if (settings.buildmobileimages) text += images.mobile_block;
  if (settings.buildtabletimages) text += images.tablet_block;
  text += "[TABS]</image>";
  text += images.custom_outside;
  return text;
}

std::string fill_scene(const std::string& source, const SceneRequest& request,
                       const XmlTemplates& templates) {
  const PanoSettings& settings = *request.settings;
  const PanoInput& input = *request.input;
  const ExtraImages& images = *request.images;
  const bool gps = input.gps.present;
  std::string text = source;
  replace_every(&text, "[NAME]", escape_template_text(request.names->display_name));
  replace_every(&text, "[BASENAME]", escape_template_text(request.names->base_name));
  replace_every(&text, "[PREVIEW]", images.preview_element);
  replace_every(&text, "[VIEW]", templates.view);
  replace_every(&text, "[HOTSPOTS]", templates.hotspot);
  replace_every(&text, "[HAVEGPS]", gps ? "true" : "false");
  replace_every(&text, "[GPS]", " lat=\"[LAT]\" lng=\"[LNG]\" heading=\"[HEADING]\"");
  replace_every(&text, "[LAT]", gps ? format_number("%.8f", input.gps.latitude) : "");
  replace_every(&text, "[LNG]", gps ? format_number("%.8f", input.gps.longitude) : "");
  replace_every(&text, "[HEADING]", gps ? format_number("%.1f", input.gps.heading) : "");
  replace_every(&text, "[ISCUBE]", input.type == kPanoCube ? "true" : "false");
  replace_every(&text, "[ISFLAT]", input.type == kPanoFlat ? "true" : "false");
  replace_every(&text, "[SCENEPARAMETERS]", images.scene_parameters);
  replace_every(&text, "[THUMB]",
                images.thumb_file.empty() ? "" : " thumburl=\"" + images.thumb_url + "\"");
  replace_every(&text, "[DEVICE]", is_flash_only(input) ? " devices=\"flash\"" : "");
  replace_every(&text, "[IMAGE]", image_element(request));
  replace_every(&text, "[IMAGEEPARAMETERS]", images.image_parameters);
  replace_every(&text, "[TABS]", settings.makescenes ? "\t\t" : "\t");
  replace_every(&text, "[HLOOKAT]", look_heading(settings, input));
  replace_every(&text, "[VLOOKAT]",
                format_number("%.1f", static_cast<float>(settings.embedorderlookat.second)));
  replace_every(&text, "[PARTIALPANO]", is_full_view(input) ? "" : " ispartialpano=\"true\"");
  replace_every(&text, "[VIEWLIMITS]", view_limits(input));
  return text;
}

std::string apply_template_variables(const std::string& source,
                                     const std::vector<std::string>& entries) {
  std::string text = source;
  for (const std::string& entry : entries) {
    const size_t colon = entry.find(':');
    if (colon == std::string::npos || colon < 2) continue;
    replace_every(&text, "[" + entry.substr(0, colon) + "]", entry.substr(colon + 1));
  }
  return text;
}

bool ask_overwrite(ConsoleOps* ops, const KeyInput& keys, const std::string& path) {
  ops->log(ops, kClearLine, "");
  for (;;) {
    ops->log(ops, kOverwriteQuestion, path.c_str());
    int32_t line_ends = 0;
    int c = keys.read_char ? keys.read_char(keys.user) : -1;
    while ((c == '\n' || c == '\r') && ++line_ends <= kLineEndsPerQuestion) {
      c = keys.read_char(keys.user);
    }
    if (c < 0 || c == 'n' || c == 'N') {
      ops->log(ops, "\n");
      return false;
    }
    if (c == 'y' || c == 'Y' || c == 'j' || c == 'J' || c == 'z' || c == 'Z') {
      ops->log(ops, "\n");
      return true;
    }
  }
}

bool write_xml_file(const PanoSettings& settings, ConsoleOps* ops, const std::string& path,
                    const std::string& text) {
  create_directories_for(path);
  if (!write_whole_file(path, text)) {
    ops->log(ops, kCreateFailed, path.c_str());
    return false;
  }
  copy_additional_files(settings, ops, path);
  return true;
}

std::string scene_text(const SceneRequest& request, const XmlTemplates& templates) {
  const PanoSettings& settings = *request.settings;
  if (!settings.makescenes) {
    return apply_template_variables(fill_scene(templates.main, request, templates),
                                    settings.xmltemplate_var);
  }
  const std::string& scene = templates.scene.empty() ? std::string(kBuiltInScene) : templates.scene;
  return fill_scene(scene, request, templates);
}

bool scene_is_flash_only(const PanoInput& input) {
  return is_flash_only(input);
}

std::string scenes_file_text(const PanoSettings& settings, const XmlTemplates& templates,
                             const XmlRunState& state) {
  std::string text = templates.main;
  replace_every(&text, "[HAVEGPS]", state.any_gps ? "true" : "false");
  replace_every(&text, "[SCENES]", state.scenes);
  return apply_template_variables(text, settings.xmltemplate_var);
}

bool write_scene(const SceneRequest& request, const XmlTemplates& templates, bool last_input,
                 ConsoleOps* ops, XmlRunState* state) {
  const PanoSettings& settings = *request.settings;
  if (request.input->gps.present) state->any_gps = true;
  ++state->scene_count;
  if (is_flash_only(*request.input)) ++state->flash_only_count;
  const std::string text = scene_text(request, templates);
  if (!settings.makescenes) return write_xml_file(settings, ops, request.xml_path, text);
  state->scenes += text;
  if (!last_input) return false;
  return write_xml_file(settings, ops, request.xml_path,
                        scenes_file_text(settings, templates, *state));
}

namespace {

int32_t xml_attribute(const std::string& text, const char* name, int32_t fallback) {
  std::smatch match;
  if (!std::regex_search(text, match, std::regex(std::string(" ") + name + "=\"([0-9]+)\""))) {
    return fallback;
  }
  return static_cast<int32_t>(std::min<long long>(std::stoll(match[1]), 1 << 20));
}

// The url with its first occurrence of key replaced.
std::string with_first(std::string url, const std::string& key, const std::string& value) {
  const size_t at = url.find(key);
  if (at != std::string::npos) url.replace(at, key.size(), value);
  return url;
}

// The url with its tile and frame placeholders ("%v", "%0h", "%00f", …) set.
std::string with_tile_numbers(const std::string& url, int32_t column, int32_t row, int32_t frame) {
  static const std::regex placeholder("%(0*)([hvucrxyf])");
  std::string out;
  std::string rest = url;
  std::smatch match;
  while (std::regex_search(rest, match, placeholder)) {
    out += match.prefix();
    const char letter = match[2].str()[0];
    const int32_t value = letter == 'f' ? frame : std::string("vry").find(letter) != std::string::npos ? row : column;
    std::string digits = std::to_string(value);
    const size_t width = match[1].length() + 1;
    if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
    out += digits;
    rest = match.suffix();
  }
  return out + rest;
}

}  // namespace

std::vector<std::string> listed_tile_files(const std::string& xml_path) {
  std::vector<std::string> files;
  std::string xml;
  if (!read_whole_file(xml_path, &xml)) return files;
  const std::string folder = absolute_path(xml_path, true);
  static const std::regex image_pattern("<image[ >][^]*?</image>");
  static const std::regex level_pattern(
      "<level tiledimagewidth=\"([0-9]+)\" tiledimageheight=\"([0-9]+)\"[^>]*>([^]*?)</level>");
  static const std::regex url_pattern("url=\"([^\"]*)\"");
  static const std::regex labels_pattern("stereolabels=\"([^|\"]*)\\|([^\"]*)\"");
  const std::sregex_iterator end;
  for (std::sregex_iterator image(xml.begin(), xml.end(), image_pattern); image != end; ++image) {
    const std::string element = image->str();
    const std::string start = element.substr(0, element.find('>'));
    const int32_t tile = xml_attribute(start, "tilesize", 0);
    const int32_t base = xml_attribute(start, "baseindex", 1);
    const int32_t frames = std::max(1, xml_attribute(start, "frames", 1));
    if (tile <= 0) continue;
    std::vector<std::string> eyes = {""};
    std::smatch labels;
    if (std::regex_search(start, labels, labels_pattern)) eyes = {labels[1], labels[2]};
    for (std::sregex_iterator level(element.begin(), element.end(), level_pattern);
         level != end; ++level) {
      const int32_t width = std::min(std::stoi((*level)[1]), 1 << 24);
      const int32_t height = std::min(std::stoi((*level)[2]), 1 << 24);
      const std::string body = (*level)[3];
      for (std::sregex_iterator u(body.begin(), body.end(), url_pattern); u != end; ++u) {
        const std::string url = (*u)[1];
        // Only files beside the XML or below a folder relative to it are the tour's own.
        if (url.empty() || url[0] == '/' || url.find(':') != std::string::npos) continue;
        const std::vector<std::string> sides =
            url.find("%s") != std::string::npos
                ? std::vector<std::string>{"l", "f", "r", "b", "u", "d"}
                : std::vector<std::string>{""};
        for (const std::string& eye : eyes) {
          for (const std::string& side : sides) {
            const std::string face = with_first(with_first(url, "%t", eye), "%s", side);
            for (int32_t frame = 1; frame <= frames; ++frame) {
              for (int64_t row = 0; row * tile < height; ++row) {
                for (int64_t column = 0; column * tile < width; ++column) {
                  files.push_back(normalize_path(
                      folder + with_tile_numbers(face, static_cast<int32_t>(column) + base,
                                                 static_cast<int32_t>(row) + base, frame)));
                }
              }
            }
          }
        }
      }
    }
  }
  std::sort(files.begin(), files.end());
  files.erase(std::unique(files.begin(), files.end()), files.end());
  return files;
}
