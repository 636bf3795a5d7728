// The makepano entry: start-up (config selection and loading, command-line settings, inputs,
// analysis, templates), then one pass over the analysed inputs: conversion to cube faces by the
// transform tool or strip splitting, level planning, preview, tiles, thumbnail, extra images,
// the scene XML (only once every tile of the input is written) and the page. Temporary faces
// are registered so that no way out of the run, a stop signal included, leaves them behind.
#include "makepano/makepano_tool.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "base/args.h"
#include "base/banner.h"
#include "base/console.h"
#include "base/files.h"
#include "base/paths.h"
#include "base/text.h"
#include "base/threads.h"
#include "imageio/image_file.h"
#include "imageio/psd_codec.h"
#include "makepano/config_file.h"
#include "makepano/cube_conversion.h"
#include "makepano/extra_images.h"
#include "makepano/html_writer.h"
#include "makepano/input_analysis.h"
#include "makepano/key_input.h"
#include "makepano/level_plan.h"
#include "makepano/pano_names.h"
#include "makepano/pano_settings.h"
#include "makepano/run_summary.h"
#include "makepano/shard_manifest.h"
#include "makepano/temp_files.h"
#include "makepano/tile_output.h"
#include "makepano/xml_writer.h"
#include "memory/qvmem.h"
#include "render/resize.h"
#include "render/sphere_to_cube.h"
#include "render/tiling.h"
#include "tools/encrypt_tool.h"
#include "tools/transform_tool.h"

namespace {

// ---- texts ----

constexpr char kTitle[] = "qorvel makepano tool";
constexpr char kUsage[] =
    "syntax: qorveltools makepano -config=### [inputfiles] [options]\n"
    "\n"
    " -config=###\n"
    "    - path to a qmakemultires .config file (required)\n"
    "\n"
    " inputfiles\n"
    "    - spherical panorama images (aspect ratio 2:1)\n"
    "    - the six cube side images (aspect ratio 1:1)\n"
    "      the filenames of the cube images should have suffixes like:\n"
    "      _l,_f,_r,_b,_u,_d  or left,front,right,back,up,down\n"
    "      to allow an automatic detection of the cube side\n"
    "    - partial/flat/cylinder panorama images (free aspect ratio)\n"
    "    - tiled input images are possible \n"
    "    - wildcards allowed (e.g. *.tif or *.*)\n"
    "\n"
    " options\n"
    "    - set or overwrite the settings from the config file\n"
    "    - all options from the .config file can also be set also manually\n"
    "      e.g. '-panotype=cylinder -hfov=120'\n"
    " special options for tiled input images:\n"
    "    - intilesize=WIDTHxHEIGHT - tilesize of input tiles\n"
    "    - insize=WIDTHxHEIGHT - full size of input image\n"
    "    - inindexbase=1 - input tile index base\n"
    "\n"
    "supported input and output image formats:\n"
    "  jpg/jpeg, tif/tiff/btf/tf8/bigtiff, psd/psb, kro (8 or 16bit, RGB or RGBA)\n";

// Printed after the usage for -h, -help and --help, with the folder of the stock configs.
constexpr char kUsageMore[] =
    "\n"
    "stock configs (in %s):\n"
    "  tour.config    - one tour (tiles, xml, html page) per panorama, beside the panorama\n"
    "  scenes.config  - all panoramas as the scenes of one tour (inputs sorted by name)\n"
    "\n"
    "settings changed most (in a config as key=value, or here as -key=value):\n"
    "  -outputfolder=DIR   - write the whole tour into DIR; the input folders are not written\n"
    "  -tilesize=512       - tile edge in pixels (0 = chosen per panorama)\n"
    "  -jpegquality=85     - JPEG quality of tiles and images (1-100)\n"
    "  -levelsizes=4096,2048,1024 - level widths instead of the automatic levels\n"
    "  -maxsize=8000       - largest level size\n"
    "  -panotype=sphere    - sphere, cylinder, flat, partialsphere (with -hfov=...)\n"
    "  -hfov=360           - horizontal field of view of partial panoramas\n"
    "  -preview=false, -makethumb=false - leave out the preview or the thumbnail\n"
    "  -askforxmloverwrite=false - replace an existing tour without asking\n"
    "  -memlimit=4G        - most memory to use (default: what the machine has free); larger\n"
    "                        panoramas are paged to swap files in tempdir\n"
    "  -quiet              - print nothing but errors\n"
    "\n"
    "many machines (see the README):\n"
    "  -shard=I/N, -shard=auto - make only this task's share of the sorted inputs\n"
    "  -merge              - after every shard: write the xml and the page\n"
    "  -summary=FILE       - write a JSON summary of the run to FILE\n";
constexpr const char* kHelpWords[] = {"-h", "-help", "--help"};

constexpr char kBadLevelSizes[] =
    "ERROR: levelsizes=%s is not a list of level widths (e.g. levelsizes=4096,2048,1024)\n\n";
constexpr char kFramesWithoutFrameNumber[] =
    "ERROR: frames=true needs a frame number (%%f) in tilepath=%s, or every frame would be "
    "written over the previous one\n\n";
constexpr char kBadMemoryLimit[] =
    "ERROR: memlimit=%s is not a memory size (e.g. memlimit=4G or memlimit=4096M)\n\n";
constexpr char kBadOutputFolder[] = "ERROR: outputfolder=%s cannot be made into a folder\n\n";
constexpr char kPageNeedsXml[] =
    "WARNING: xml=false: no html page is written, as it would point at an xml file that is not "
    "written\n";
constexpr char kKeptXml[] = "\n - %s: kept the existing %s; nothing of it was written\n";
constexpr char kMadeOf[] = "%d of %d panoramas made; skipped: %s\n";
constexpr char kReasonNoFile[] = "no such file";
constexpr char kReasonNotImage[] = "not an image";
constexpr char kReasonFolder[] = "a folder";
constexpr char kReasonNotUsed[] = "not used as a panorama";
constexpr char kReasonKeptXml[] = "existing xml kept";
constexpr char kReasonConversion[] = "conversion failed";
constexpr char kNoConfig[] = "\nERROR: no config file set!\n\n";
constexpr char kConfigFailed[] = "ERROR: loading config \"%s\" failed!\n\n";
constexpr char kUsingConfig[] = "- using config: %s\n";
constexpr char kBadArgument[] = "ERROR: invalid or bad argument: %s\n\n";
constexpr char kNoInputFound[] = "INPUTERROR: no file found: %s\n";
constexpr char kNoInputs[] = "ERROR: no input images\n\n";
constexpr char kOutputKinds[] = "\nOutput: HTML5=%s Flash=%s %s\n\n";
constexpr char kHtmlTemplateFailed[] = "ERROR: unable to load html template: %s\n\n";
constexpr char kNoXmlTemplate[] = "ERROR: no xml template file defined! (xmltemplate setting)\n\n";
constexpr char kXmlTemplateFailed[] = "ERROR: unable to load xml template: %s\n\n";
constexpr char kPressEnter[] = "press enter to continue...\n";
constexpr char kProcessingOne[] = "\nprocessing - %s\n";
constexpr char kProcessingOf[] = "\nprocessing %d/%d - %s\n";
constexpr char kProcessingFrames[] = "\nprocessing multi-frame-input\n";
constexpr char kInputCube[] = " - input: %s (cube, size=%dx%d)\n";
constexpr char kInputConvertedCube[] = " - input: %s (converted cube, size=%dx%d)\n";
constexpr char kInputImage[] = " - input: %s (%s, size=%dx%d, fov=";
constexpr char kGps[] = " - gps: lat=%.6f lng=%.6f heading=%0.1f\n";
constexpr char kFrameCount[] = " - frames: %d\n";
constexpr char kRuntime[] = "runtime: %f sec\n";
constexpr char kSearchedPlace[] = "  searched: %s\n";
constexpr char kDataFileFrom[] = " - data file: %s\n";
constexpr char kNoViewerScript[] = " - data file: viewer.js not found, the pages get no viewer script\n";
constexpr char kConvertingCylinder[] = " - converting cylinder to cube format...\n";
constexpr char kConvertingSphere[] = " - converting sphere to cube format...\n";
constexpr char kFrameConvertingCylinder[] = "   converting cylinder to cube format...\n";
constexpr char kFrameConvertingSphere[] = "   converting sphere to cube format...\n";
constexpr char kProcessingFrame[] = " - processing frame %s...\n";
constexpr char kConvertFailed[] = "\nERROR: converting to cube failed!\n";
constexpr char kTurnFailed[] = "\nERROR: unable to turn the cube face %s!\n";
constexpr char kContinueQuestion[] = "continue with the image as it is? (y/n)...\n";
constexpr char kConvertDone[] = "   converting to cube done.\n";
constexpr char kPressEnterIndented[] = "   press enter to continue...\n";
constexpr char kSplittingStrip[] = " - spliting cubestrip...";
constexpr char kMakingImages[] = " - making images...\n";
constexpr char kClearLine[] = "\r%78s\r";
constexpr char kFrameDone[] = "      \r";
constexpr char kDone[] = "   done.\n\n";
constexpr char kFirstFrameDone[] = "   done.\n";

// Face slot of each strip tile (1 … 12) for the four face orders: slots 0 … 5 are left, front,
// right, back, up, down of the first eye, 6 … 11 of the second.
constexpr int32_t kStripFaceSlots[4][12] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11},
    {1, 2, 3, 0, 4, 5, 7, 8, 9, 6, 10, 11},
    {3, 1, 5, 4, 2, 0, 3, 1, 5, 4, 2, 0},
    {0, 1, 2, 3, 5, 4, 6, 7, 8, 9, 11, 10},
};
// Order 2 of a strip holding both eyes: the first six tiles go to the second eye's slots.
constexpr int32_t kMirroredStereoSlots[6] = {9, 7, 11, 10, 8, 6};

