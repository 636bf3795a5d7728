#include "makepano/html_writer.h"

#include <algorithm>

#include "base/console.h"
#include "base/files.h"
#include "base/paths.h"
#include "base/text.h"
#include "makepano/key_input.h"
#include "makepano/pano_settings.h"
#include "makepano/tile_output.h"
#include "makepano/viewer_script.h"
#include "makepano/xml_writer.h"

namespace {

constexpr char kTemplateFailed[] = "ERROR: unable to load html template: %s\n\n";
constexpr char kPressEnter[] = "press enter to continue...\n";
constexpr char kCopyFailed[] = "ERROR: unable to copy file \"%s\" to \"%s\"!\n";
constexpr char kCreateFailed[] = "ERROR: can't create file \"%s\"!\n";
constexpr char kScriptFailed[] = "ERROR: unable to copy file \"%s\" to \"%s\"!\n";
constexpr char kNoFlashOption[] = "swf:\"\", ";
constexpr char kViewerScriptName[] = "viewer.js";
constexpr char kBuiltInScript[] = "WARNING: the viewer built into qorveltools is written instead.\n";
constexpr char kNoPageWithoutScript[] = "ERROR: no page without its viewer script: \"%s\" is not written.\n";

std::string slashes(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

// The folder part of a path with its separator; empty when it has none.
std::string folder_of(const std::string& path) {
  const size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

// A path as seen from the folder of the page file.
std::string relative_to_page(const std::string& page_file, const std::string& target) {
  std::string relative;
  if (!relative_path(absolute_path(page_file, true), target, &relative)) relative = target;
  return slashes(relative);
}

void copy_companion_files(const HtmlPageRequest& request, const std::string& template_path) {
  const PanoSettings& settings = *request.settings;
  ConsoleOps* ops = request.ops;
  const std::string template_folder = absolute_path(template_path, true);
  for (std::string entry : settings.htmltemplate_additional_file) {
    if (entry.size() >= 2 && entry.compare(entry.size() - 2, 2, "+x") == 0) {
      entry.resize(entry.size() - 2);
    }
    const std::string source = slashes(resolve_setting_path(settings.config_path, entry));
    std::string relative;
    if (!relative_path(template_folder, source, &relative)) relative = file_name_part(source);
    const std::string destination = folder_of(request.page_path) + relative;
    create_directories_for(destination);
    if (!copy_file(source, destination)) {
      ops->log(ops, kCopyFailed, utf8_to_console(source).c_str(),
               utf8_to_console(destination).c_str());
    }
  }
}

// Copies a script file to the script path; a message when it fails.
bool copy_script(ConsoleOps* ops, const std::string& source, const std::string& script_path) {
  if (copy_file(source, script_path)) return true;
  ops->log(ops, kScriptFailed, utf8_to_console(source).c_str(),
           utf8_to_console(script_path).c_str());
  return false;
}

// The viewer script beside the page: the user's own script (qorveljs) when one is named, else
// the viewer.js installed beside the executable, else the viewer built in. A script that cannot
// be copied is replaced by the built-in one; false only when no script could be written.
bool write_viewer_script(const HtmlPageRequest& request, const std::string& script_path) {
  ConsoleOps* ops = request.ops;
  const PanoSettings& settings = *request.settings;
  std::string source;
  if (!settings.qorveljs.empty()) {
    source = slashes(resolve_setting_path(settings.config_path, settings.qorveljs));
  } else {
    source = request.viewer_script;
  }
  if (!source.empty()) {
    if (copy_script(ops, source, script_path)) return true;
    ops->log(ops, "%s", kBuiltInScript);
  }
  if (write_whole_file(script_path, kEmbeddedViewerScript, kEmbeddedViewerScriptSize)) return true;
  ops->log(ops, kCreateFailed, utf8_to_console(script_path).c_str());
  return false;
}

}  // namespace

std::string page_line_ends(const std::string& text) {
  // Three passes in this order, so "\r\n\r" is one line end: CR LF pairs, then LF CR pairs,
  // then the remaining CRs become LF; finally every LF becomes CR LF.
  std::string lf = replace_placeholder(text, "\r\n", "\n");
  lf = replace_placeholder(lf, "\n\r", "\n");
  std::replace(lf.begin(), lf.end(), '\r', '\n');
  return replace_placeholder(lf, "\n", "\r\n");
}

std::string html_output_base(const std::string& xml_path) {
  const size_t cut = xml_path.find_last_of("/\\");
  const size_t name_start = cut == std::string::npos ? 0 : cut + 1;
  const size_t at = xml_path.find(".xml", name_start);
  return at == std::string::npos ? xml_path : xml_path.substr(0, at);
}

std::string replace_placeholder(const std::string& text, const std::string& key,
                                const std::string& value) {
  std::string out = text;
  replace_every(&out, key, value);
  return out;
}

std::string html5_mode_word(bool flash, bool html5, const std::string& mode, int32_t scene_count,
                            int32_t flash_only_count) {
  if (!flash) return "only";
  if (!html5) return "never";
  const bool adapts =
      mode.find("prefer") != std::string::npos || mode.find("auto") != std::string::npos;
  if (adapts && flash_only_count >= 1) {
    return flash_only_count == scene_count ? "never" : "auto";
  }
  return mode;
}

std::string fill_page(const std::string& template_text, const HtmlPageRequest& request,
                      const std::string& page_file) {
  const PanoSettings& settings = *request.settings;
  std::string text = template_text;
  text = replace_placeholder(text, "[NAME]", escape_template_text(request.display_name));
  text = replace_placeholder(text, "[BASENAME]", escape_template_text(request.base_name));
  text = replace_placeholder(text, "[XML]", relative_to_page(page_file, request.xml_path));
  text = replace_placeholder(text, "[SWF]",
                             settings.flash ? relative_to_page(page_file, request.swf_path) : "");
  text =
      replace_placeholder(text, "[JS]", relative_to_page(page_file, request.output_base + ".js"));
  if (!settings.flash) text = replace_placeholder(text, kNoFlashOption, "");
  const int32_t scenes = request.scene_count ? *request.scene_count : 0;
  const int32_t flash_only = request.flash_only_count ? *request.flash_only_count : 0;
  text = replace_placeholder(text, "[HTML5]",
                             html5_mode_word(settings.flash, settings.html5,
                                             settings.htmltemplate_html5, scenes, flash_only));
  for (const std::string& entry : settings.htmltemplate_var) {
    const size_t colon = entry.find(':');
    if (colon == std::string::npos || colon < 2) continue;
    text = replace_placeholder(text, "[" + entry.substr(0, colon) + "]", entry.substr(colon + 1));
  }
  return text;
}

int write_html_page(const HtmlPageRequest& request) {
  const PanoSettings& settings = *request.settings;
  ConsoleOps* ops = request.ops;
  const std::string template_path =
      slashes(resolve_setting_path(settings.config_path, settings.htmltemplate));
  std::string template_text;
  if (read_whole_file(template_path, &template_text)) {
    const size_t zero = template_text.find('\0');
    if (zero != std::string::npos) template_text.resize(zero);
  }
  if (template_text.empty()) {
    ops->log(ops, kTemplateFailed, utf8_to_console(template_path).c_str());
    if (settings.waitkey) {
      ops->log(ops, "%s", kPressEnter);
      if (request.keys) read_answer_char(*request.keys);
    }
    return 1;
  }
  copy_companion_files(request, template_path);

  const std::string script_path = request.output_base + ".js";
  create_directories_for(script_path);
  const bool script_written = write_viewer_script(request, script_path);

  const std::string page_file =
      request.page_path.empty() ? request.output_base + ".html" : request.page_path;
  if (!script_written) {
    ops->log(ops, kNoPageWithoutScript, utf8_to_console(page_file).c_str());
    if (request.scene_count) *request.scene_count = 0;
    if (request.flash_only_count) *request.flash_only_count = 0;
    return 0;
  }
  create_directories_for(page_file);
  const std::string text = fill_page(template_text, request, page_file);
  if (request.scene_count) *request.scene_count = 0;
  if (request.flash_only_count) *request.flash_only_count = 0;
  if (!write_whole_file(page_file, page_line_ends(text))) {
    ops->log(ops, kCreateFailed, utf8_to_console(page_file).c_str());
  }
  return 0;
}

DataFileSearch viewer_script_search() {
  return find_data_file(kViewerScriptName, false);
}

std::string installed_viewer_script() {
  return viewer_script_search().found;
}
