// The makepano entry: start-up (config selection and loading, command-line settings, inputs,
// analysis, templates), then one pass over the analysed inputs that decides what each becomes
// (converted or split into cube faces) and plans its levels, printing the input and level lines.
// The run ends there for now: no face, tile, preview, XML or HTML file is written yet, so what an
// input becomes is decided from its record (the face size a conversion would give) instead of
// being read from converted files.
#include "makepano/makepano_tool.h"

#include <algorithm>
#include <string>
#include <vector>

#include "base/args.h"
#include "base/banner.h"
#include "base/console.h"
#include "base/files.h"
#include "base/paths.h"
#include "imageio/psd_codec.h"
#include "makepano/config_file.h"
#include "makepano/cube_conversion.h"
#include "makepano/input_analysis.h"
#include "makepano/key_input.h"
#include "makepano/level_plan.h"
#include "makepano/pano_names.h"
#include "makepano/pano_settings.h"
#include "render/tiling.h"

namespace {

// ---- texts ----

constexpr char kTitle[] = "qorvel makepano tool";
constexpr char kBanner[] = "\n%s %s%s%s (build %s)\n";
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

constexpr char kConfigExtension[] = "config";

// ---- run state ----

// Template texts loaded before the first input; empty when not used or not set.
struct PanoTemplates {
  bool html_loaded = false;
  bool xml_loaded = false;
  std::string html;
  std::string xml;
  std::string xml_scene;
  std::string xml_view;
  std::string xml_hotspot;
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
};

void print_banner_line(MakepanoRun* run) {
  run->ops->log(run->ops, kBanner, kTitle, kProductVersion, kPlatformSuffix, kEditionSuffix,
                kBuildDate);
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
    if (open_file(argument, "rb") || is_directory(argument)) return {argument};
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
    templates.xml = template_text(settings, settings.xmltemplate);
    if (templates.xml.empty()) {
      run->ops->log(run->ops, kXmlTemplateFailed,
                    template_path(settings, settings.xmltemplate).c_str());
      return false;
    }
    templates.xml_loaded = true;
  }
  templates.xml_view = template_text(settings, settings.xmltemplate_view);
  templates.xml_hotspot = template_text(settings, settings.xmltemplate_hotspot);
  templates.xml_scene = template_text(settings, settings.xmltemplate_scene);
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

// Decides what input index becomes, plans its levels and prints its lines; false when its level
// sizes yield no level.
bool plan_input(MakepanoRun* run, size_t index) {
  const PanoSettings& settings = run->settings;
  const PanoInput& original = run->inputs[index];
  const PanoInput& naming = settings.frames ? run->inputs.front() : original;
  const PanoNames names = make_pano_names(settings, naming, static_cast<int32_t>(index) + 1);
  PanoInput filled = original;
  const CubeConversion conversion = plan_cube_conversion(settings, &filled);
  PanoInput input = converted_record(filled, conversion);
  if (original.type == kPanoCube) {
    input.hfov = 360;
    input.vfov = 180;
  }
  const bool report = !settings.quiet && (!settings.frames || index == 0);
  if (report) {
    print_processing_line(run, index);
    print_input_line(run, original, input, names);
    print_output_line(run);
  }
  LevelPlan plan;
  if (!plan_levels(settings, input, &plan)) return false;
  if (report) run->ops->log(run->ops, "%s", level_summary_text(settings, input, plan).c_str());
  return true;
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
  if (!load_templates(&run)) return fail_start(&run);
  run.start_ticks = timer_ticks();

  for (size_t k = 0; k < run.inputs.size(); ++k) {
    if (!plan_input(&run, k)) return 1;
  }
  return finish_run(&run);
}