constexpr char kConfigExtension[] = "config";

constexpr char kBadShard[] = "ERROR: %s\n\n";
constexpr char kShardAndMerge[] = "ERROR: -shard and -merge belong to separate runs\n\n";
constexpr char kShardFrames[] =
    "ERROR: frames=true makes one scene of all inputs; it cannot be "
    "split into shards\n\n";
constexpr char kManifestFailed[] = "ERROR: unable to write the scene manifest %s\n";
constexpr char kMergeMissing[] =
    "ERROR: merge: %d of %d scenes have no finished shard (missing or left by an earlier "
    "plan): %s\n";
constexpr char kMergeRerun[] = "re-run their shards, then merge again:\n";
constexpr char kMergeRerunLine[] = "  %s\n";
constexpr char kMergedLine[] = "merged %d scenes from %d shards\n";
constexpr char kSummaryFailed[] = "ERROR: unable to write the run summary %s\n";
constexpr char kOutcomeMade[] = "made";
constexpr char kOutcomeOtherShard[] = "other shard";
constexpr char kOutcomeMerged[] = "merged";
constexpr char kOutcomeMissing[] = "skipped: no finished shard";
constexpr char kProgramWords[] = "qorveltools makepano";

// ---- run state ----

// Template texts loaded before the first input; empty when not used or not set.
struct PanoTemplates {
  bool html_loaded = false;
  bool xml_loaded = false;
  std::string html;
  XmlTemplates xml;
};

struct MakepanoRun {
  ConsoleOps* ops = nullptr;
  KeyInput keys;
  PanoSettings settings;
  std::vector<std::string> input_paths;
  std::vector<PanoInput> inputs;
  PanoTemplates templates;
  bool banner_printed = false;
  int status = 0;
  int64_t start_ticks = 0;
  TileJob tile_defaults;                // encoding, filter and profile of every tiling job
  XmlRunState xml_state;                // scenes and counters across inputs
  bool multires_for_one = false;        // multires was switched on for the previous input only
  std::string tilepath_of_run;          // tilepath before a single-level input changed it
  std::string viewer_script;            // the browser viewer copied beside each page
  std::vector<std::string> skipped;     // "name (reason)" of each input not made
  int32_t made = 0;                     // inputs made
  std::set<std::string> confirmed_xml;  // XML files this run may replace
  std::set<std::string> declined_xml;   // existing XML files this run keeps
  ShardShare shard;                      // this run's share of the inputs
  bool merge = false;                   // write the XML and pages from the shards' manifests
  std::string summary_path;             // the JSON run summary; empty: none
  std::vector<std::string> plan_args;   // the arguments that define the tour (no shard words)
  std::string plan_key;                 // fingerprint of the arguments, config and inputs
  RunSummary summary;
};

void note_skipped(MakepanoRun* run, const std::string& path, const char* reason) {
  run->skipped.push_back(file_name_part(path) + " (" + reason + ")");
  run->status = 1;
  SummaryInput entry;
  entry.input = path;
  entry.outcome = std::string("skipped: ") + reason;
  run->summary.inputs.push_back(entry);
}

void print_banner_line(MakepanoRun* run) {
  print_banner(run->ops, kTitle);
  run->banner_printed = true;
}

void pause_for_key(MakepanoRun* run) {
  if (!run->settings.waitkey) return;
  run->ops->log(run->ops, kPressEnter);
  read_answer_char(run->keys);
}

// A failure before any input is processed: message already printed, optional pause, status 1.
int fail_start(MakepanoRun* run) {
  pause_for_key(run);
  return 1;
}

bool has_config_extension(const std::string& argument) {
  std::string extension;
  return file_extension(argument, &extension) && lowered_ascii(extension) == kConfigExtension;
}

// The config file: the first "-config=" argument, else the first plain argument named *.config.
bool select_config(int argc, char** argv, std::string* path) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (lowered_ascii(argument.substr(0, 8)) == "-config=") {
      *path = argument.substr(8);
      return true;
    }
  }
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (!argument.empty() && argument[0] != '-' && has_config_extension(argument)) {
      *path = argument;
      return true;
    }
  }
  return false;
}

// Loads the config: the path as given, else, for a relative path, the first match in the data
// folders. search tells where it was looked for.
bool load_run_config(MakepanoRun* run, const std::string& path, DataFileSearch* search) {
  *search = find_data_file(path, true);
  if (search->found.empty() && is_absolute_setting_path(path)) search->found = path;
  if (search->found.empty()) return false;
  if (!load_config_file(&run->settings, search->found, false, run->ops)) return false;
  run->settings.config_path = search->found;
  return true;
}

// Names every place a data file was looked for, on the error stream.
void print_searched_places(const MakepanoRun& run, const DataFileSearch& search) {
  for (const std::string& place : search.searched) {
    run.ops->log_error(run.ops, kSearchedPlace, utf8_to_console(place).c_str());
  }
}

// Names of existing files for one input argument: a name with tile placeholders as it is, a
// plain name when it exists, the matches of a "*"/"?" pattern in name order.
std::vector<std::string> input_files_for(const std::string& argument, int32_t index_base) {
  if (expand_tile_name(argument, index_base, index_base, false) != argument) return {argument};
  const size_t cut = argument.find_last_of("/\\");
  const size_t name_start = cut == std::string::npos ? 0 : cut + 1;
  const std::string name = argument.substr(name_start);
  if (name.find_first_of("*?") == std::string::npos) {
    // Never opened here: a named pipe would block; the reader refuses what is not a file.
    if (path_exists(argument)) return {argument};
    return {};
  }
  // The listing matches with fnmatch, where "[" would open a character class.
  std::string pattern = argument.substr(0, name_start);
  for (char c : name) pattern += c == '[' ? std::string("[[]") : std::string(1, c);
  std::vector<std::string> matches = list_directory(pattern);
  std::sort(matches.begin(), matches.end());
  return matches;
}

const char* environment_value(const char* name) {
  return getenv(name);
}

