#include "makepano/pano_names.h"

#include <cstdio>
#include <cstring>

#include "base/args.h"
#include "base/paths.h"
#include "base/text.h"
#include "makepano/input_analysis.h"
#include "makepano/pano_settings.h"
#include "makepano/text_scan.h"
#include "render/cube_layout.h"
#include "render/tiling.h"

namespace {

bool is_name_safe(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return c == 127 || (c != 0 && strchr("!#()+-@^_{|}~", c) != nullptr);
}

// The file name with its left-side suffix removed.
std::string without_left_suffix(const std::string& name) {
  const std::string lowered = lowered_ascii(name);
  size_t best = std::string::npos;
  size_t length = 0;
  for (const char* marker : {"_l", "_left", ".left"}) {
    const size_t at = last_marker_before_non_letter(lowered, marker);
    if (at != std::string::npos && (best == std::string::npos || at > best)) {
      best = at;
      length = strlen(marker);
    }
  }
  if (best == std::string::npos) {
    best = lowered.rfind("left");
    length = 4;
  }
  if (best == std::string::npos && detect_skybox_side(name).side == kCubeLeft) {
    // A left face named the skybox or cube-map way: "sky_rt", "sky_negx", "negx".
    for (const char* marker : {"_rt", "_negx", "negx"}) {
      best = last_marker_before_non_letter(lowered, marker);
      length = strlen(marker);
      if (best != std::string::npos) break;
    }
  }
  if (best == std::string::npos) return name;
  return name.substr(0, best) + name.substr(best + length);
}

// An input path split for naming: the folder with its separator, the file name without its
// extension (and without the side suffix for a cube), the extension with its dot.
struct NamingParts {
  std::string folder;
  std::string stem;
  std::string extension;
};

NamingParts naming_parts(const PanoInput& input) {
  const bool cube = input.type == kPanoCube && !input.faces[0].empty();
  const std::string& path = cube ? input.faces[0] : input.path;
  const size_t cut = path.find_last_of("/\\");
  const size_t name_start = cut == std::string::npos ? 0 : cut + 1;
  NamingParts parts;
  parts.folder = path.substr(0, name_start);
  parts.stem = path.substr(name_start);
  std::string extension;
  if (file_extension(parts.stem, &extension)) {
    parts.stem.resize(parts.stem.size() - extension.size() - 1);
    parts.extension = "." + extension;
  }
  if (cube) parts.stem = without_left_suffix(parts.stem);
  return parts;
}

}  // namespace

std::string naming_path(const PanoInput& input) {
  const NamingParts parts = naming_parts(input);
  return parts.folder + parts.stem + parts.extension;
}

std::string filter_base_name(const std::string& name) {
  std::string filtered = name;
  for (char& c : filtered) {
    if (!is_name_safe(static_cast<unsigned char>(c))) c = '_';
  }
  return filtered;
}

PanoNames make_pano_names(const PanoSettings& settings, const PanoInput& input,
                          int32_t input_number) {
  const NamingParts parts = naming_parts(input);
  std::string name = parts.stem;
  if (settings.intilesize.width > 0) name = expand_tile_name(name, 0, 0, true);
  if (name.empty()) {
    char numbered[32];
    snprintf(numbered, sizeof numbered, "pano%04d", input_number);
    name = numbered;
  }
  PanoNames names;
  names.display_name = name;
  names.base_name = settings.filterbasename ? filter_base_name(name) : name;
  names.input_folder = parts.folder.empty() ? "." : parts.folder.substr(0, parts.folder.size() - 1);
  names.full_base_path = parts.folder + parts.stem;
  // With an output folder the whole tour, temporary faces included, goes there instead.
  if (!settings.outputfolder.empty()) {
    std::string folder = settings.outputfolder;
    while (folder.size() > 1 && (folder.back() == '/' || folder.back() == '\\')) folder.pop_back();
    names.input_folder = folder;
    names.full_base_path = folder + "/" + parts.stem;
  }
  return names;
}
