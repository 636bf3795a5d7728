// The transform tool ("transform", "sphere2cube" …): turns a 360° spherical or cylindrical
// panorama into six cube face files, one strip or grid of faces, or one perspective view.
// The source is loaded once into a tiled virtual-memory image and every output is streamed row
// by row, so panoramas far larger than memory can be converted.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/config_section.h"
#include "imageio/color_profile.h"
#include "imageio/image_options.h"

struct ConsoleOps;

// Tool entry: argv[0] is the program path, then MODE inputfile outputfile [options]. Returns 0
// on success, 1 on usage, argument or input errors and when an output could not be created.
int transform_main(int argc, char** argv, ConsoleOps* ops);

// The settings of the section "[Convert SPHERE to CUBE]", with the defaults of a file that
// does not set them.
struct TransformConfig {
  std::string cube_format = "CUBE";   // mode word: cube, cube6, hcube, vcube, cube32 …
  int32_t cube_size = -1;             // face size; used when above 0
  std::string output_format = "tif";  // extension of the outputs
  WriterSettings writer = {92, 444, true, false, 2, 0};  // quality 92, 4:4:4, optimised, lzw
  ProfileMode profile = kProfileCopy;
  bool fast = false;
  bool autolevel = true;
  float oversample = 0.0f;
};

// Applies the entries of a section to a config record (unknown keys and words are ignored).
void apply_transform_config(const std::vector<ConfigEntry>& entries, TransformConfig* config);

// The mode number of a mode word (any case): view 1, cube/cube6 2, hcube 3, vcube 4,
// cube32/cube3x2 5, cube23/cube2x3 6; 0 for any other word.
int32_t transform_mode_for_word(const std::string& word);