// Applies the settings, flags and inputs of the command line; false after a bad argument.
bool apply_command_line(MakepanoRun* run, int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    const std::string lowered = lowered_ascii(argument);
    if (lowered.rfind("-shard=", 0) == 0) {
      std::string error;
      if (!parse_shard_value(argument.substr(7), environment_value, &run->shard, &error)) {
        run->ops->log(run->ops, kBadShard, error.c_str());
        return false;
      }
      continue;
    }
    if (lowered == "-merge") {
      run->merge = true;
      continue;
    }
    if (lowered.rfind("-summary=", 0) == 0) {
      run->summary_path = argument.substr(9);
      continue;
    }
    run->plan_args.push_back(argument);
    if (!argument.empty() && argument[0] == '-') {
      const size_t equals = argument.find('=');
      bool ok = false;
      if (equals != std::string::npos) {
        ok = apply_setting(&run->settings, argument.substr(1, equals - 1),
                           argument.substr(equals + 1));
      } else {
        const std::string flag = lowered_ascii(argument.substr(1));
        if (flag == "quiet" || flag == "q") run->settings.quiet = ok = true;
        if (flag == "verbose") run->settings.verbose = ok = true;
      }
      if (!ok) {
        run->ops->log(run->ops, kBadArgument, argument.c_str());
        return false;
      }
      continue;
    }
    if (has_config_extension(argument)) continue;
    const std::vector<std::string> files = input_files_for(argument, run->settings.inindexbase);
    if (files.empty()) {
      run->ops->log(run->ops, kNoInputFound, argument.c_str());
      note_skipped(run, argument, kReasonNoFile);
    }
    run->input_paths.insert(run->input_paths.end(), files.begin(), files.end());
  }
  PanoSettings& settings = run->settings;
  if (!settings.tilename.empty()) {
    if (settings.tilepath.empty() || settings.tilepath.back() != '/') settings.tilepath += "/";
    settings.tilepath += settings.tilename;
    settings.tilename.clear();
  }
  return true;
}

