// Input analysis of the tour builder: every input file name and image header becomes a panorama
// record — spheres, six separate cube faces, cube strips, stereo pairs and layouts, partial,
// cylindrical and flat images — before any pixel is read. Images it cannot classify are asked
// about; unreadable ones are reported and skipped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "render/cube_layout.h"

struct ConsoleOps;
struct KeyInput;
struct PanoSettings;

// Panorama types of a record.
enum PanoType : int32_t {
  kPanoDropped = 0,
  kPanoSphere = 1,                // full 360 × 180 sphere
  kPanoCube = 2,                  // six face files
  kPanoFlat = 3,                  // flat image
  kPanoPartialSphere = 4,         // partial sphere
  kPanoCylinder = 5,              // cylinder
  kPanoStrip = 6,                 // horizontal cube strip (6:1)
  kPanoVerticalStrip = 7,         // vertical cube strip (1:6)
  kPanoStereoStrip = 10,          // horizontal strip of both eyes (12:1)
  kPanoVerticalStereoStrip = 11,  // vertical strip of both eyes (1:12)
  kPanoStripPair = 12,            // two horizontal strips, one per eye
  kPanoSpherePair = 13,           // two spheres, one per eye
  kPanoOverUnder = 14,            // one square file, upper half the first eye
  kPanoSideBySide = 15,           // one 4:1 file, left half the first eye
};

// GPS position of an input.
struct PanoGps {
  bool present = false;
  double latitude = 0;   // degrees, negative south
  double longitude = 0;  // degrees, negative west
  double heading = 0;    // image direction, degrees
};

// Camera pose of an input (from panorama metadata).
struct PanoPose {
  bool present = false;
  double heading = 0;  // degrees
  double pitch = 0;
  double roll = 0;
};

// One panorama of the run.
struct PanoInput {
  int32_t type = kPanoDropped;  // PanoType
  int32_t width = 0;  // image size; face size for strips; one eye's size for stereo layouts
  int32_t height = 0;
  double hfov = 0;                    // degrees; 360 for full types
  double vfov = 0;                    // degrees; 0 = computed later from the size
  double voffset = 0;                 // degrees
  std::string path;                   // the image file (the first file seen for cubes and pairs)
  std::string faces[kCubeSideCount];  // face files of the first eye, left … down
  std::string second_eye_faces[kCubeSideCount];  // face files of the second eye
  std::string left_path;                         // first-eye file of a stereo pair
  std::string right_path;                        // second-eye file of a stereo pair
  std::string group_name;  // base name of the cube-side marker; empty when there is none
  bool temporary_stereo_files = false;  // the eye files were made by a split; delete after use
  bool converted = false;               // made into cube faces by the driver
  bool temporary_faces = false;         // the face files are temporary
  bool final_faces = false;             // the face files were written with their final names
  bool two_eyes = false;                // a stereo cube
  bool levelled = false;                // the pose was applied during the conversion
  bool too_large_for_one_cube = false;  // the face size limit applied to the first eye
  int32_t strip_order = 0;              // face order of a strip, 0 … 3
  PanoGps gps;
  PanoPose pose;
};

// A projection read from an image description written by a stitcher.
struct DescriptionProjection {
  int32_t type = kPanoDropped;  // sphere, partial sphere, cylinder, or none
  double hfov = 0;
  double vfov = 0;
  double voffset = 0;
};

// Reads "FOV:" and "Projection:" from a description that begins with "Kolor stitching"; the
// type stays kPanoDropped when the text carries no usable projection.
DescriptionProjection description_projection(const std::string& description);

// Eye of a file name: 1 left, 2 right, 0 neither (from "_l"/"_r" markers or the last letter).
int32_t detect_eye(const std::string& path);

// Orders input paths by file name (folder ignored, lower case); names that differ only in a
// leading and a trailing run of digits are ordered by the numbers' values.
void sort_input_paths(std::vector<std::string>* paths);

// Whether file name a comes before file name b in sort_input_paths' order.
bool input_name_before(const std::string& a, const std::string& b);

// Analyses the inputs in order (sorted first when sortinput is on) into records; questions are
// asked through ops and answered from keys. False, with no records, when frames is on and the
// kept records differ in size.
bool analyse_inputs(const std::vector<std::string>& paths, const PanoSettings& settings,
                    ConsoleOps* ops, const KeyInput& keys, std::vector<PanoInput>* inputs);
