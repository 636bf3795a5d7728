// The key table of the tour builder's settings and the one function that stores a value through
// it. Defaults are written as the text a config file would hold and stored through the same
// parsers, so a key's default, parse rule and range live in one row.
#include "makepano/pano_settings.h"

#include <climits>

#include "base/args.h"
#include "base/text.h"
#include "makepano/text_scan.h"

namespace {

// The 32-bit range of int keys; the lowest accepted value is one above INT_MIN.
constexpr int32_t kIntMin = -INT_MAX;
constexpr int32_t kIntMax = INT_MAX;

constexpr SettingKey bool_key(const char* key, bool PanoSettings::*field, const char* default_text,
                              double fallback) {
  SettingTarget target;
  target.flag = field;
  return {key, SettingKind::Bool, target, default_text, fallback, 0, 0};
}

constexpr SettingKey int_key(const char* key, int32_t PanoSettings::*field,
                             const char* default_text, double fallback, int32_t minimum = kIntMin,
                             int32_t maximum = kIntMax) {
  SettingTarget target;
  target.number = field;
  return {key, SettingKind::Int, target, default_text, fallback, minimum, maximum};
}

constexpr SettingKey float_key(const char* key, double PanoSettings::*field,
                               const char* default_text, double fallback) {
  SettingTarget target;
  target.real = field;
  return {key, SettingKind::Float, target, default_text, fallback, 0, 0};
}

constexpr SettingKey size_key(const char* key, SizeSetting PanoSettings::*field,
                              const char* default_text) {
  SettingTarget target;
  target.size = field;
  return {key, SettingKind::Size, target, default_text, 0, 0, 0};
}

constexpr SettingKey pair_key(const char* key, PairSetting PanoSettings::*field,
                              const char* default_text) {
  SettingTarget target;
  target.pair = field;
  return {key, SettingKind::Pair, target, default_text, 0, 0, 0};
}

constexpr SettingKey text_key(const char* key, std::string PanoSettings::*field,
                              const char* default_text, SettingKind kind = SettingKind::Text) {
  SettingTarget target;
  target.text = field;
  return {key, kind, target, default_text, 0, 0, 0};
}

constexpr SettingKey list_key(const char* key, std::vector<std::string> PanoSettings::*field) {
  SettingTarget target;
  target.list = field;
  return {key, SettingKind::List, target, "", 0, 0, 0};
}

constexpr SettingKey labels_key(const char* key, StereoLabels PanoSettings::*field,
                                const char* default_text) {
  SettingTarget target;
  target.labels = field;
  return {key, SettingKind::StereoLabels, target, default_text, 0, 0, 0};
}

constexpr SettingKey ignored_key(const char* key) {
  return {key, SettingKind::Ignored, SettingTarget(), "", 0, 0, 0};
}

using S = PanoSettings;

const SettingKey kSettingKeys[] = {
    // Input, panorama type and conversion to cube faces.
    text_key("panotype", &S::panotype, "autodetect"),
    float_key("hfov", &S::hfov, "360", 360),
    float_key("vfov", &S::vfov, "0", 0),
    float_key("voffset", &S::voffset, "0", 0),
    bool_key("frames", &S::frames, "false", 0),
    bool_key("makescenes", &S::makescenes, "false", 0),
    bool_key("stereosupport", &S::stereosupport, "true", 1),
    labels_key("stereolabels", &S::stereolabels, "1|2"),
    size_key("intilesize", &S::intilesize, "0x0"),
    size_key("insize", &S::insize, "0x0"),
    int_key("inindexbase", &S::inindexbase, "1", 1),
    bool_key("sortinput", &S::sortinput, "true", 1),
    bool_key("forceflat", &S::forceflat, "false", 0),
    bool_key("ignorelayers", &S::ignorelayers, "false", 0),
    bool_key("parsegps", &S::parsegps, "true", 1),
    text_key("autolevel", &S::autolevel, "full", SettingKind::Word),
    bool_key("prealignheading", &S::prealignheading, "true", 1),
    bool_key("filterbasename", &S::filterbasename, "true", 1),
    bool_key("cubeshortsyntax", &S::cubeshortsyntax, "true", 1),
    bool_key("converttocube", &S::converttocube, "true", 1),
    size_key("converttocubelimit", &S::converttocubelimit, "360x120"),
    text_key("converttocubeformat", &S::converttocubeformat, "kro"),
    bool_key("waitafterconvert", &S::waitafterconvert, "false", 1),
    text_key("tempcubename", &S::tempcubename, "%INPUTPATH%/%BASENAME%_cube%UID%"),
    text_key("tempcubepath", &S::tempcubename, "%INPUTPATH%/%BASENAME%_cube%UID%"),
    text_key("outputfolder", &S::outputfolder, ""),

    // Levels, tiles and encoding.
    bool_key("multires", &S::multires, "true", 1),
    int_key("tilesize", &S::tilesize, "0", 0),
    int_key("levels", &S::levels, "0", 0),
    float_key("levelstep", &S::levelstep, "2.0", 2.0),
    text_key("levelsizes", &S::levelsizes, ""),
    bool_key("adjustlevelsizes", &S::adjustlevelsizes, "true", 1),
    bool_key("adjustlevelsizesformipmapping", &S::adjustlevelsizesformipmapping, "true", 1),
    int_key("minsize", &S::minsize, "0", 0),
    int_key("maxsize", &S::maxsize, "0", 0),
    int_key("maxcubesize", &S::maxcubesize, "0", 0),
    text_key("tilepath", &S::tilepath, "%INPUTPATH%/%BASENAME%.tiles/l%Al[_c]_%Av_%Ah.jpg"),
    text_key("tilepathxml", &S::tilepathxml, "[PATH]"),
    text_key("tilename", &S::tilename, ""),
    int_key("indexbase", &S::indexbase, "1", 1),
    text_key("filter", &S::filter, "LANCZOS"),
    text_key("profile", &S::profile, "convert"),
    int_key("jpegquality", &S::jpegquality, "0", 85, 0, 100),
    int_key("jpegsubsamp", &S::jpegsubsamp, "0", 0),
    bool_key("jpegoptimize", &S::jpegoptimize, "true", 1),
    bool_key("jpegprogressive", &S::jpegprogressive, "false", 0),
    bool_key("manualjpegcompression", &S::manualjpegcompression, "false", 0),
    text_key("tempdir", &S::tempdir, ""),
    text_key("memlimit", &S::memlimit, ""),

    // Preview, thumbnail and extra images.
    bool_key("preview", &S::preview, "true", 1),
    bool_key("cspreview", &S::cspreview, "true", 1),
    bool_key("graypreview", &S::graypreview, "false", 0),
    int_key("previewsmooth", &S::previewsmooth, "25", 77, 0, 100),
    int_key("previewspsize", &S::previewspsize, "1024", 1024, 256, 4096),
    int_key("previewcssize", &S::previewcssize, "256", 256, 64, 2048),
    text_key("previewpath", &S::previewpath, "%INPUTPATH%/%BASENAME%.tiles/preview.jpg"),
    text_key("previewpathxml", &S::previewpathxml, "[PATH]"),
    bool_key("makethumb", &S::makethumb, "false", 0),
    int_key("thumbsize", &S::thumbsize, "80", 80, 16, 512),
    text_key("thumbpath", &S::thumbpath, ""),
    text_key("thumbpathxml", &S::thumbpathxml, "[PATH]"),
    bool_key("buildmobileimages", &S::buildmobileimages, "false", kKeepCurrentValue),
    int_key("buildmobileres", &S::buildmobileres, "512", 480),
    text_key("mobileimagespath", &S::mobileimagespath, ""),
    bool_key("buildtabletimages", &S::buildtabletimages, "false", kKeepCurrentValue),
    int_key("buildtabletres", &S::buildtabletres, "1024", 1024),
    text_key("tabletimagespath", &S::tabletimagespath, ""),

    // XML, HTML and viewer files.
    bool_key("xml", &S::xml, "true", 1),
    text_key("xmlpath", &S::xmlpath, "%INPUTPATH%/%BASENAME%.xml"),
    text_key("xmltemplate", &S::xmltemplate, ""),
    text_key("xmltemplate_scene", &S::xmltemplate_scene, ""),
    text_key("xmltemplate_view", &S::xmltemplate_view, ""),
    text_key("xmltemplate_hotspot", &S::xmltemplate_hotspot, ""),
    text_key("xmlimageparameters", &S::xmlimageparameters, ""),
    list_key("xmltemplate_var", &S::xmltemplate_var),
    list_key("xmltemplate_additional_file", &S::xmltemplate_additional_file),
    bool_key("askforxmloverwrite", &S::askforxmloverwrite, "true", 1),
    pair_key("embedorderlookat", &S::embedorderlookat, "0|0"),
    bool_key("html", &S::html, "true", 1),
    text_key("htmlpath", &S::htmlpath, "%INPUTPATH%/%BASENAME%.html"),
    text_key("htmltemplate", &S::htmltemplate, ""),
    text_key("htmltemplate_html5", &S::htmltemplate_html5, "auto"),
    list_key("htmltemplate_var", &S::htmltemplate_var),
    list_key("htmltemplate_additional_file", &S::htmltemplate_additional_file),
    bool_key("flash", &S::flash, "true", kKeepCurrentValue),
    bool_key("html5", &S::html5, "true", kKeepCurrentValue),
    text_key("qorvelswf", &S::qorvelswf, ""),

    // Sealing of the finished tour.
    text_key("encrypt", &S::encrypt, "", SettingKind::Word),
    bool_key("encryptimages", &S::encryptimages, "false", 0),
    text_key("encryptpasswordfile", &S::encryptpasswordfile, ""),

    // Run control, and keys stored without effect.
    bool_key("quiet", &S::quiet, "false", 0),
    bool_key("verbose", &S::verbose, "false", 0),
    bool_key("waitkey", &S::waitkey, "false", 0),
    ignored_key("config"),
    text_key("qorveljs", &S::qorveljs, ""),
    text_key("embedpanojs", &S::embedpanojs, ""),
    text_key("htmltemplate_js", &S::htmltemplate_js, ""),
    text_key("postprocess", &S::postprocess, ""),
};

void store_value(PanoSettings* settings, const SettingKey& row, const std::string& value) {
  const SettingTarget& t = row.target;
  switch (row.kind) {
    case SettingKind::Bool: {
      bool& field = settings->*t.flag;
      const bool fallback = row.fallback == kKeepCurrentValue ? field : row.fallback != 0;
      field = parse_bool(value, fallback);
      break;
    }
    case SettingKind::Int:
      settings->*t.number =
          parse_int(value, static_cast<int>(row.fallback), row.minimum, row.maximum);
      break;
    case SettingKind::Float:
      settings->*t.real = parse_float(value, row.fallback);
      break;
    case SettingKind::Size: {
      SizeSetting& size = settings->*t.size;
      parse_size(value, &size.width, &size.height, 0, 0);
      break;
    }
    case SettingKind::Pair: {
      PairSetting& pair = settings->*t.pair;
      parse_float_pair(value, &pair.first, &pair.second, 0, 0);
      break;
    }
    case SettingKind::Text:
      settings->*t.text = value;
      break;
    case SettingKind::Word:
      settings->*t.text = lowered_ascii(value);
      break;
    case SettingKind::List:
      (settings->*t.list).push_back(value);
      break;
    case SettingKind::StereoLabels: {
      const size_t bar = value.find('|');
      if (bar == std::string::npos || bar == 0 || bar + 1 >= value.size()) break;
      StereoLabels& labels = settings->*t.labels;
      labels.left = value.substr(0, bar);
      labels.right = value.substr(bar + 1);
      break;
    }
    case SettingKind::Ignored:
      break;
  }
}

// ---- customimage[NAME].PROP ----

enum class CustomKind { Int, Text, Stereo };

struct CustomProperty {
  const char* prop;
  CustomKind kind;
  int32_t CustomImageSpec::*number;
  std::string CustomImageSpec::*text;
};

const CustomProperty kCustomProperties[] = {
    {"size", CustomKind::Int, &CustomImageSpec::size, nullptr},
    {"stereosupport", CustomKind::Stereo, &CustomImageSpec::stereosupport, nullptr},
    {"path", CustomKind::Text, nullptr, &CustomImageSpec::path},
    {"imagesettings", CustomKind::Text, nullptr, &CustomImageSpec::imagesettings},
    {"xml", CustomKind::Text, nullptr, &CustomImageSpec::xml},
    {"xmllevel", CustomKind::Text, nullptr, &CustomImageSpec::xmllevel},
    {"xmlsceneparameters", CustomKind::Text, nullptr, &CustomImageSpec::xmlsceneparameters},
    {"xmlimageparameters", CustomKind::Text, nullptr, &CustomImageSpec::xmlimageparameters},
};

// Splits "customimage[NAME].PROP" (already lower case); false when the key has not that form.
bool split_custom_key(const std::string& key, std::string* name, std::string* prop) {
  if (key.compare(0, 11, "customimage") != 0) return false;
  const size_t open = key.find('[');
  const size_t close = key.find(']');
  const size_t dot = key.find('.');
  if (open == std::string::npos || close == std::string::npos || dot == std::string::npos) {
    return false;
  }
  if (!(open < close && close < dot)) return false;
  *name = trim_blanks(key.substr(open + 1, close - open - 1));
  *prop = trim_blanks(key.substr(dot + 1));
  return true;
}

const CustomProperty* find_custom_property(const std::string& prop) {
  for (const CustomProperty& row : kCustomProperties) {
    if (prop == row.prop) return &row;
  }
  return nullptr;
}

CustomImageSpec* find_or_add_custom_image(PanoSettings* settings, const std::string& name) {
  for (CustomImageSpec& image : settings->customimages) {
    if (image.name == name) return &image;
  }
  if (static_cast<int32_t>(settings->customimages.size()) >= kMaxCustomImages) return nullptr;
  settings->customimages.emplace_back();
  settings->customimages.back().name = name;
  return &settings->customimages.back();
}

bool apply_custom_image(PanoSettings* settings, const std::string& name, const std::string& prop,
                        const std::string& value) {
  if (name.empty() || prop.empty()) return false;
  const CustomProperty* property = find_custom_property(prop);
  if (!property) return false;
  CustomImageSpec* image = find_or_add_custom_image(settings, name);
  if (!image) return false;
  switch (property->kind) {
    case CustomKind::Int:
      image->*property->number = parse_int(value, 0, kIntMin, kIntMax);
      break;
    case CustomKind::Stereo:
      image->*property->number = parse_bool(value, settings->stereosupport) ? 1 : 0;
      break;
    case CustomKind::Text:
      image->*property->text = value;
      break;
  }
  return true;
}

// The template with everything from its last "/" replaced by tail; fallback when it has none.
std::string with_file_name(const std::string& path, const char* tail, const char* fallback) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return fallback;
  return path.substr(0, slash) + tail;
}

}  // namespace