// A template file's text (up to its first zero byte), resolved against the config's folder.
std::string template_path(const PanoSettings& settings, const std::string& name) {
  std::string path = resolve_setting_path(settings.config_path, name);
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

std::string template_text(const PanoSettings& settings, const std::string& name) {
  if (name.empty()) return std::string();
  std::string text = read_file_text(template_path(settings, name));
  const size_t zero = text.find('\0');
  if (zero != std::string::npos) text.resize(zero);
  return text;
}

// Loads the HTML and XML templates the run needs; false after a message when one is missing.
bool load_templates(MakepanoRun* run) {
  const PanoSettings& settings = run->settings;
  PanoTemplates& templates = run->templates;
  if (settings.html) {
    templates.html = template_text(settings, settings.htmltemplate);
    if (templates.html.empty()) {
      run->ops->log(run->ops, kHtmlTemplateFailed,
                    template_path(settings, settings.htmltemplate).c_str());
      return false;
    }
    templates.html_loaded = true;
  }
  if (settings.xml) {
    if (settings.xmltemplate.empty()) {
      run->ops->log(run->ops, kNoXmlTemplate);
      return false;
    }
    templates.xml.main = template_text(settings, settings.xmltemplate);
    if (templates.xml.main.empty()) {
      run->ops->log(run->ops, kXmlTemplateFailed,
                    template_path(settings, settings.xmltemplate).c_str());
      return false;
    }
    templates.xml_loaded = true;
  }
  templates.xml.view = template_text(settings, settings.xmltemplate_view);
  templates.xml.hotspot = template_text(settings, settings.xmltemplate_hotspot);
  templates.xml.scene = template_text(settings, settings.xmltemplate_scene);
  return true;
}

// ---- per-input lines ----

const char* type_word(int32_t type) {
  switch (type) {
    case kPanoFlat:
      return "flat";
    case kPanoPartialSphere:
      return "partial sphere";
    case kPanoCylinder:
      return "cylinder";
    case kPanoStrip:
    case kPanoVerticalStrip:
    case kPanoStereoStrip:
    case kPanoVerticalStereoStrip:
    case kPanoStripPair:
      return "cubestrip";
    default:
      return "sphere";
  }
}

// The extension (with its dot) of the left face: the input's own face, the temporary faces of
// a conversion or split, or the final face names when multires is off.
std::string left_face_extension(const PanoSettings& settings, const PanoInput& original) {
  std::string extension;
  if (original.type == kPanoCube) {
    return file_extension(original.faces[0], &extension) ? "." + extension : std::string();
  }
  if (settings.multires) return "." + settings.converttocubeformat;
  return file_extension(settings.tilepath, &extension) ? "." + extension : std::string();
}

std::string fov_text(const PanoInput& input) {
  const char* format = input.hfov > 100  ? "%.0fx%.0f"
                       : input.hfov > 10 ? "%.1fx%.1f"
                       : input.hfov > 1  ? "%.2fx%.2f"
                                         : "%.3fx%.3f";
  char text[128];
  snprintf(text, sizeof text, format, input.hfov, input.vfov);
  std::string fov = text;
  if (input.voffset != 0) {
    snprintf(text, sizeof text, "/%+.1f", input.voffset);
    fov += text;
  }
  return fov;
}

void print_input_line(MakepanoRun* run, const PanoInput& original, const PanoInput& input,
                      const PanoNames& names) {
  ConsoleOps* ops = run->ops;
  if (input.type == kPanoCube) {
    const std::string shown =
        "*" + names.base_name + "*" + left_face_extension(run->settings, original);
    ops->log(ops, input.converted ? kInputConvertedCube : kInputCube, shown.c_str(), input.width,
             input.height);
    if (input.gps.present) {
      ops->log(ops, kGps, input.gps.latitude, input.gps.longitude, input.gps.heading);
    }
    return;
  }
  ops->log(ops, kInputImage, file_name_part(input.path).c_str(), type_word(input.type), input.width,
           input.height);
  ops->log(ops, "%s)\n", fov_text(input).c_str());
}

void print_output_line(MakepanoRun* run) {
  const PanoSettings& settings = run->settings;
  std::string kinds;
  if (settings.makescenes) {
    kinds = "scene, ";
  } else {
    if (settings.html && run->templates.html_loaded) kinds += "html, ";
    if (settings.flash) kinds += "swf, ";
    if (settings.xml && run->templates.xml_loaded) kinds += "xml, ";
  }
  if (!settings.frames && settings.preview) kinds += "preview, ";
  if (settings.makethumb) kinds += "thumb, ";
  run->ops->log(run->ops, " - output: %stiles \n", kinds.c_str());
  if (settings.frames && !settings.makescenes) {
    run->ops->log(run->ops, kFrameCount, static_cast<int>(run->inputs.size()));
  }
}

void print_processing_line(MakepanoRun* run, size_t index) {
  const int count = static_cast<int>(run->inputs.size());
  const PanoInput& input = run->inputs[index];
  // A cube is named by its left face, like the names it gives its outputs.
  const bool cube = input.type == kPanoCube && !input.faces[kCubeLeft].empty();
  const std::string name = file_name_part(cube ? input.faces[kCubeLeft] : input.path);
  if (run->settings.frames) {
    run->ops->log(run->ops, kProcessingFrames);
  } else if (count == 1) {
    run->ops->log(run->ops, kProcessingOne, name.c_str());
  } else {
    run->ops->log(run->ops, kProcessingOf, static_cast<int>(index) + 1, count, name.c_str());
  }
}

// ---- one input ----

// What the processing of one input keeps while it runs.
struct InputWork {
  size_t index = 0;
  PanoInput input;  // the record as it becomes: converted, split, with fields filled
  PanoNames names;
  bool processing_printed = false;
  bool report = false;  // input lines are printed (not quiet; first frame of a frame run)
  std::string temporary_name;
  std::vector<std::string> temporary_files;  // faces and eye files to delete at the end
  LevelPlan plan;                            // the levels, once planned
};

bool is_frame_run(const MakepanoRun* run) {
  return run->settings.frames;
}

void print_processing_once(MakepanoRun* run, InputWork* work) {
  if (work->processing_printed || run->settings.quiet) return;
  work->processing_printed = true;
  if (is_frame_run(run) && work->index > 0) return;
  print_processing_line(run, work->index);
}

// Registers a file the run makes for itself.
void add_temporary(InputWork* work, const std::string& path) {
  work->temporary_files.push_back(path);
  temp_file_add(path);
}

void delete_temporaries(InputWork* work) {
  for (const std::string& path : work->temporary_files) temp_file_delete(path);
  work->temporary_files.clear();
}

std::string face_name(const std::string& name, int32_t side, const std::string& format) {
  return name + "_" + kSideLetters[side] + "." + format;
}

// The final name of converted faces when multires is off: the tile path for one side and eye.
std::string final_face_name(const MakepanoRun* run, const InputWork& work, char cube_char,
                            const std::string& eye_label) {
  TileTemplateValues values;
  values.t_text = eye_label;
  values.cube_char = cube_char;
  values.level = 1;
  values.level_count = 1;
  values.base_name = work.names.base_name;
  values.frame = static_cast<int32_t>(work.index) + 1;
  values.frame_count = static_cast<int32_t>(run->inputs.size());
  return expand_tile_template(run->settings,
                              expand_input_template(run->settings.tilepath, work.names), values);
}

std::string format_text(const char* format, ...) {
  char text[4200];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

// Runs the transform tool in-process on one eye; true when the faces were written.
bool run_transform(MakepanoRun* run, const InputWork& work, const CubeConversion& conversion,
                   const std::string& source, const std::string& output, bool limit_size) {
  const PanoSettings& settings = run->settings;
  std::vector<std::string> args = {program_path().empty() ? "qorveltools" : program_path(), "cube6",
                                   source, output, "-even"};
  if (conversion.cylinder) args.push_back("-cylinder");
  if (!settings.multires) {
    // 0 stands for the writer's default, which the transform tool would refuse as a value.
    if (settings.jpegquality > 0) {
      args.push_back(format_text("-jpegquality=%d", settings.jpegquality));
    }
    if (settings.jpegsubsamp > 0) {
      args.push_back(format_text("-jpegsubsamp=%d", settings.jpegsubsamp));
    }
    if (settings.jpegoptimize) args.push_back("-jpegoptimize");
    if (settings.jpegprogressive) args.push_back("-jpegprogressive");
  }
  args.push_back(is_frame_run(run) ? "-makemultirescallframes" : "-makemultirescall");
  if (limit_size) {
    args.push_back(format_text("-outsize=%dx%d", settings.maxcubesize, settings.maxcubesize));
  }
  if (!settings.multires) args.push_back("-profile=" + settings.profile);
  if (settings.quiet) args.push_back("-q");
  if (!settings.tempdir.empty()) args.push_back("-tempdir=" + settings.tempdir);
  const PanoPose& pose = work.input.pose;
  if (settings.autolevel != "off" && settings.autolevel != "prealign" && pose.present) {
    args.push_back(format_text("-rotate=ZXY,%f,%f,%f", pose.pitch, -pose.heading, pose.roll));
  }
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  return transform_main(static_cast<int>(args.size()), argv.data(), run->ops) == 0;
}

// Splits an over-under or side-by-side file into two eye files (temporary); false on failure.
bool split_eyes(MakepanoRun* run, InputWork* work) {
  PanoInput& input = work->input;
  const bool over_under = input.type == kPanoOverUnder;
  // Numbered temporary names, as for converted faces, taken only when neither half exists, so
  // a user's own file is never overwritten or deleted. The tile placeholder is added after the
  // name, which is text and never a format.
  std::string name;
  do {
    name = temporary_cube_name(run->settings, work->names, temporary_name_number(), "") + "_";
  } while (path_exists(name + "1.kro") || path_exists(name + "2.kro"));
  const std::string stage1 = name + (over_under ? "%v.kro" : "%h.kro");
  const std::string left = name + "1.kro";
  const std::string right = name + "2.kro";
  add_temporary(work, left);
  add_temporary(work, right);
  TileJob job = run->tile_defaults;
  job.input = input.path;
  job.output = stage1;
  job.tile_width = input.width;
  job.tile_height = input.height;
  job.index_base = 1;
  if (!run_tile_job(&job, run->ops, true, "")) return false;
  input.type = kPanoSpherePair;
  input.left_path = left;
  input.right_path = right;
  input.temporary_stereo_files = true;
  return true;
}

// Converts a sphere or cylinder to cube faces. False only when the run must end.
bool convert_input(MakepanoRun* run, InputWork* work, const CubeConversion& conversion) {
  const PanoSettings& settings = run->settings;
  ConsoleOps* ops = run->ops;
  PanoInput& input = work->input;
  const bool cylinder = conversion.cylinder;
  if (!settings.quiet) {
    if (is_frame_run(run)) {
      if (work->index == 0) {
        ops->log(ops, kProcessingFrames);
        ops->log(ops, cylinder ? kFrameConvertingCylinder : kFrameConvertingSphere);
      } else {
        ops->log(ops, kProcessingFrame, file_name_part(input.path).c_str());
      }
      work->processing_printed = true;
    } else {
      print_processing_once(run, work);
      ops->log(ops, cylinder ? kConvertingCylinder : kConvertingSphere);
    }
  }
  const PanoInput before = input;
  bool converted = true;
  if (input.type == kPanoOverUnder || input.type == kPanoSideBySide) {
    converted = split_eyes(run, work);
  }
  const int32_t eyes = conversion.eyes;
  const std::string format = settings.converttocubeformat;
  std::string names[2];
  for (int32_t eye = 0; eye < eyes && converted; ++eye) {
    const std::string label =
        eyes == 2 ? (eye == 0 ? settings.stereolabels.left : settings.stereolabels.right) : "";
    const std::string source =
        eyes == 2 ? (eye == 0 ? input.left_path : input.right_path) : input.path;
    std::string output;
    if (settings.multires) {
      output = temporary_cube_name(settings, work->names, temporary_name_number(), label);
      for (int32_t side = 0; side < kCubeSideCount; ++side) {
        add_temporary(work, face_name(output, side, format));
        add_temporary(work, partial_face_name(face_name(output, side, format)));
      }
    } else {
      output = final_face_name(run, *work, eyes == 2 ? kSidePlaceholder : 0, "");
    }
    names[eye] = output;
    // The extension tells the transform tool the format of the faces.
    const std::string output_file = settings.multires ? output + "." + format : output;
    converted = run_transform(run, *work, conversion, source, output_file, conversion.limit_size);
  }
  if (input.temporary_stereo_files) {
    temp_file_delete(input.left_path);
    temp_file_delete(input.right_path);
  }
  if (!converted) {
    ops->log(ops, "%s", kConvertFailed);
    run->status = 1;
    ops->log(ops, "%s", kContinueQuestion);
    const int answer = read_answer_char(run->keys);
    delete_temporaries(work);
    input = before;
    // Without a yes the input is not made at all; the run goes on with the next one.
    return answer == 'y' || answer == 'Y' || answer == 'j' || answer == 'J';
  }
  PanoInput record = converted_record(input, conversion);
  for (int32_t eye = 0; eye < eyes; ++eye) {
    const std::string label =
        eyes == 2 ? (eye == 0 ? settings.stereolabels.left : settings.stereolabels.right) : "";
    std::string* faces = eye == 0 ? record.faces : record.second_eye_faces;
    for (int32_t side = 0; side < kCubeSideCount; ++side) {
      faces[side] = settings.multires ? face_name(names[eye], side, format)
                                      : final_face_name(run, *work, kSideLetters[side], label);
    }
  }
  record.temporary_faces = settings.multires;
  record.final_faces = !settings.multires;
  record.levelled =
      settings.autolevel != "off" && settings.autolevel != "prealign" && input.pose.present;
  if (std::unique_ptr<ImageInfo> info = image_probe(record.faces[kCubeLeft])) {
    record.width = info->width;
    record.height = info->height;
  }
  input = record;
  if (is_frame_run(run) && !settings.quiet) {
    ops->log(ops, kClearLine, "");
    if (work->index == 0) ops->log(ops, "%s", kFirstFrameDone);
  }
  if (settings.waitafterconvert) {
    ops->log(ops, "%s", kConvertDone);
    ops->log(ops, "%s", kPressEnterIndented);
    read_answer_char(run->keys);
  }
  return true;
}

// Cuts one strip file into numbered faces; false when the tiling core failed.
bool split_strip_file(MakepanoRun* run, InputWork* work, const std::string& source,
                      const std::string& output, int32_t index_base, bool mirror) {
  TileJob job = run->tile_defaults;
  job.input = source;
  job.output = output;
  job.tile_width = work->input.width;
  job.tile_height = 0;
  job.index_base = index_base;
  job.hmirror = mirror;
  return run_tile_job(&job, run->ops, run->settings.quiet, kSplittingStrip);
}

// Splits a cube strip (or a pair of strips) into faces; false when the run must end.
bool split_strip(MakepanoRun* run, InputWork* work) {
  const PanoSettings& settings = run->settings;
  PanoInput& input = work->input;
  const bool vertical = input.type == kPanoVerticalStrip || input.type == kPanoVerticalStereoStrip;
  const bool stereo = input.type != kPanoStrip && input.type != kPanoVerticalStrip;
  const int32_t count = stereo ? 12 : 6;
  const std::string format = settings.converttocubeformat;
  std::string name;
  std::string output;
  if (settings.multires) {
    name = temporary_cube_name(settings, work->names, temporary_name_number(), "");
    output = name + (vertical ? "_%v." : "_%h.") + format;
  } else {
    name = final_face_name(run, *work, kSidePlaceholder, "");
    output = name;
    const size_t at = output.find("%s");
    if (at != std::string::npos) output.replace(at, 2, vertical ? "%v" : "%h");
  }
  std::vector<std::string> tiles;
  for (int32_t n = 1; n <= count; ++n) {
    std::string tile;
    if (settings.multires) {
      tile = format_text("%s_%d.%s", name.c_str(), n, format.c_str());
    } else {
      tile = name;
      const size_t at = tile.find("%s");
      if (at != std::string::npos) tile.replace(at, 2, std::to_string(n));
    }
    tiles.push_back(tile);
    if (settings.multires) add_temporary(work, tile);
  }
  print_processing_once(run, work);
  const bool mirror = input.strip_order == 2;
  bool split = true;
  if (input.type == kPanoStripPair) {
    split = split_strip_file(run, work, input.left_path, output, 1, mirror) &&
            split_strip_file(run, work, input.right_path, output, 7, mirror);
  } else {
    split = split_strip_file(run, work, input.path, output, 1, mirror);
  }
  if (!split) return false;
  const int32_t order = std::clamp(input.strip_order, 0, 3);
  PanoInput record = converted_record(input, CubeConversion());
  for (int32_t n = 0; n < count; ++n) {
    int32_t slot = kStripFaceSlots[order][n];
    if (order == 2 && stereo && n < 6) slot = kMirroredStereoSlots[n];
    std::string* faces = slot < 6 ? record.faces : record.second_eye_faces;
    faces[slot % 6] = tiles[n];
  }
  record.temporary_faces = settings.multires;
  record.height = record.width;
  input = record;
  return true;
}

// Faces named the skybox way are drawn turned against our sides: each such face is written
// upright as a temporary face first, so the tiles, the preview and the extra images all read
// upright faces. False (after the message) when a face cannot be turned; the run ends.
bool turn_named_faces(MakepanoRun* run, InputWork* work) {
  PanoInput& input = work->input;
  FaceOrientation orientations[kCubeSideCount];
  named_face_orientations(input.faces, orientations);
  const std::string format = run->settings.converttocubeformat;
  std::string name;
  for (int32_t side = 0; side < kCubeSideCount; ++side) {
    const FaceOrientation& orientation = orientations[side];
    if (face_is_upright(orientation)) continue;
    if (name.empty()) {
      name = temporary_cube_name(run->settings, work->names, temporary_name_number(), "");
    }
    const std::string upright = face_name(name, side, format);
    add_temporary(work, upright);
    if (!write_face_in_side_orientation(input.faces[side], upright, orientation)) {
      run->ops->log(run->ops, kTurnFailed, file_name_part(input.faces[side]).c_str());
      run->status = 1;
      return false;
    }
    input.faces[side] = upright;
  }
  return true;
}

// The expanded per-input paths.
struct InputPaths {
  std::string tilepath;  // after expand_input_template
  std::string preview;
  std::string thumb;
  std::string mobile;
  std::string tablet;
  std::string xml;
  std::string html;
};

InputPaths expand_input_paths(const PanoSettings& settings, const PanoNames& names) {
  InputPaths paths;
  paths.tilepath = expand_input_template(settings.tilepath, names);
  auto single = [&](const std::string& text) {
    return single_file_path(settings, expand_input_template(text, names), names);
  };
  paths.preview = single(settings.previewpath);
  paths.thumb = single(settings.thumbpath);
  paths.mobile = single(settings.mobileimagespath);
  paths.tablet = single(settings.tabletimagespath);
  paths.xml = single(settings.xmlpath);
  paths.html = single(settings.htmlpath);
  return paths;
}

void print_input_lines(MakepanoRun* run, InputWork* work, const PanoInput& original) {
  print_processing_once(run, work);
  print_input_line(run, original, work->input, work->names);
  print_output_line(run);
}

// The XML file an input's scene goes to: its own, or for scenes the last input's (frames all
// name the first frame, as their names do).
std::string scene_xml_path(const MakepanoRun* run, size_t index) {
  const PanoSettings& settings = run->settings;
  const size_t owner = settings.makescenes ? run->inputs.size() - 1 : index;
  const PanoInput& naming = settings.frames ? run->inputs.front() : run->inputs[owner];
  const PanoNames names = make_pano_names(settings, naming, static_cast<int32_t>(owner) + 1);
  return single_file_path(settings, expand_input_template(settings.xmlpath, names), names);
}

// Whether the XML an input will write may be written: asked once per file, before anything of
// the input is written. On replacing, the tiles the old XML lists are removed first, so that
// the tile folders end up holding exactly what the new XML lists.
bool xml_target_ready(MakepanoRun* run, size_t index) {
  const PanoSettings& settings = run->settings;
  if (!settings.xml || !run->templates.xml_loaded) return true;
  const std::string xml = scene_xml_path(run, index);
  if (run->declined_xml.count(xml)) return false;
  if (run->confirmed_xml.count(xml)) return true;
  if (open_file(xml, "rb")) {
    if (settings.askforxmloverwrite && !ask_overwrite(run->ops, run->keys, xml)) {
      run->declined_xml.insert(xml);
      return false;
    }
    for (const std::string& tile : listed_tile_files(xml)) {
      if (!is_directory(tile)) delete_file(tile);
    }
  }
  run->confirmed_xml.insert(xml);
  return true;
}

// Per-input state the level loop's callback needs.
struct LevelHook {
  MakepanoRun* run = nullptr;
  const ExtraImageContext* context = nullptr;
  const InputPaths* paths = nullptr;
  ExtraImages* images = nullptr;
  PreviewAhead* preview_ahead = nullptr;  // the cube preview being made beside the tiles, or null
};

// Whether a cube input gets its preview (from its faces, after the largest level).
bool cube_preview_due(const PanoSettings& settings, const PanoInput& input) {
  return input.type == kPanoCube && settings.preview && settings.intilesize.width == 0 &&
         !settings.frames;
}

// After the largest level: the cube preview from its faces and the thumbnail.
bool after_level(void* user, int32_t level_index) {
  LevelHook* hook = static_cast<LevelHook*>(user);
  const PanoSettings& settings = hook->run->settings;
  if (level_index != 0 || settings.frames) return true;
  if (hook->preview_ahead) {
    finish_preview_ahead(hook->preview_ahead, hook->context->ops, hook->images);
  } else if (cube_preview_due(settings, *hook->context->input)) {
    make_preview(*hook->context, hook->paths->preview, hook->images);
  }
  if (settings.makethumb) {
    return make_thumbnail_image(*hook->context, hook->paths->thumb, hook->images);
  }
  return true;
}

// Writes the page of an XML file; false when the run must end.
bool write_page(MakepanoRun* run, const InputWork& work, const InputPaths& paths) {
  const PanoSettings& settings = run->settings;
  HtmlPageRequest request;
  request.settings = &settings;
  request.output_base = html_output_base(paths.xml);
  request.page_path = paths.html;
  request.xml_path = paths.xml;
  if (settings.flash) {
    request.swf_path = request.output_base + ".swf";
    create_directories_for(request.swf_path);
  }
  request.display_name = work.names.display_name;
  request.base_name = work.names.base_name;
  request.scene_count = &run->xml_state.scene_count;
  request.flash_only_count = &run->xml_state.flash_only_count;
  request.viewer_script = run->viewer_script;
  request.ops = run->ops;
  request.keys = &run->keys;
  return write_html_page(request) == 0;
}

// A shard's record of one made input, in place of its XML and page; false when it could not be
// written (the run ends, so that the missing scene is seen).
bool write_scene_manifest(MakepanoRun* run, const InputWork& work, const SceneRequest& request,
                          const InputPaths& paths) {
  const PanoSettings& settings = run->settings;
  SceneManifest manifest;
  manifest.plan_key = run->plan_key;
  manifest.input = naming_path(run->inputs[work.index]);
  manifest.shard_index = run->shard.index;
  manifest.shard_count = run->shard.count;
  manifest.has_scene = settings.xml && run->templates.xml_loaded;
  if (manifest.has_scene) manifest.scene = scene_text(request, run->templates.xml);
  manifest.gps = work.input.gps.present;
  manifest.flash_only = scene_is_flash_only(work.input);
  manifest.xml_path = paths.xml;
  manifest.html_path = paths.html;
  manifest.display_name = work.names.display_name;
  manifest.base_name = work.names.base_name;
  manifest.plan = work.plan;
  manifest.tile_count =
      plan_tile_count(work.plan, work.input.type == kPanoCube, work.input.two_eyes);
  const std::string path = manifest_path(paths.xml, work.index);
  if (!write_manifest(path, manifest)) {
    run->ops->log(run->ops, kManifestFailed, path.c_str());
    return false;
  }
  return true;
}

// Seals a finished tour's XML (and with encryptimages the images it lists) when the encrypt
// setting asks for it; false, with the message printed, when that fails.
bool seal_tour(const PanoSettings& settings, ConsoleOps* ops, const std::string& xml_path) {
  if (settings.encrypt != "password" && settings.encrypt != "obfuscate") return true;
  EncryptRequest seal;
  seal.files = {xml_path};
  seal.obfuscate = settings.encrypt == "obfuscate";
  seal.images = settings.encryptimages;
  seal.password_file = settings.encryptpasswordfile;
  EncryptOutcome outcome;
  if (encrypt_tour_files(seal, &outcome)) return true;
  ops->error(ops, outcome.error.c_str());
  return false;
}

// Everything of one input after its conversion; false when the run must end.
bool make_input(MakepanoRun* run, InputWork* work, const PanoInput& original) {
  PanoSettings& settings = run->settings;
  ConsoleOps* ops = run->ops;
  PanoInput& input = work->input;
  const bool cube = input.type == kPanoCube;
  const size_t count = run->inputs.size();
  const bool last = work->index + 1 == count;
  if (work->report) print_input_lines(run, work, original);
  LevelPlan& plan = work->plan;
  if (!plan_levels(settings, input, &plan)) return false;
  if (work->report) ops->log(ops, "%s", level_summary_text(settings, input, plan).c_str());
  // A single image larger than one tile (after a maxsize reduction) becomes one level of
  // 4000-pixel tiles, written and described like a pyramid.
  if (!settings.multires && !cube &&
      std::max(plan.full_width, plan.full_height) > kSingleLevelTileSize) {
    run->tilepath_of_run = settings.tilepath;
    settings.tilepath = single_level_tile_path(settings, settings.tilepath);
    settings.multires = true;
    run->multires_for_one = true;
  }
  InputPaths paths = expand_input_paths(settings, work->names);
  // Every url is relative to the folder the XML is written to: for scenes, the last input's.
  paths.xml = scene_xml_path(run, work->index);
  if (!settings.quiet) {
    if (is_frame_run(run)) {
      ops->log(ops, kClearLine, "");
    } else {
      ops->log(ops, "%s", kMakingImages);
    }
  }

  ExtraImageContext context;
  context.settings = &settings;
  context.input = &input;
  context.names = &work->names;
  context.defaults = &run->tile_defaults;
  context.ops = ops;
  context.xml_path = paths.xml;
  ExtraImages images;
  const bool preview_allowed =
      settings.preview && !settings.frames && settings.intilesize.width == 0;
  if (preview_allowed && !cube) make_preview(context, paths.preview, &images);

  // With helper threads a cube's preview is made while its largest level is cut.
  PreviewAheadPtr preview_ahead;
  if (cube_preview_due(settings, input) && thread_count() > 1) {
    preview_ahead = start_preview_ahead(context, paths.preview);
  }
  LevelHook hook;
  hook.run = run;
  hook.context = &context;
  hook.paths = &paths;
  hook.images = &images;
  hook.preview_ahead = preview_ahead.get();
  LevelCut cut;
  cut.settings = &settings;
  cut.input = &input;
  cut.plan = &plan;
  cut.names = &work->names;
  cut.tilepath = paths.tilepath;
  cut.defaults = &run->tile_defaults;
  cut.ops = ops;
  cut.frame = static_cast<int32_t>(work->index) + 1;
  cut.frame_count = static_cast<int32_t>(count);
  cut.after_level = after_level;
  cut.user = &hook;
  if (!cut_levels(cut)) return false;
  if (!settings.frames) {
    if (!make_device_faces(context, paths.mobile, paths.tablet, &images)) return false;
    if (!make_custom_images(context, &images)) return false;
  }

  // Every tile of this input exists now; only then may an XML file point at them.
  const bool scene_due = !settings.frames || last;
  bool xml_written = false;
  if (run->shard.active) {
    SceneRequest request;
    request.settings = &settings;
    request.input = &input;
    request.plan = &plan;
    request.names = &work->names;
    request.images = &images;
    request.tilepath = paths.tilepath;
    request.xml_path = paths.xml;
    request.multires = settings.multires;
    return write_scene_manifest(run, *work, request, paths);
  }
  if (settings.xml && run->templates.xml_loaded && scene_due) {
    SceneRequest request;
    request.settings = &settings;
    request.input = &input;
    request.plan = &plan;
    request.names = &work->names;
    request.images = &images;
    request.tilepath = paths.tilepath;
    request.xml_path = paths.xml;
    request.frame_count = settings.frames ? static_cast<int32_t>(count) : 1;
    request.multires = settings.multires;
    xml_written = write_scene(request, run->templates.xml, last, ops, &run->xml_state);
  }
  const bool page_due = !settings.makescenes || last;
  if (settings.html && run->templates.html_loaded && page_due && xml_written) {
    if (!write_page(run, *work, paths)) return false;
  }
  // Sealing is the last step, once the XML file is complete.
  if (xml_written && page_due && !seal_tour(settings, ops, paths.xml)) return false;
  return true;
}

// Processes input index; false when the run must end at once.
bool process_input(MakepanoRun* run, size_t index) {
  PanoSettings& settings = run->settings;
  if (run->multires_for_one) {
    settings.multires = false;
    settings.tilepath = run->tilepath_of_run;
    run->multires_for_one = false;
  }
  InputWork work;
  work.index = index;
  work.input = run->inputs[index];
  const std::string shown_path = naming_path(work.input);
  // A shard writes no XML; the merge asks about an existing one.
  if (!run->shard.active && !xml_target_ready(run, index)) {
    run->ops->log(run->ops, kKeptXml, file_name_part(shown_path).c_str(),
                  scene_xml_path(run, index).c_str());
    note_skipped(run, shown_path, kReasonKeptXml);
    return true;
  }
  const PanoInput& naming = settings.frames ? run->inputs.front() : work.input;
  work.names = make_pano_names(settings, naming, static_cast<int32_t>(index) + 1);
  work.report = !settings.quiet && (!settings.frames || index == 0);
  const PanoInput original = work.input;

  const CubeConversion conversion = plan_cube_conversion(settings, &work.input);
  bool made = true;
  if (conversion.convert && !convert_input(run, &work, conversion)) {
    delete_temporaries(&work);
    note_skipped(run, shown_path, kReasonConversion);
    return true;  // the user chose not to go on with this image
  }
  if (made && is_strip_type(work.input.type)) made = split_strip(run, &work);
  if (made && original.type == kPanoCube) made = turn_named_faces(run, &work);
  if (made && original.type == kPanoCube) {
    work.input.hfov = 360;
    work.input.vfov = 180;
  }
  const int64_t started = timer_ticks();
  if (made) made = make_input(run, &work, original);
  delete_temporaries(&work);
  if (!made) return false;
  ++run->made;
  SummaryInput entry;
  entry.input = shown_path;
  entry.outcome = kOutcomeMade;
  entry.planned = true;
  entry.plan = work.plan;
  entry.tiles = plan_tile_count(work.plan, work.input.type == kPanoCube, work.input.two_eyes);
  entry.seconds = ticks_to_seconds(timer_ticks() - started);
  run->summary.inputs.push_back(entry);
  if (!settings.quiet) {
    run->ops->log(run->ops, kClearLine, "");
    run->ops->log(run->ops, "%s",
                  index + 1 < run->inputs.size() && settings.frames ? kFrameDone : kDone);
  }
  return true;
}

// The tiling defaults of the run.
void prepare_tile_defaults(MakepanoRun* run) {
  const PanoSettings& settings = run->settings;
  TileJob& job = run->tile_defaults;
  init_tile_job(&job);
  job.quiet = settings.quiet;
  job.info_off = settings.frames ? 2 : 1;
  job.index_base = settings.indexbase;
  if (settings.jpegquality > 0) job.jpeg_quality = settings.jpegquality;
  if (settings.jpegsubsamp > 0) job.jpeg_subsampling = settings.jpegsubsamp;
  job.jpeg_optimize = settings.jpegoptimize;
  job.jpeg_progressive = settings.jpegprogressive;
  const int32_t filter = parse_filter_name(settings.filter.c_str());
  if (filter > 0) job.filter = filter;
  ProfileMode mode = kProfileSkip;
  if (!parse_profile_mode(settings.profile, &mode)) mode = kProfileSkip;
  job.profile_mode = mode;
}

// Inputs the analysis left out: every input file no record uses.
void note_unused_inputs(MakepanoRun* run) {
  std::set<std::string> used;
  for (const PanoInput& input : run->inputs) {
    used.insert(input.path);
    used.insert(input.left_path);
    used.insert(input.right_path);
    for (int32_t side = 0; side < kCubeSideCount; ++side) {
      used.insert(input.faces[side]);
      used.insert(input.second_eye_faces[side]);
    }
  }
  for (const std::string& path : run->input_paths) {
    if (used.count(path)) continue;
    const char* reason = is_directory(path) ? kReasonFolder
                         : image_probe(path) ? kReasonNotUsed
                                             : kReasonNotImage;
    note_skipped(run, path, reason);
  }
}

// Whether a tile template numbers frames: "%f" with any "0" or "A" between.
bool has_frame_placeholder(const std::string& path) {
  for (size_t at = path.find('%'); at != std::string::npos; at = path.find('%', at + 1)) {
    size_t next = at + 1;
    while (next < path.size() && (path[next] == '0' || path[next] == 'A')) ++next;
    if (next < path.size() && (path[next] == 'f' || path[next] == 'F')) return true;
  }
  return false;
}

// Checks the settings of the run before any input is read; false after naming the setting.
bool check_run_settings(MakepanoRun* run) {
  const PanoSettings& settings = run->settings;
  if (!settings.levelsizes.empty() && !level_sizes_valid(settings.levelsizes)) {
    run->ops->log(run->ops, kBadLevelSizes, settings.levelsizes.c_str());
    return false;
  }
  if (!settings.memlimit.empty()) {
    const int64_t bytes = qvmem_parse_memory_size(settings.memlimit.c_str());
    if (bytes <= 0) {
      run->ops->log(run->ops, kBadMemoryLimit, settings.memlimit.c_str());
      return false;
    }
    qvmem_set_memory_limit(bytes);
  }
  if (settings.frames && !has_frame_placeholder(settings.tilepath)) {
    run->ops->log(run->ops, kFramesWithoutFrameNumber, settings.tilepath.c_str());
    return false;
  }
  if (!settings.outputfolder.empty()) {
    create_directories_for(settings.outputfolder + "/x");
    if (!is_directory(settings.outputfolder)) {
      run->ops->log(run->ops, kBadOutputFolder, settings.outputfolder.c_str());
      return false;
    }
  }
  return true;
}

bool asks_for_help(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    for (const char* word : kHelpWords) {
      if (lowered_ascii(argv[i]) == word) return true;
    }
  }
  return false;
}

// The bytes of the tiles an XML file lists, added to the summary's count.
void add_tile_bytes(MakepanoRun* run, const std::string& xml_path) {
  if (run->summary.tile_bytes < 0) run->summary.tile_bytes = 0;
  for (const std::string& tile : listed_tile_files(xml_path)) {
    struct stat info;
    if (stat(tile.c_str(), &info) == 0) run->summary.tile_bytes += info.st_size;
  }
}

// Writes the summary when one was asked for; a failure makes the run's status 1.
int end_with_summary(MakepanoRun* run, int status) {
  if (run->summary_path.empty()) return status;
  run->summary.status = status;
  run->summary.seconds = ticks_to_seconds(timer_ticks() - run->start_ticks);
  run->summary.shard_index = run->shard.index;
  run->summary.shard_count = run->shard.count;
  run->summary.mode = run->merge ? "merge" : run->shard.active ? "shard" : "one machine";
  if (!write_run_summary(run->summary_path, run->summary)) {
    run->ops->log(run->ops, kSummaryFailed, run->summary_path.c_str());
    return 1;
  }
  return status;
}

// The words that define the tour: the arguments (no shard words), the texts of the config and
// the templates, and each input's name, size and modification time. Shards and the merge must
// agree on them.
std::string run_plan_key(const MakepanoRun* run) {
  std::vector<std::string> words = run->plan_args;
  words.push_back(read_file_text(run->settings.config_path));
  const PanoTemplates& templates = run->templates;
  for (const std::string* text : {&templates.html, &templates.xml.main, &templates.xml.scene,
                                  &templates.xml.view, &templates.xml.hotspot}) {
    words.push_back(*text);
  }
  for (const std::string& path : run->input_paths) {
    struct stat info;
    words.push_back(path);
    if (stat(path.c_str(), &info) == 0) {
      words.push_back(std::to_string(static_cast<long long>(info.st_size)));
      words.push_back(std::to_string(static_cast<long long>(info.st_mtime)));
    }
  }
  return plan_key_of(words);
}

// The command that re-runs one shard of this run.
std::string shard_command(const MakepanoRun* run, int32_t index, int32_t count) {
  std::string command = kProgramWords;
  for (const std::string& argument : run->plan_args) command += " " + shell_word(argument);
  return command + " -shard=" + std::to_string(index) + "/" + std::to_string(count);
}

// Removes the manifests a merge used, the partial ones of killed tasks, and the hidden folders.
void remove_manifests(const std::vector<std::string>& paths) {
  std::set<std::string> folders;
  for (const std::string& path : paths) {
    delete_file(path);
    folders.insert(path.substr(0, path.find_last_of('/')));
  }
  for (const std::string& folder : folders) {
    for (const std::string& part : list_directory(folder + "/*" + kManifestPartSuffix)) {
      delete_file(part);
    }
    rmdir(folder.c_str());
  }
}

// Tiles an XML file listed before it was replaced and lists no more: removed, so that the tile
// folders hold what the new XML lists, as after a one-machine run that replaced it.
void remove_unlisted_tiles(const std::vector<std::string>& before, const std::string& xml_path) {
  const std::vector<std::string> after = listed_tile_files(xml_path);
  const std::set<std::string> kept(after.begin(), after.end());
  for (const std::string& tile : before) {
    if (!kept.count(tile) && !is_directory(tile)) delete_file(tile);
  }
}

// The XML files and pages from the shards' manifests; status 1 when a scene is missing.
int run_merge(MakepanoRun* run) {
  const PanoSettings& settings = run->settings;
  std::vector<ExpectedScene> expected;
  std::vector<std::string> names;
  for (size_t k = 0; k < run->inputs.size(); ++k) {
    ExpectedScene scene;
    scene.manifest_path = manifest_path(scene_xml_path(run, k), k);
    scene.input = naming_path(run->inputs[k]);
    names.push_back(scene.input);
    expected.push_back(scene);
  }
  const MergeCheck check = check_manifests(expected, run->plan_key);
  if (!check.missing.empty()) {
    std::string list;
    for (size_t k : check.missing) {
      list += (list.empty() ? "" : ", ") + file_name_part(names[k]);
      SummaryInput entry;
      entry.input = names[k];
      entry.outcome = kOutcomeMissing;
      run->summary.inputs.push_back(entry);
    }
    run->ops->log(run->ops, kMergeMissing, static_cast<int>(check.missing.size()),
                  static_cast<int>(names.size()), list.c_str());
    const std::vector<int32_t> owners = shard_owners(names, check.shard_count);
    std::set<int32_t> shards;
    for (size_t k : check.missing) shards.insert(owners[k]);
    run->ops->log(run->ops, kMergeRerun);
    for (int32_t shard : shards) {
      run->ops->log(run->ops, kMergeRerunLine,
                    shard_command(run, shard, check.shard_count).c_str());
    }
    return end_with_summary(run, 1);
  }
  int status = run->status;
  for (const MergedFile& file : merge_scenes(settings, run->templates.xml, check.manifests)) {
    if (settings.askforxmloverwrite && open_file(file.xml_path, "rb") &&
        !ask_overwrite(run->ops, run->keys, file.xml_path)) {
      run->ops->log(run->ops, kKeptXml, file_name_part(file.xml_path).c_str(),
                    file.xml_path.c_str());
      status = 1;
      continue;
    }
    const std::vector<std::string> listed_before = listed_tile_files(file.xml_path);
    if (!write_xml_file(settings, run->ops, file.xml_path, file.text)) {
      return end_with_summary(run, 1);
    }
    remove_unlisted_tiles(listed_before, file.xml_path);
    add_tile_bytes(run, file.xml_path);
    const bool page_wanted = settings.html && run->templates.html_loaded;
    if (!page_wanted) {
      if (!seal_tour(settings, run->ops, file.xml_path)) return end_with_summary(run, 1);
      continue;
    }
    int32_t scene_count = file.scene_count;
    int32_t flash_only_count = file.flash_only_count;
    HtmlPageRequest request;
    request.settings = &settings;
    request.output_base = html_output_base(file.xml_path);
    request.page_path = file.html_path;
    request.xml_path = file.xml_path;
    if (settings.flash) {
      request.swf_path = request.output_base + ".swf";
      create_directories_for(request.swf_path);
    }
    request.display_name = file.display_name;
    request.base_name = file.base_name;
    request.scene_count = &scene_count;
    request.flash_only_count = &flash_only_count;
    request.viewer_script = run->viewer_script;
    request.ops = run->ops;
    request.keys = &run->keys;
    if (write_html_page(request) != 0) return end_with_summary(run, 1);
    if (!seal_tour(settings, run->ops, file.xml_path)) return end_with_summary(run, 1);
  }
  std::vector<std::string> used;
  for (size_t k = 0; k < expected.size(); ++k) {
    used.push_back(expected[k].manifest_path);
    SummaryInput entry;
    entry.input = names[k];
    entry.outcome = kOutcomeMerged;
    entry.planned = true;
    entry.plan = check.manifests[k].plan;
    entry.tiles = check.manifests[k].tile_count;
    run->summary.inputs.push_back(entry);
  }
  remove_manifests(used);
  if (!settings.quiet) {
    run->ops->log(run->ops, kMergedLine, static_cast<int>(expected.size()), check.shard_count);
  }
  return end_with_summary(run, status);
}

int finish_run(MakepanoRun* run) {
  if (!run->skipped.empty() && !run->settings.quiet) {
    std::string list;
    for (const std::string& entry : run->skipped) list += (list.empty() ? "" : ", ") + entry;
    run->ops->log(run->ops, kMadeOf, run->made,
                  run->made + static_cast<int32_t>(run->skipped.size()), list.c_str());
  }
  if (run->settings.verbose) {
    run->ops->log(run->ops, kRuntime, ticks_to_seconds(timer_ticks() - run->start_ticks));
  }
  pause_for_key(run);
  if (!run->shard.active && !run->summary_path.empty()) {
    for (const std::string& xml : run->confirmed_xml) add_tile_bytes(run, xml);
  }
  return end_with_summary(run, run->status);
}

}  // namespace

