// The tour builder's settings: one record holding every choice of a run, one table of keys with
// their type, default, fallback and range (read by apply_setting and by the defaults), the named
// extra images, and the rule by which relative template and include paths are resolved.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A "WIDTHxHEIGHT" value (parse_size; unreadable parts are 0).
struct SizeSetting {
  int32_t width = 0;
  int32_t height = 0;
};

// A "FIRST|SECOND" float value (parse_float_pair; unreadable parts are 0).
struct PairSetting {
  double first = 0;
  double second = 0;
};

// The two eye labels used in file names and the XML ("LEFT|RIGHT").
struct StereoLabels {
  std::string left;
  std::string right;
};

constexpr int32_t kMaxCustomImages = 16;

// One "customimage[NAME].PROP" entry: a named extra image made from cube faces.
struct CustomImageSpec {
  std::string name;                // lower case, blanks trimmed
  int32_t size = 0;                // face size in pixels; 0 = not made
  int32_t stereosupport = -1;      // 1 on, 0 off, -1 follow the global stereosupport
  std::string path;                // file template
  std::string imagesettings;       // encoding overrides ("jpegquality=…" and the like)
  std::string xml;                 // XML element template
  std::string xmllevel;            // "qorvel" or "root" place the element after the image
  std::string xmlsceneparameters;  // extra scene attributes
  std::string xmlimageparameters;  // extra image attributes
};

// Every setting of a run. Field names are the config keys. Make one with default_pano_settings:
// a value-initialised record holds zeros and empty texts, not the defaults.
struct PanoSettings {
  // Input, panorama type and conversion to cube faces.
  std::string panotype;        // "sphere", "cylinder" … or anything for automatic detection
  double hfov = 0;             // degrees, for forced types and inputs without one
  double vfov = 0;             // degrees; 0 = computed from the image
  double voffset = 0;          // degrees, for partial inputs without one
  bool frames = false;         // all inputs are frames of one panorama
  bool makescenes = false;     // all inputs become scenes of one XML file
  bool stereosupport = false;  // stereo inputs are written as stereo images
  StereoLabels stereolabels;
  SizeSetting intilesize;           // tile size of a tiled input; width 0 = whole images
  SizeSetting insize;               // full size of a tiled input
  int32_t inindexbase = 0;          // first tile index of a tiled input
  bool sortinput = false;           // sort the input names before analysis
  bool forceflat = false;           // every input is a flat image
  bool ignorelayers = false;        // layered PSD/PSB inputs are read through their composite
  bool parsegps = false;            // read GPS data from the inputs
  std::string autolevel;            // lower case: "off", "prealign" or anything for levelling
  bool prealignheading = false;     // use the pose heading as well
  bool filterbasename = false;      // replace unsafe characters of base names
  bool cubeshortsyntax = false;     // one cube element with a side placeholder in the XML
  bool converttocube = false;       // convert full spheres and cylinders to cube faces
  SizeSetting converttocubelimit;   // height: minimum vertical fov for a conversion
  std::string converttocubeformat;  // extension of temporary cube faces
  bool waitafterconvert = false;    // pause after each conversion
  std::string tempcubename;         // name template of temporary faces ("tempcubepath" too)

  // Levels, tiles and encoding.
  bool multires = false;                       // make a multi-resolution tile pyramid
  int32_t tilesize = 0;                        // tile edge in pixels; 0 = automatic
  int32_t levels = 0;                          // number of levels; 0 = automatic
  double levelstep = 0;                        // size ratio between neighbouring levels
  std::string levelsizes;                      // explicit level widths, "4096,2048,…"
  bool adjustlevelsizes = false;               // round level sizes to whole tiles
  bool adjustlevelsizesformipmapping = false;  // last tile a power of two wide
  int32_t minsize = 0;                         // smallest level size; 0 = from the tile size
  int32_t maxsize = 0;                         // largest level size; 0 = no limit
  int32_t maxcubesize = 0;                     // largest cube face; 0 = no limit
  std::string tilepath;                        // tile file template
  std::string outputfolder;  // stands for every input's folder in %INPUTPATH%; empty = its own
  std::string tilepathxml;                     // tile url template ("[PATH]" = relative path)
  std::string tilename;                        // appended to tilepath after the command line
  int32_t indexbase = 0;                       // first tile index of output tiles
  std::string filter;                          // resampling filter name
  std::string profile;                         // colour profile mode word
  int32_t jpegquality = 0;                     // 0 … 100; 0 = the writer's default
  int32_t jpegsubsamp = 0;                     // 444, 422, 420, 411; 0 = the writer's default
  bool jpegoptimize = false;
  bool jpegprogressive = false;
  bool manualjpegcompression = false;  // tiles and level images are written as TIFF
  std::string tempdir;                 // folder for temporary data
  std::string memlimit;                // most memory to use (4G, 4096M, …); empty: the machine's

