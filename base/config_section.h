// Sections of plain "key=value" config files: "[Section name]" followed by its lines, up to the
// next "[" or the end of the file. Read by the tools that take a -config file.
#pragma once

#include <string>
#include <vector>

// One "key=value" line of a config section: the key lower-cased, the value as written after
// the "=" (leading blanks kept, trailing blanks removed).
struct ConfigEntry {
  std::string key;
  std::string value;
};

// Reads the entries of the section whose name (with its brackets) appears in the file, up to
// the next "[" or the end; false when the file cannot be read or holds no such section.
bool read_config_section(const std::string& path, const std::string& section,
                         std::vector<ConfigEntry>* entries);

// The same for a tool's -config file: at path, and when that fails and the path is relative,
// in the data folders (see find_data_file).
bool read_tool_config_section(const std::string& path, const std::string& section,
                              std::vector<ConfigEntry>* entries);
