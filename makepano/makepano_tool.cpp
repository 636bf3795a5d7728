// The makepano entry: start-up (config selection and loading, command-line settings, inputs,
// analysis, templates), then one pass over the analysed inputs: conversion to cube faces by the
// transform tool or strip splitting, level planning, preview, tiles, thumbnail, extra images,
// the scene XML (only once every tile of the input is written) and the page. Temporary faces
// are registered so that no way out of the run, a stop signal included, leaves them behind.
#include "makepano/makepano_tool.h"

#include <algorithm>
#include <cmath>
#include <ctime>
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
#include "makepano/temp_files.h"
#include "makepano/tile_output.h"
#include "makepano/xml_writer.h"
#include "render/resize.h"
#include "render/sphere_to_cube.h"
#include "render/tiling.h"
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
  TileJob tile_defaults;          // encoding, filter and profile of every tiling job
  XmlRunState xml_state;          // scenes and counters across inputs
  bool multires_for_one = false;  // multires was switched on for the previous input only
  std::string tilepath_of_run;    // tilepath before a single-level input changed it
  std::string viewer_script;      // the browser viewer copied beside each page
};

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

// Loads the config, retrying a relative path from the executable's folder.
bool load_run_config(MakepanoRun* run, const std::string& path) {
  if (load_config_file(&run->settings, path, false, run->ops)) {
    run->settings.config_path = path;
    return true;
  }
  if (is_absolute_setting_path(path)) return false;
  const std::string beside_program = module_directory() + path;
  if (!load_config_file(&run->settings, beside_program, false, run->ops)) return false;
  run->settings.config_path = beside_program;
  return true;
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

// Applies the settings, flags and inputs of the command line; false after a bad argument.
bool apply_command_line(MakepanoRun* run, int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
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
    if (files.empty()) run->ops->log(run->ops, kNoInputFound, argument.c_str());
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

// Everything of one input after its conversion; false when the run must end.
bool make_input(MakepanoRun* run, InputWork* work, const PanoInput& original) {
  PanoSettings& settings = run->settings;
  ConsoleOps* ops = run->ops;
  PanoInput& input = work->input;
  const bool cube = input.type == kPanoCube;
  const size_t count = run->inputs.size();
  const bool last = work->index + 1 == count;
  if (work->report) print_input_lines(run, work, original);
  LevelPlan plan;
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
  const InputPaths paths = expand_input_paths(settings, work->names);
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
    xml_written = write_scene(request, run->templates.xml, last, ops, run->keys, &run->xml_state);
  }
  const bool page_due = !settings.makescenes || last;
  if (settings.html && run->templates.html_loaded && page_due && (xml_written || !settings.xml)) {
    if (!write_page(run, *work, paths)) return false;
  }
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
  const PanoInput& naming = settings.frames ? run->inputs.front() : work.input;
  work.names = make_pano_names(settings, naming, static_cast<int32_t>(index) + 1);
  work.report = !settings.quiet && (!settings.frames || index == 0);
  const PanoInput original = work.input;

  const CubeConversion conversion = plan_cube_conversion(settings, &work.input);
  bool made = true;
  if (conversion.convert && !convert_input(run, &work, conversion)) {
    delete_temporaries(&work);
    return true;  // the user chose not to go on with this image
  }
  if (made && is_strip_type(work.input.type)) made = split_strip(run, &work);
  if (made && original.type == kPanoCube) made = turn_named_faces(run, &work);
  if (made && original.type == kPanoCube) {
    work.input.hfov = 360;
    work.input.vfov = 180;
  }
  if (made) made = make_input(run, &work, original);
  delete_temporaries(&work);
  if (!made) return false;
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

int finish_run(MakepanoRun* run) {
  if (run->settings.verbose) {
    run->ops->log(run->ops, kRuntime, ticks_to_seconds(timer_ticks() - run->start_ticks));
  }
  pause_for_key(run);
  return run->status;
}

}  // namespace

int makepano_main(int argc, char** argv, ConsoleOps* ops) {
  MakepanoRun run;
  run.ops = ops ? ops : console_ops();
  run.keys = stdin_key_input();
  run.settings = default_pano_settings();

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
  if (!load_run_config(&run, config)) {
    run.ops->log(run.ops, kConfigFailed, config.c_str());
    return fail_start(&run);
  }
  if (!run.settings.quiet) {
    print_banner_line(&run);
    run.ops->log(run.ops, kUsingConfig, file_name_part(run.settings.config_path).c_str());
  }
  // Layered documents follow the config's choice; the command line cannot change it.
  psd_set_ignore_layers(run.settings.ignorelayers);
  if (!apply_command_line(&run, argc, argv)) return fail_start(&run);
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
  prepare_tile_defaults(&run);
  run.viewer_script = installed_viewer_script();
  run.start_ticks = timer_ticks();
  seed_temporary_names(static_cast<uint32_t>(time(nullptr)));

  const TempFileScope temporary_files;
  for (size_t k = 0; k < run.inputs.size(); ++k) {
    if (!process_input(&run, k)) return 1;
  }
  return finish_run(&run);
}