  // Preview, thumbnail and extra images.
  bool preview = false;
  bool cspreview = false;      // the preview is a cube strip
  bool graypreview = false;    // the preview is grey
  int32_t previewsmooth = 0;   // 0 … 100
  int32_t previewspsize = 0;   // width of a spherical preview, 256 … 4096
  int32_t previewcssize = 0;   // face size of a cube-strip preview, 64 … 2048
  std::string previewpath;     // preview file template
  std::string previewpathxml;  // preview url template
  bool makethumb = false;
  int32_t thumbsize = 0;     // 16 … 512
  std::string thumbpath;     // thumbnail file template; derived from previewpath when unset
  std::string thumbpathxml;  // thumbnail url template
  bool buildmobileimages = false;
  int32_t buildmobileres = 0;    // mobile face size
  std::string mobileimagespath;  // mobile face template ("%s" = side); derived from tilepath
  bool buildtabletimages = false;
  int32_t buildtabletres = 0;                 // tablet face size
  std::string tabletimagespath;               // tablet face template; derived from tilepath
  std::vector<CustomImageSpec> customimages;  // in order of first appearance, at most 16

  // XML, HTML and viewer files.
  bool xml = false;
  std::string xmlpath;                                   // XML file template
  std::string xmltemplate;                               // main XML template file
  std::string xmltemplate_scene;                         // scene template file
  std::string xmltemplate_view;                          // view template file
  std::string xmltemplate_hotspot;                       // hotspot template file
  std::string xmlimageparameters;                        // extra attributes of the image element
  std::vector<std::string> xmltemplate_var;              // "NAME:VALUE" placeholder values
  std::vector<std::string> xmltemplate_additional_file;  // files copied beside the XML
  bool askforxmloverwrite = false;
  PairSetting embedorderlookat;  // default view direction, degrees
  bool html = false;
  std::string htmlpath;                                   // HTML file template
  std::string htmltemplate;                               // HTML template file
  std::string htmltemplate_html5;                         // HTML5 mode word
  std::vector<std::string> htmltemplate_var;              // "NAME:VALUE" placeholder values
  std::vector<std::string> htmltemplate_additional_file;  // files copied beside the HTML
  bool flash = false;
  bool html5 = false;
  std::string qorvelswf;  // path of the Flash viewer file

  // Sealing of the finished tour by the encrypt tool.
  std::string encrypt;              // lower case: "password", "obfuscate" (not confidential), else off
  bool encryptimages = false;       // also the tiles, preview and thumbnail the XML references
  std::string encryptpasswordfile;  // password file; else QV_PASSWORD or the prompt

  // Run control, and keys that are stored without effect.
  bool quiet = false;
  bool verbose = false;
  bool waitkey = false;  // wait for Enter before the tool ends
  std::string qorveljs;
  std::string embedpanojs;
  std::string htmltemplate_js;
  std::string postprocess;

  // State of the run, not keys.
  std::string config_path;  // the config file named on the command line, as it was loaded
  bool failed = false;      // an include of a config file failed
};

// What a key's value is parsed into.
enum class SettingKind {
  Bool,          // parse_bool; unrecognised words give the fallback (or keep the value)
  Int,           // parse_int, clamped to minimum … maximum; unreadable gives the fallback
  Float,         // parse_float (single precision); unreadable gives the fallback
  Size,          // parse_size with both defaults 0
  Pair,          // parse_float_pair with both defaults 0
  Text,          // the value as given, case and leading blanks kept
  Word,          // the value lower-cased
  List,          // each occurrence appends the value
  StereoLabels,  // "LEFT|RIGHT"; ignored unless both parts are non-empty
  Ignored,       // accepted and ignored ("config")
};

// The field a key writes; only the member pointer of the key's kind is set.
struct SettingTarget {
  bool PanoSettings::*flag = nullptr;
  int32_t PanoSettings::*number = nullptr;
  double PanoSettings::*real = nullptr;
  SizeSetting PanoSettings::*size = nullptr;
  PairSetting PanoSettings::*pair = nullptr;
  std::string PanoSettings::*text = nullptr;
  std::vector<std::string> PanoSettings::*list = nullptr;
  StereoLabels PanoSettings::*labels = nullptr;
};

// Fallback of a bool key that keeps the current value for unrecognised words.
constexpr double kKeepCurrentValue = -1;

// One row of the key table.
struct SettingKey {
  const char* key;  // lower case
  SettingKind kind;
  SettingTarget target;
  const char* default_text;  // stored through the key's own parser by default_pano_settings
  double fallback;           // Bool: 0, 1 or kKeepCurrentValue; Int and Float: the value
  int32_t minimum;           // Int range
  int32_t maximum;
};

// The key table (every key except the customimage family) and its row count.
const SettingKey* pano_setting_keys(size_t* count);

// A record holding every default of the key table.
PanoSettings default_pano_settings();

// Stores one key's value: the key is lower-cased (A-Z only) and looked up in the key table or
// read as customimage[NAME].PROP. True for a known key, also when the value could not be parsed;
// false for an unknown key, a malformed or 17th customimage name, or an unknown PROP.
bool apply_setting(PanoSettings* settings, const std::string& key, const std::string& value);

// Fills thumbpath, mobileimagespath and tabletimagespath from previewpath and tilepath while
// they are empty (after each config file is read).
void fill_derived_paths(PanoSettings* settings);

// Path rule of templates and includes: absolute when the path begins with "/", contains ":\"
// anywhere, or has ":/" after its first character.
bool is_absolute_setting_path(const std::string& path);

// A relative path joined to the folder of base_file (its text up to and including the last
// slash or backslash) with every backslash made a slash; an absolute path as written.
std::string resolve_setting_path(const std::string& base_file, const std::string& path);
