// Config files of the tour builder: "key=value" lines, "#" comments and "include" lines that read
// further files, relative to the including file. Values are stored through apply_setting.
#pragma once

#include <string>

struct ConsoleOps;
struct PanoSettings;

// Deepest chain of includes that is read; a deeper include (an include cycle, usually) fails.
constexpr int kMaxConfigIncludeDepth = 10;

// Reads one config file into the settings; nested is false for the file named on the command
// line (its additional-file lists are emptied first) and true for included files. After the last
// line the derived paths are filled. False when the file cannot be read or an include fails (the
// include failure is reported through ops and marks the settings failed); settings applied
// before a failure stay applied.
bool load_config_file(PanoSettings* settings, const std::string& path, bool nested,
                      ConsoleOps* ops);

// Applies a config text as the file at path would be read, but with include lines passed over:
// for texts that must not reach other files (the fuzz target reads arbitrary texts this way).
bool apply_config_text(PanoSettings* settings, const std::string& path, const std::string& text,
                       ConsoleOps* ops);
