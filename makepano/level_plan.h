// Level planning of the tile pyramid: the tile size (chosen by a cost search unless set) and the
// size of every resolution level of one input, largest first, and the summary line that
// describes them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PanoInput;
struct PanoSettings;

// Tile edge used when multires is off: the image is one level of 4000-pixel tiles.
constexpr int32_t kSingleLevelTileSize = 4000;
// Most levels an explicit level count may ask for.
constexpr int32_t kMaxLevelCount = 32;

// Width and height of one level in pixels (the face size for cubes).
struct LevelSize {
  int32_t width = 0;
  int32_t height = 0;
};

// The pyramid of one input.
struct LevelPlan {
  int32_t tile_size = 0;          // tile edge in pixels
  std::vector<LevelSize> levels;  // level 0 (the largest) first; at least one
  int32_t full_width = 0;         // the input size after the maxsize or maxcubesize limit
  int32_t full_height = 0;
};

// Plans the levels of an input (cube or not, with its width and height: the face size for
// cubes, one eye's size for stereo inputs). False when levelsizes is set but holds no size.
bool plan_levels(const PanoSettings& settings, const PanoInput& input, LevelPlan* plan);

// Whether a levelsizes text is a list of level widths: positive whole numbers separated by
// commas (blanks around them allowed).
bool level_sizes_valid(const std::string& text);

// The tile size, 256 … 1279, whose tiles fill the levels of a reference size best.
int32_t auto_tile_size(int64_t reference_size, double levelstep);

// A size rounded to whole tiles of tile_size plus a last tile whose width is a power of two
// (in steps of step); the nearest such size, the smaller one on a tie.
int32_t mip_adjust(int32_t size, int32_t step, int32_t tile_size);

// The line " - multires: …" describing a plan (wrapped before column 80), ending with "\n".
std::string level_summary_text(const PanoSettings& settings, const PanoInput& input,
                               const LevelPlan& plan);
