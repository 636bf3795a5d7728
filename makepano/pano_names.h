// The names one input gives its outputs: the base name (filtered for use in file names and
// urls), the name shown to the user, the input's folder and its path without extension.
#pragma once

#include <cstdint>
#include <string>

struct PanoInput;
struct PanoSettings;

struct PanoNames {
  std::string base_name;       // file name without folder and extension, filtered
  std::string display_name;    // the same before filtering (for [NAME])
  std::string input_folder;    // folder of the input without a trailing slash; "." when none
  std::string full_base_path;  // the input path without its extension
};

// The path names are made from: the left face with its side suffix ("_l", "_left", ".left" or
// "left") removed for a cube, the input path otherwise.
std::string naming_path(const PanoInput& input);

// The names of an input; input_number is 1-based (it names inputs without a usable name,
// "pano0001"). In a multi-frame run the caller passes the first frame for every frame.
PanoNames make_pano_names(const PanoSettings& settings, const PanoInput& input,
                          int32_t input_number);

// A base name with every byte other than ASCII letters, digits, ! # ( ) + - @ ^ _ { | } ~ and
// byte 127 replaced by "_".
std::string filter_base_name(const std::string& name);