const SettingKey* pano_setting_keys(size_t* count) {
  *count = sizeof(kSettingKeys) / sizeof(kSettingKeys[0]);
  return kSettingKeys;
}

PanoSettings default_pano_settings() {
  PanoSettings settings;
  for (const SettingKey& row : kSettingKeys) {
    if (row.kind == SettingKind::List || row.kind == SettingKind::Ignored) continue;
    store_value(&settings, row, row.default_text);
  }
  return settings;
}

bool apply_setting(PanoSettings* settings, const std::string& key, const std::string& value) {
  const std::string lowered = lowered_ascii(key);
  std::string name;
  std::string prop;
  if (split_custom_key(lowered, &name, &prop)) {
    return apply_custom_image(settings, name, prop, value);
  }
  for (const SettingKey& row : kSettingKeys) {
    if (lowered != row.key) continue;
    store_value(settings, row, value);
    return true;
  }
  return false;
}

void fill_derived_paths(PanoSettings* settings) {
  if (settings->thumbpath.empty()) {
    settings->thumbpath = with_file_name(settings->previewpath, "/thumb.jpg", "");
  }
  if (settings->mobileimagespath.empty()) {
    settings->mobileimagespath = with_file_name(settings->tilepath, "/mobile_%s.jpg",
                                                "%INPUTPATH%/%BASENAME%.tiles/mobile_%s.jpg");
  }
  if (settings->tabletimagespath.empty()) {
    settings->tabletimagespath = with_file_name(settings->tilepath, "/tablet_%s.jpg",
                                                "%INPUTPATH%/%BASENAME%.tiles/tablet_%s.jpg");
  }
}

bool is_absolute_setting_path(const std::string& path) {
  if (!path.empty() && path[0] == '/') return true;
  if (path.find(":\\") != std::string::npos) return true;
  return path.size() >= 3 && path.compare(1, 2, ":/") == 0;
}

std::string resolve_setting_path(const std::string& base_file, const std::string& path) {
  if (is_absolute_setting_path(path)) return path;
  const size_t slash = base_file.find_last_of("/\\");
  std::string resolved = slash == std::string::npos ? path : base_file.substr(0, slash + 1) + path;
  for (char& c : resolved) {
    if (c == '\\') c = '/';
  }
  return resolved;
}
