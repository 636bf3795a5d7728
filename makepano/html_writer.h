// The page of a tour: the HTML template with the paths of the XML file and the viewer script
// and the tour's name filled in, the template's companion files copied beside it, and the
// browser viewer script written at the tour's output base + ".js".
#pragma once

#include <cstdint>
#include <string>

#include "base/paths.h"

struct ConsoleOps;
struct KeyInput;
struct PanoSettings;

// One page to write.
struct HtmlPageRequest {
  const PanoSettings* settings = nullptr;
  std::string output_base;         // the tour's path without extension (script and default page)
  std::string page_path;           // the page file; empty: output_base + ".html"
  std::string xml_path;            // the XML file of the tour
  std::string swf_path;            // the Flash viewer file; empty when flash is off
  std::string display_name;        // [NAME]
  std::string base_name;           // [BASENAME]
  int32_t* scene_count = nullptr;  // scenes written since the last page; reset here
  int32_t* flash_only_count = nullptr;  // of those, Flash-only scenes; reset here
  std::string viewer_script;  // file copied to output_base + ".js"; empty: the built-in viewer
  ConsoleOps* ops = nullptr;
  const KeyInput* keys = nullptr;  // for the Enter pause after a missing template
};

// The output base of an XML path: cut at the first ".xml" of its file name.
std::string html_output_base(const std::string& xml_path);

// Replaces every key by its value, searching on after each inserted value.
std::string replace_placeholder(const std::string& text, const std::string& key,
                                const std::string& value);

// Line ends of a page: CR LF pairs, LF CR pairs and lone CRs become LF, then every LF CR LF.
std::string page_line_ends(const std::string& text);

// The [HTML5] word for the flash and html5 switches, the mode text and the scene counts.
std::string html5_mode_word(bool flash, bool html5, const std::string& mode, int32_t scene_count,
                            int32_t flash_only_count);

// The page text made from a template (steps before writing: names, paths, mode, variables).
std::string fill_page(const std::string& template_text, const HtmlPageRequest& request,
                      const std::string& page_file);

// Writes the page, its companion files and the viewer script. 1 when the template could not be
// loaded (the run ends), else 0 (also when the page itself could not be written).
int write_html_page(const HtmlPageRequest& request);

// The browser viewer script ("viewer.js") looked for in the data folders (find_data_file).
DataFileSearch viewer_script_search();
// The path of the first match, empty when missing.
std::string installed_viewer_script();