int makepano_main(int argc, char** argv, ConsoleOps* ops) {
  MakepanoRun run;
  run.ops = ops ? ops : console_ops();
  run.keys = stdin_key_input();
  run.settings = default_pano_settings();
  if (run.ops->log == console_ops()->log) console_skip_overwritten_lines_off_terminal();
  if (asks_for_help(argc, argv)) {
    print_banner_line(&run);
    run.ops->log(run.ops, "\n%s", kUsage);
    const DataFileSearch stock = find_data_file("tour.config", false);
    const std::string stock_folder =
        stock.found.empty() ? module_directory() + "templates/" : absolute_path(stock.found, true);
    run.ops->log(run.ops, kUsageMore, stock_folder.c_str());
    return 0;
  }
  std::string config;
  if (!select_config(argc, argv, &config)) {
    print_banner_line(&run);
    if (argc > 1) {
      run.ops->log(run.ops, kNoConfig);
    } else {
      run.ops->log(run.ops, "\n%s\n", kUsage);
    }
    return fail_start(&run);
  }
  DataFileSearch config_search;
  if (!load_run_config(&run, config, &config_search)) {
    run.ops->log(run.ops, kConfigFailed, config.c_str());
    if (config_search.found.empty()) print_searched_places(run, config_search);
    return fail_start(&run);
  }
  if (!run.settings.quiet) {
    print_banner_line(&run);
    run.ops->log(run.ops, kUsingConfig, file_name_part(run.settings.config_path).c_str());
  }
  // Layered documents follow the config's choice; the command line cannot change it.
  psd_set_ignore_layers(run.settings.ignorelayers);
  if (!apply_command_line(&run, argc, argv)) return fail_start(&run);
  if (!check_run_settings(&run)) return fail_start(&run);
  if (run.shard.active && run.merge) {
    run.ops->log(run.ops, kShardAndMerge);
    return fail_start(&run);
  }
  if ((run.shard.active || run.merge) && run.settings.frames) {
    run.ops->log(run.ops, kShardFrames);
    return fail_start(&run);
  }
  const PanoSettings& settings = run.settings;
  if (!settings.quiet && !run.banner_printed) print_banner_line(&run);
  if (run.input_paths.empty()) {
    run.ops->log(run.ops, kNoInputs);
    return fail_start(&run);
  }
  if (!settings.quiet && (!settings.html5 || !settings.flash)) {
    run.ops->log(run.ops, kOutputKinds, settings.html5 ? "yes" : "no",
                 settings.flash ? "yes" : "no", "");
  }
  if (!analyse_inputs(run.input_paths, settings, run.ops, run.keys, &run.inputs)) {
    return fail_start(&run);
  }
  // Every input was unreadable or skipped: nothing can be made, and that is no success.
  if (run.inputs.empty()) {
    run.ops->log(run.ops, kNoInputs);
    return fail_start(&run);
  }
  if (!load_templates(&run)) return fail_start(&run);
  run.plan_key = run_plan_key(&run);
  if (settings.html && !settings.xml && run.templates.html_loaded) {
    if (!settings.quiet) run.ops->log(run.ops, kPageNeedsXml);
    run.templates.html_loaded = false;
  }
  note_unused_inputs(&run);
  prepare_tile_defaults(&run);
  const DataFileSearch viewer_search = viewer_script_search();
  run.viewer_script = viewer_search.found;
  // Where the data files came from goes to the error stream: the status lines stay as they are.
  if (settings.verbose) {
    run.ops->log_error(run.ops, kDataFileFrom, utf8_to_console(settings.config_path).c_str());
    if (settings.html) {
      const std::string path = template_path(settings, settings.htmltemplate);
      run.ops->log_error(run.ops, kDataFileFrom, utf8_to_console(path).c_str());
    }
    if (settings.xml) {
      const std::string path = template_path(settings, settings.xmltemplate);
      run.ops->log_error(run.ops, kDataFileFrom, utf8_to_console(path).c_str());
    }
    if (!viewer_search.found.empty()) {
      run.ops->log_error(run.ops, kDataFileFrom, utf8_to_console(viewer_search.found).c_str());
    } else {
      run.ops->log_error(run.ops, kNoViewerScript);
      print_searched_places(run, viewer_search);
    }
  }
  run.start_ticks = timer_ticks();
  seed_temporary_names(static_cast<uint32_t>(time(nullptr)));

  if (run.merge) return run_merge(&run);
  std::vector<int32_t> owners(run.inputs.size(), 0);
  if (run.shard.active) {
    std::vector<std::string> names;
    for (const PanoInput& input : run.inputs) names.push_back(naming_path(input));
    owners = shard_owners(names, run.shard.count);
  }
  const TempFileScope temporary_files;
  for (size_t k = 0; k < run.inputs.size(); ++k) {
    if (owners[k] != run.shard.index) {
      SummaryInput entry;
      entry.input = naming_path(run.inputs[k]);
      entry.outcome = kOutcomeOtherShard;
      run.summary.inputs.push_back(entry);
      continue;
    }
    if (!process_input(&run, k)) return end_with_summary(&run, 1);
  }
  return finish_run(&run);
}
