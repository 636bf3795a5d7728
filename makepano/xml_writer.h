// The scene XML of a tour: the image element with its levels and tile urls, the placeholders of
// the templates, the scenes of a makescenes run collected into one file, the question before an
// existing file is replaced, and the files copied beside the XML.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ConsoleOps;
struct ExtraImages;
struct KeyInput;
struct LevelPlan;
struct PanoInput;
struct PanoNames;
struct PanoSettings;

// Template texts of the run (empty when unset or unreadable).
struct XmlTemplates {
  std::string main;
  std::string scene;
  std::string view;
  std::string hotspot;
};

// What the run collects across inputs.
struct XmlRunState {
  std::string scenes;            // scene texts of a makescenes run, in input order
  int32_t scene_count = 0;       // scenes written since the last page
  int32_t flash_only_count = 0;  // of those, scenes marked Flash-only
  bool any_gps = false;          // some input had GPS data
};

// One input as the XML describes it.
struct SceneRequest {
  const PanoSettings* settings = nullptr;
  const PanoInput* input = nullptr;  // after conversion
  const LevelPlan* plan = nullptr;
  const PanoNames* names = nullptr;
  const ExtraImages* images = nullptr;
  std::string tilepath;  // tilepath after expand_input_template
  std::string xml_path;  // the XML file the urls are relative to
  int32_t frame_count = 1;
  bool multires = true;  // this input's multires (on for large single images)
};

// Escapes a name for XML and page templates: quote, ampersand, apostrophe, angle brackets as
// entities, square brackets as %5B and %5D.
std::string escape_template_text(const std::string& text);

// The url template of one level's tiles (cube side placeholder "%s" for the short syntax).
std::string level_tile_url(const SceneRequest& request, int32_t level_index, int32_t side);

// The image element, with "[TABS]" and "[IMAGEEPARAMETERS]" left in.
std::string image_element(const SceneRequest& request);

// The scene text with every placeholder of the table replaced.
std::string fill_scene(const std::string& text, const SceneRequest& request,
                       const XmlTemplates& templates);

// Replaces "[NAME]" by VALUE for each "NAME:VALUE" entry whose name has two bytes or more.
std::string apply_template_variables(const std::string& text,
                                     const std::vector<std::string>& entries);

// Asks whether an existing file may be replaced; true for yes, false for no or no answer.
bool ask_overwrite(ConsoleOps* ops, const KeyInput& keys, const std::string& path);

// Writes one XML file and copies the additional files beside it. True when the file was
// written. Whether an existing file may be replaced is asked by the caller, before anything of
// the input is written.
bool write_xml_file(const PanoSettings& settings, ConsoleOps* ops, const std::string& path,
                    const std::string& text);

// The text one input contributes: the whole XML file, or for makescenes its scene element.
std::string scene_text(const SceneRequest& request, const XmlTemplates& templates);

// Whether the scene is shown by the Flash viewer only (counted for the page's [HTML5] word).
bool scene_is_flash_only(const PanoInput& input);

// The XML file of a makescenes run from the collected scenes.
std::string scenes_file_text(const PanoSettings& settings, const XmlTemplates& templates,
                             const XmlRunState& state);

// The scene of one input: written as its own file, or collected (and written at the last input)
// when makescenes is on. True when an XML file was written for this input.
bool write_scene(const SceneRequest& request, const XmlTemplates& templates, bool last_input,
                 ConsoleOps* ops, XmlRunState* state);

// The tile files an existing XML file lists (multires levels, every side, eye, frame, row and
// column), absolute and sorted; urls that are absolute or name another host are left out.
// Empty when the file cannot be read.
std::vector<std::string> listed_tile_files(const std::string& xml_path);
