// The six cube sides (order, file suffixes, names), recognising a side from a file name, the
// strip and grid layouts that cube panoramas travel in, and guessing the face order of a strip.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "render/panorama_geometry.h"

struct ConsoleOps;
struct ImageProps;
struct RenderSettings;
struct RotationMatrix;

// Cube side order, used for arrays of faces, loops and option letters.
enum CubeSide : int32_t {
  kCubeLeft = 0,
  kCubeFront = 1,
  kCubeRight = 2,
  kCubeBack = 3,
  kCubeUp = 4,
  kCubeDown = 5,
};
constexpr int32_t kCubeSideCount = 6;

// What is written and shown for one side.
struct CubeSideInfo {
  const char* suffix;   // file suffix written: "_l", "_f" …
  const char* name;     // display name: "left", "front" …
  const char* padding;  // blanks that make name + padding five characters wide
  char letter;          // option letter: 'l', 'f' …
};

// The row of a side 0 … 5.
const CubeSideInfo& cube_side_info(int32_t side);

// A side recognised in a file name: side 0 … 5 with the name's lower-cased base (the name cut
// before the marker, trailing "-._/\" removed), or side -1 and an empty base.
struct CubeSideMatch {
  int32_t side = -1;
  std::string base;
  bool skybox_name = false;     // recognised by detect_skybox_side's names
  FaceOrientation orientation;  // how a face so named is turned against the side
};

// Recognises the side of a file name from its "_l"-style marker or a side word ("left", "top"…);
// when neither is there, from the names of detect_skybox_side.
CubeSideMatch detect_cube_side(const std::string& path);

// Recognises the side of a file name as game engines and skybox packs name faces: the markers
// "_rt" (left), "_ft" (front), "_lf" (right), "_bk" (back), "_up" (up), "_dn" (down), the
// rightmost one not followed by a letter winning, else the cube-map axis words "negx" (left),
// "posz" (front), "posx" (right), "negz" (back), "posy" (up), "negy" (down) standing alone.
// Such packs call our left side "rt" and our right side "lf", and draw the up and down faces as
// a camera facing the "rt" side sees them when it tilts: up turned a quarter counter-clockwise
// and down a quarter clockwise against ours, which the match's orientation records. Cube-map
// faces are drawn as ours (the cube-map axes are ours with z reversed, and each face's image
// directions coincide with ours). Side -1 when none is there.
CubeSideMatch detect_skybox_side(const std::string& path);

// The orientation of each face of a set whose files were recognised by their names (paths[side]
// empty for a face named otherwise, e.g. by an option): upright, unless some face of the set
// has a name only detect_skybox_side recognises. Then the set follows that convention, and
// every face whose name detect_skybox_side gives the same side is turned as that name says;
// this includes "sky_up", which the side word "up" recognises first.
void named_face_orientations(const std::string (&paths)[6], FaceOrientation (&orientations)[6]);

// Turns a square face image of size × size pixels of pixel_bytes each, as read from a file
// turned by orientation, into the side's own orientation.
std::vector<uint8_t> face_in_side_orientation(const std::vector<uint8_t>& pixels, int32_t size,
                                              int32_t pixel_bytes, FaceOrientation orientation);

// Writes the square face image file source, turned by orientation, into its side's orientation
// as output (8- or 16-bit RGB as the source's depth; its ICC profile kept, alpha dropped). False
// when the source cannot be loaded or is not square, or the output cannot be written.
bool write_face_in_side_orientation(const std::string& source, const std::string& output,
                                    FaceOrientation orientation);

// Layout codes of one image holding all six faces; the values are the transform tool's modes.
enum CubeLayout : int32_t {
  kLayoutHorizontalStrip = 3,  // "hcube": 6N × N
  kLayoutVerticalStrip = 4,    // "vcube": N × 6N
  kLayoutGrid3x2 = 5,          // "cube32": 3N × 2N
  kLayoutGrid2x3 = 6,          // "cube23": 2N × 3N
};

// Cells of a layout: faces in reading order are left, front, right, back, up, down.
struct CubeLayoutShape {
  int32_t columns;
  int32_t rows;
};

// Columns and rows of a layout code; {0, 0} for any other code.
CubeLayoutShape cube_layout_shape(int32_t layout);

// Renders all six faces of face_size pixels from the settings' source into one image of the
// given layout (faces rendered at the natural size and reduced with LANCZOS when face_size is
// smaller). Logs "error creating file" and returns false when the file cannot be created.
bool render_strip(int32_t layout, const std::string& output_name, RenderSettings* settings,
                  ConsoleOps* console, const ImageProps& writer_options, int32_t face_size,
                  const RotationMatrix* extra);

// The face order of a strip or grid image, 0 … 3 (see kStripOrders in the source): 0 when the
// file cannot be loaded or its proportions fit no layout.
int32_t detect_strip_order(const std::string& path);

// Side at each reading position (0 … 5) of strip order 0 … 3.
const int32_t* strip_order_sides(int32_t order);

// The face size of a strip or grid of width × height, 0 when its proportions fit no layout.
int32_t strip_face_size(int32_t width, int32_t height);

// The name a left face gives its derived outputs: the path without its extension, its file
// name cut at the last "_l" and then at the last "_left" (each only when no letter follows),
// then at the last "left". So pano_l.jpg and pano_left.tif both give "pano". A name none of
// these cut that is a skybox left face is cut at "_rt", "_negx" or "negx": sky_rt.jpg gives
// "sky".
std::string cube_face_output_base(const std::string& left_face_path);
