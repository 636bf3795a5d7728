// Whether an input is turned into cube faces before tiling, and what it becomes: full spheres
// and cylinders (also stereo ones) are converted by the transform tool, cube strips are split.
// Decided from the record alone, before any pixel moves.
#pragma once

#include <cstdint>

struct PanoInput;
struct PanoSettings;

// The conversion of one input.
struct CubeConversion {
  bool convert = false;     // run the transform tool ("cube6") on the input
  bool cylinder = false;    // the input is a cylinder ("-cylinder")
  bool limit_size = false;  // pass "-outsize=" with maxcubesize
  int32_t face_size = 0;    // size of the faces the conversion writes
  int32_t eyes = 1;         // 2 for stereo inputs (each eye converted on its own)
};

// Types the transform tool may convert: sphere, partial sphere, cylinder and the stereo spheres.
bool is_convertible_type(int32_t type);
// Types split into faces: cube strips and strip pairs.
bool is_strip_type(int32_t type);

// Fills what a convertible input lacks: hfov 0 takes the settings hfov and one outside
// (0, 360] becomes 360; vfov 0 is computed from the size; voffset 0 takes the settings voffset.
void fill_missing_fov(const PanoSettings& settings, PanoInput* input);

// The face size the transform tool writes with "-even" for a source width: W / π rounded,
// raised by one when odd.
int32_t even_face_size(int32_t width);

// With converttocube on, fills the missing fields of a convertible input and decides: converted
// only when hfov is exactly 360 and vfov reaches the height of converttocubelimit.
CubeConversion plan_cube_conversion(const PanoSettings& settings, PanoInput* input);

// The record as it is after its conversion or strip split (a cube of the face size, two eyes
// for stereo inputs); inputs that are neither stay as they are. The face files are not named.
PanoInput converted_record(const PanoInput& input, const CubeConversion& conversion);
