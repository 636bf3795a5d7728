// Reading config files: one pass over the lines of a file, includes read recursively up to
// kMaxConfigIncludeDepth files deep; a file that includes itself, directly or through others, is
// refused with one line that names the whole cycle. The quirks of the format are kept on purpose: a value keeps
// its leading blanks ("preview = false" sets " false", which no boolean word matches), a line
// whose first byte is not "#" but whose first word is (an indented comment) is an unknown key,
// and only the lower-case word "include" followed by a blank starts an include.
#include "makepano/config_file.h"

#include <algorithm>
#include <vector>

#include "base/console.h"
#include "base/files.h"
#include "base/paths.h"
#include "makepano/pano_settings.h"
#include "makepano/text_scan.h"

namespace {

constexpr char kIncludeFailed[] = "ERROR: including config file \"%s\" failed\n\n";
constexpr char kIncludeTooDeep[] =
    "ERROR: config file \"%s\" is included more than %d files deep\n";
constexpr char kIncludeCycle[] = "ERROR: config files include each other in a cycle: %s\n\n";
constexpr char kCycleArrow[] = " -> ";

constexpr size_t kMinIncludePath = 2;
constexpr size_t kMaxIncludePath = 255;

bool is_include_lead(char c) {
  return is_blank_byte(c) || c == '"' || c == '\'' || c == '<';
}

bool is_include_tail(char c) {
  return is_blank_byte(c) || c == '"' || c == '\'' || c == '>';
}

// The path of an include line, from the first byte after "include"; empty when it is shorter
// or longer than an include path may be.
std::string include_path(const std::string& line, size_t after_word) {
  size_t begin = after_word;
  while (begin < line.size() && is_include_lead(line[begin])) ++begin;
  size_t end = line.size();
  while (end > begin && is_include_tail(line[end - 1])) --end;
  const size_t length = end - begin;
  if (length < kMinIncludePath || length > kMaxIncludePath) return std::string();
  return line.substr(begin, length);
}

// The files being read, outermost first (absolute paths), and whether a failure below has been
// reported already (the files above it then fail without a line of their own).
struct IncludeChain {
  std::vector<std::string> files;
  bool reported = false;
};

bool load_config_level(PanoSettings* settings, const std::string& path, bool nested, int depth,
                       IncludeChain* chain, ConsoleOps* ops);
bool apply_config_lines(PanoSettings* settings, const std::string& path, std::string text,
                        bool nested, int depth, IncludeChain* chain, ConsoleOps* ops);

// Include depth of a text read with includes off: every include line is passed over.
constexpr int kIncludesOff = -1;

// Reads the file an include line names, relative to the including file.
bool read_include(PanoSettings* settings, const std::string& including_file,
                  const std::string& written_path, int depth, IncludeChain* chain,
                  ConsoleOps* ops) {
  const std::string path = resolve_setting_path(including_file, written_path);
  const std::string absolute = absolute_path(path, false);
  bool ok = false;
  const auto repeated = std::find(chain->files.begin(), chain->files.end(), absolute);
  if (repeated != chain->files.end()) {
    std::string cycle;
    for (auto it = repeated; it != chain->files.end(); ++it) cycle += *it + kCycleArrow;
    cycle += absolute;
    ops->log(ops, kIncludeCycle, cycle.c_str());
    chain->reported = true;
  } else if (depth + 1 > kMaxConfigIncludeDepth) {
    ops->log(ops, kIncludeTooDeep, path.c_str(), kMaxConfigIncludeDepth);
    chain->reported = true;
  } else {
    ok = load_config_level(settings, path, true, depth + 1, chain, ops);
  }
  if (!ok) {
    if (!chain->reported) ops->log(ops, kIncludeFailed, written_path.c_str());
    chain->reported = true;
    settings->failed = true;
  }
  return ok;
}

// One line (not empty); false only when an include failed.
bool read_line(PanoSettings* settings, const std::string& file, const std::string& line, int depth,
               IncludeChain* chain, ConsoleOps* ops) {
  if (line[0] == '#') return true;
  size_t key_begin = 0;
  while (key_begin < line.size() && is_blank_byte(line[key_begin])) ++key_begin;
  size_t key_end = key_begin;
  while (key_end < line.size() && !is_blank_byte(line[key_end]) && line[key_end] != '=') ++key_end;
  const std::string key = line.substr(key_begin, key_end - key_begin);
  const size_t equals = line.find('=', key_end);
  if (equals != std::string::npos) {
    size_t value_end = line.size();
    while (value_end > equals + 1 && is_blank_byte(line[value_end - 1])) --value_end;
    apply_setting(settings, key, line.substr(equals + 1, value_end - equals - 1));
    return true;
  }
  if (key != "include" || key_end >= line.size() || depth == kIncludesOff) return true;
  const std::string written = include_path(line, key_end);
  if (written.empty()) return true;
  return read_include(settings, file, written, depth, chain, ops);
}

bool load_config_level(PanoSettings* settings, const std::string& path, bool nested, int depth,
                       IncludeChain* chain, ConsoleOps* ops) {
  std::string text;
  if (!read_whole_file(path, &text)) return false;
  chain->files.push_back(absolute_path(path, false));
  const bool ok = apply_config_lines(settings, path, std::move(text), nested, depth, chain, ops);
  chain->files.pop_back();
  return ok;
}

bool apply_config_lines(PanoSettings* settings, const std::string& path, std::string text,
                        bool nested, int depth, IncludeChain* chain, ConsoleOps* ops) {
  const size_t zero = text.find('\0');
  if (zero != std::string::npos) text.resize(zero);
  if (!nested) {
    settings->xmltemplate_additional_file.clear();
    settings->htmltemplate_additional_file.clear();
  }
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find_first_of("\r\n", at);
    if (end == std::string::npos) end = text.size();
    if (end > at && !read_line(settings, path, text.substr(at, end - at), depth, chain, ops)) {
      return false;
    }
    at = end + 1;
  }
  fill_derived_paths(settings);
  return true;
}

}  // namespace

bool load_config_file(PanoSettings* settings, const std::string& path, bool nested,
                      ConsoleOps* ops) {
  IncludeChain chain;
  return load_config_level(settings, path, nested, nested ? 1 : 0, &chain, ops);
}

bool apply_config_text(PanoSettings* settings, const std::string& path, const std::string& text,
                       ConsoleOps* ops) {
  IncludeChain chain;
  return apply_config_lines(settings, path, text, false, kIncludesOff, &chain, ops);
}
