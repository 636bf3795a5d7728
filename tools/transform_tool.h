// The transform tool ("transform", "sphere2cube" …): turns a 360° spherical or cylindrical
// panorama into six cube face files, one strip or grid of faces, or one perspective view.
// The source is loaded once into a tiled virtual-memory image and every output is streamed row
// by row, so panoramas far larger than memory can be converted.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "imageio/color_profile.h"

struct ConsoleOps;

// Tool entry: argv[0] is the program path, then MODE inputfile outputfile [options]. Returns 0
// on success (also when an output could not be created), 1 on usage, argument or input errors.
int transform_main(int argc, char** argv, ConsoleOps* ops);

// The name of one output: the output name (or the input name when there is none) cut before
// the extension of its file name, the suffix (always when always_append, else only when the
// input name begins with the cut name), then "." and extension when one is given, else the
// name's own extension, else ".jpg".
std::string make_output_name(const std::string& output, const std::string& input,
                             const std::string& suffix, const std::string* extension,
                             bool always_append);

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

// The settings of the section "[Convert SPHERE to CUBE]", with the defaults of a file that
// does not set them.
struct TransformConfig {
  std::string cube_format = "CUBE";   // mode word: cube, cube6, hcube, vcube, cube32 …
  int32_t cube_size = -1;             // face size; used when above 0
  std::string output_format = "tif";  // extension of the outputs
  int32_t tiff_compression = 2;       // 1 none, 2 lzw, 3 zip, 4 jpeg, 5 auto
  int32_t jpeg_quality = 92;
  int32_t jpeg_subsampling = 444;
  bool jpeg_optimize = true;
  bool jpeg_progressive = false;
  bool fast = false;
  bool autolevel = true;
  float oversample = 0.0f;
  ProfileMode profile = kProfileCopy;
};

// Applies the entries of a section to a config record (unknown keys and words are ignored).
void apply_transform_config(const std::vector<ConfigEntry>& entries, TransformConfig* config);

// The mode number of a mode word (any case): view 1, cube/cube6 2, hcube 3, vcube 4,
// cube32/cube3x2 5, cube23/cube2x3 6; 0 for any other word.
int32_t transform_mode_for_word(const std::string& word);
