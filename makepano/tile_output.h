// Output names of the tour builder and the cutting of the tile pyramid: per-input expansion of
// the path templates (base name, input folder, optional "[…]" sections), per-file expansion
// (level, frame, cube side, eye, tile-number placeholders), temporary cube-face names, and the
// loop that writes every level of one input through the tiling core.
#pragma once

#include <cstdint>
#include <string>

#include "render/tiling.h"

struct ConsoleOps;
struct LevelPlan;
struct PanoInput;
struct PanoNames;
struct PanoSettings;

// Markers that stand for "[" and "]" after the per-input expansion, so that names and folders
// put into a template can never open a section.
constexpr char kSectionOpen = '\x01';
constexpr char kSectionClose = '\x02';

// Side letters in cube order (left, front, right, back, up, down) and the side names padded to
// five characters, as file names and the XML write them.
constexpr char kSideLetters[] = "lfrbud";
constexpr const char* kPaddedSideNames[6] = {"left ", "front", "right", "back ", "up   ", "down "};

// Replaces every occurrence of key, searching on after each inserted value.
void replace_every(std::string* text, const std::string& key, const std::string& value);

// Cube character that asks for the side placeholder ("%s", or "%t" + separator + "%s").
constexpr char kSidePlaceholder = '%';

// Per-input expansion: sections become markers, "%BASENAME%" the base name, "%INPUTPATH%" the
// input folder; every backslash becomes a slash.
std::string expand_input_template(const std::string& text, const PanoNames& names);

// The values of the per-file expansion.
struct TileTemplateValues {
  std::string t_text;        // eye label for "%t" and cube sections; empty: none
  char cube_char = 0;        // side letter (l f r b u d), kSidePlaceholder, or 0 for none
  int32_t level = 0;         // level number (1 = smallest)
  int32_t level_count = 1;   // number of levels
  int32_t tile_count = 1;    // tiles along the longer side of the full-size image
  std::string base_name;     // for a "%BASENAME%" still in the text
  int32_t frame = 1;         // 1-based input number
  int32_t frame_count = 1;   // number of inputs
  bool keep_frame = false;   // "%f" is kept (padded) for the viewer
  bool no_sections = false;  // section markers are dropped and their text kept
  int32_t tile_index = -1;   // -1: tile-number placeholders are kept for the tiling core
};

// Per-file expansion of a text made by expand_input_template.
std::string expand_tile_template(const PanoSettings& settings, const std::string& text,
                                 const TileTemplateValues& values);

// A 16-bit number for temporary names from the run's generator, seeded once per run.
void seed_temporary_names(uint32_t seed);
int32_t temporary_name_number();

// The name (without side suffix and extension) of the temporary faces of an input; eye_label is
// appended with "_" when not empty.
std::string temporary_cube_name(const PanoSettings& settings, const PanoNames& names,
                                int32_t number, const std::string& eye_label);

// The text tiles are written under when multires is off and a non-cube image is larger than
// one 4000-pixel tile: tilepath with "_%Av%Ah" before its last "." unless it numbers tiles.
std::string single_level_tile_path(const PanoSettings& settings, const std::string& stage1);

// Writes console progress for a tiling job: label, then the percentage rewritten in place.
struct TileProgress {
  ConsoleOps* ops = nullptr;
  std::string label;
  int32_t last_percent = -1;
  bool quiet = false;
};

// Sets a job to read its input as tiles: the tile size, the whole size and the first index of
// the settings' intilesize, insize and inindexbase.
void read_tiled_input(const PanoSettings& settings, TileJob* job);

// Points a job's log and progress callbacks at a progress record (user = progress).
void attach_tile_progress(TileJob* job, TileProgress* progress);

// Runs a job with a progress label; false when the core failed (it printed why).
bool run_tile_job(TileJob* job, ConsoleOps* ops, bool quiet, const std::string& label);

// What cutting the levels of one input needs.
struct LevelCut {
  const PanoSettings* settings = nullptr;
  const PanoInput* input = nullptr;  // after conversion: faces for cubes
  const LevelPlan* plan = nullptr;
  const PanoNames* names = nullptr;
  std::string tilepath;               // tilepath after expand_input_template
  const TileJob* defaults = nullptr;  // the run's tiling defaults
  ConsoleOps* ops = nullptr;
  int32_t frame = 1;
  int32_t frame_count = 1;
  // Called after each level with its index (thumbnail after level 0); false stops the cut.
  bool (*after_level)(void* user, int32_t level_index) = nullptr;
  void* user = nullptr;
};

// Source file of one side and eye of an input (the input itself when it is not a cube).
const std::string& level_source(const PanoInput& input, int32_t side, int32_t eye);

// Number of tiles along the longer side of the full-size image.
int32_t full_tile_count(const LevelPlan& plan);

// The file template of one level, side and eye.
std::string level_tile_template(const LevelCut& cut, int32_t level_index, int32_t side,
                                int32_t eye);

// Writes the tiles of every level (largest first), side and eye. False when the tiling core
// failed.
bool cut_levels(const LevelCut& cut);
