#include "base/config_section.h"

#include <algorithm>

#include "base/files.h"
#include "base/paths.h"
#include "base/text.h"

bool read_config_section(const std::string& path, const std::string& section,
                         std::vector<ConfigEntry>* entries) {
  std::string text;
  if (!read_whole_file(path, &text)) return false;
  const size_t found = text.find(section);
  if (found == std::string::npos) return false;
  entries->clear();
  size_t i = found + section.size() + 1;
  const size_t size = text.size();
  while (i < size) {
    while (i < size && static_cast<unsigned char>(text[i]) < '!') ++i;
    if (i >= size || text[i] == '[') break;
    const size_t line_end = text.find_first_of("\r\n", i);
    const size_t end = line_end == std::string::npos ? size : line_end;
    if (text[i] == '#') {
      i = end;
      continue;
    }
    const size_t equals = text.find('=', i);
    if (equals == std::string::npos || equals >= end) {
      i = end;
      continue;
    }
    const size_t key_end = std::min(equals, text.find_first_of(" \t", i));
    ConfigEntry entry;
    entry.key = lowered_ascii(text.substr(i, key_end - i));
    entry.value = text.substr(equals + 1, end - equals - 1);
    while (!entry.value.empty() && (entry.value.back() == ' ' || entry.value.back() == '\t')) {
      entry.value.pop_back();
    }
    entries->push_back(entry);
    i = end;
  }
  return true;
}

bool read_tool_config_section(const std::string& path, const std::string& section,
                              std::vector<ConfigEntry>* entries) {
  if (read_config_section(path, section, entries)) return true;
  const bool relative = !path.empty() && path[0] != '/';
  if (!relative) return false;
  const DataFileSearch search = find_data_file(path, false);
  return !search.found.empty() && read_config_section(search.found, section, entries);
}
